// One user's client session: set-up, login, and the session loop that drives a frontend.
#ifndef TOLVAR_CLIENT_SESSION_H
#define TOLVAR_CLIENT_SESSION_H

#include <sys/types.h>
#include <sys/un.h>

// The frontend of a session, chosen by the command word the SSH client asked for.
enum SessionMode {
	SESSION_MODE_CLI,	// "cli" (also when no command was asked for)
	SESSION_MODE_API,	// "api"
	SESSION_MODE_LOG,	// "log"
};

// Runs the session of user_name against the server at addr. Returns the exit status.
int client_mode(const struct sockaddr_un *addr, const char *user_name);

// Builds the login packet (user cut to 31 bytes, host to 127, encoding at most 23 bytes or
// sent empty) and sends it with one write, repeated on EINTR. 0, or -1 with errno.
int send_login(int server_fd, const char *user_name, const char *host, const char *encoding);

// The second half of client_mode: starts the frontend of mode and serves it until the
// parent (parent_pid) goes away (0) or the wait fails (1). Frontends end the process themselves.
int client_session_loop(SessionMode mode, pid_t parent_pid, int server_fd, const char *user_name);

#endif
