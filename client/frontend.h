// The table through which the session loop drives a frontend. Each frontend defines its
// tables; the program's entry picks one by the session's command word.
#ifndef TOLVAR_CLIENT_FRONTEND_H
#define TOLVAR_CLIENT_FRONTEND_H

struct FrontendOps {
	// Once, before the loop: the session's user name and its connection to the server.
	void (*init)(const char *user_name, int server_fd);
	void (*do_local_packet)(int server_fd);	// the server socket is readable
	// Standard input is readable. Empty: the frontend reads nothing, and standard input
	// becomes the null device (mode log).
	void (*do_stdin)(int server_fd);
	void (*do_after_signal)(void);		// optional: the wait was interrupted by a signal
	void (*do_tick)(void);			// optional: after every wait that returned
};

#endif
