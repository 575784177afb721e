// The state that the whole terminal frontend shares: one per client process, never freed.
#ifndef TOLVAR_CLI_CLI_STATE_H
#define TOLVAR_CLI_CLI_STATE_H

struct CliState {
	bool log_mode;			// session mode log: output only (set by the log frontend's init)
	bool use_readline;		// input edited by readline in callback mode (set by cli_init)
	const char *own_user_name;	// borrowed: the session's user name, lives as long as the process
	int alert;			// 1: every timestamped line rings the bell (not in log mode)
	int showhtml;			// HTML messages: 0 off, 1 color, 2 plain, 3 raw (others act as raw)
	int color;			// 0 off, 1 on, 2 auto (on while standard output is a terminal)
	int last_yday;			// day of the year at the last date check, -1 before the first
	int server_fd;			// the connection to the server, -1 before init
	int backlog;			// earlier messages shown at start-up, 0 to 999
};

// The settings as a new session starts: alert off, showhtml off, color auto, 20 earlier messages.
constexpr CliState CLI_STATE_INITIAL = {false, false, nullptr, 0, 0, 2, -1, -1, 20};

extern CliState cli_state;

#endif
