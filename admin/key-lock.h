// The lock that adduser and removeuser hold on the key file for their whole run, so that an
// entry appended by one is never lost by the other's replacement of the file.
#ifndef TOLVAR_ADMIN_KEY_LOCK_H
#define TOLVAR_ADMIN_KEY_LOCK_H

// The lock file; it lives in .ssh beside the key file, which is replaced by rename.
#define KEY_LOCK_PATH ".ssh/authorized_keys.lock"

// Takes the exclusive lock, waiting (and saying so) while another run holds it. Returns the
// descriptor that holds it until it is closed or the process ends, or -1 with errno.
int key_file_lock(void);

#endif
