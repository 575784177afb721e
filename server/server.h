// The chat server: one readiness loop over the listening socket and every client connection.
#ifndef TOLVAR_SERVER_SERVER_H
#define TOLVAR_SERVER_SERVER_H

#include <sys/un.h>

// Runs the server on addr (working directory: the service account's home).
// Returns 1 when start-up fails; does not return otherwise.
int server_mode(const struct sockaddr_un *addr);

#endif
