// One user's client session: set-up, login, and the session loop that drives a frontend.
#ifndef TOLVAR_CLIENT_SESSION_H
#define TOLVAR_CLIENT_SESSION_H

#include <sys/types.h>
#include <sys/un.h>

#include "client/frontend.h"

// The first steps of a session, before its mode is known: SSH_CLIENT must be set, the
// locale and the message catalogue are set up, user_name must be valid. 0, or -1 when the
// session must end with status 1 (the reason printed).
int client_check_environment(const char *user_name);

// Runs the rest of the session of user_name against the server at addr with the frontend
// ops, selected by the command word mode_word; parent_pid is the parent noted first.
// Returns the exit status.
int client_mode(const struct sockaddr_un *addr, const char *user_name, pid_t parent_pid,
		const char *mode_word, const FrontendOps *ops);

// Builds the login packet (user cut to 31 bytes, host to 127, encoding at most 23 bytes or
// sent empty) and sends it with one write, repeated on EINTR. 0, or -1 with errno.
int send_login(int server_fd, const char *user_name, const char *host, const char *encoding);

// The second half of client_mode: starts the frontend ops and serves it until the parent
// (parent_pid) goes away (0) or the wait fails (1). Frontends end the process themselves.
int client_session_loop(const FrontendOps *ops, pid_t parent_pid, int server_fd, const char *user_name);

#endif
