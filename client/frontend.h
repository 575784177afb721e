// The table through which the session loop drives a frontend.
#ifndef TOLVAR_CLIENT_FRONTEND_H
#define TOLVAR_CLIENT_FRONTEND_H

struct FrontendOps {
	void (*init)(const char *user_name);	// once, before the loop
	void (*do_local_packet)(int server_fd);	// the server socket is readable
	void (*do_stdin)(int server_fd);	// standard input is readable (never in mode log)
	void (*do_after_signal)(void);		// optional: the wait was interrupted by a signal
	void (*do_tick)(void);			// optional: after every wait that returned
};

// The server socket descriptor, or -1 before the frontend has been started.
int client_get_server_fd(void);

#endif
