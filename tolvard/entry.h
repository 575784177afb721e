// Program entry of tolvard: identity and home checks, the server socket address, and the
// choice between the server and a client session with the frontend its command word names.
#ifndef TOLVAR_TOLVARD_ENTRY_H
#define TOLVAR_TOLVARD_ENTRY_H

#include <sys/un.h>

// Longest HOME whose "HOME/socket" still fits, with its NUL, in a 104-byte socket path.
constexpr size_t TOLVAR_HOME_MAX = 96;
constexpr size_t TOLVAR_SOCKET_PATH_MAX = 104;
#define TOLVAR_SOCKET_NAME "socket"

// Fills addr (zeroed first) with home + "/socket". Returns 0, or -1 if home is too long.
int build_socket_address(const char *home, struct sockaddr_un *addr);

// The whole of tolvard: checks, then server_mode or a client session. Returns the exit status.
int tolvard_main(int argc, char **argv);

#endif
