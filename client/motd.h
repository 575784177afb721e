// The message of the day as the frontends show it: the beginning of the file "motd" in the
// service account's home (the working directory).
#ifndef TOLVAR_CLIENT_MOTD_H
#define TOLVAR_CLIENT_MOTD_H

#include <cstddef>
#include <cstdint>

enum MotdReadResult {
	MOTD_OPEN_FAILED = -1,	// errno set; ENOENT: there is no message of the day
	MOTD_READ_FAILED = -2,	// errno set
};

// Reads the first size bytes of "motd" into buf (a longer file is cut there). The number of
// bytes read (0 for an empty file), or a MotdReadResult. A FIFO or a terminal put in the
// file's place cannot stop the session.
int32_t client_read_motd(char *buf, size_t size);

#endif
