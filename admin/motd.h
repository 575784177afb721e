// The message of the day: the file "motd" in the service account's home directory.
#ifndef TOLVAR_ADMIN_MOTD_H
#define TOLVAR_ADMIN_MOTD_H

#define MOTD_PATH "motd"

// Bytes moved at a time when the text is read or copied.
constexpr size_t MOTD_BLOCK = 4096;

#endif
