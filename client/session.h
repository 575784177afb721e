// One user's client session: set-up, login, and the session loop that drives a frontend.
#ifndef TOLVAR_CLIENT_SESSION_H
#define TOLVAR_CLIENT_SESSION_H

#include <sys/un.h>

// Runs the session of user_name against the server at addr. Returns the exit status.
int client_mode(const struct sockaddr_un *addr, const char *user_name);

#endif
