#include "cli/cli-frontend.h"

#include <readline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/cli-commands.h"
#include "cli/cli-backlog.h"
#include "cli/cli-history.h"
#include "cli/cli-ignore.h"
#include "cli/cli-input.h"
#include "cli/cli-online.h"
#include "cli/cli-output.h"
#include "cli/cli-preferences.h"
#include "cli/cli-render.h"
#include "cli/cli-state.h"

static void cli_init(const char *user_name, int server_fd)
{
	cli_state.server_fd = server_fd;
	if (cli_state.log_mode) {
		cli_state.use_readline = false;
	} else {
		const char *force = getenv("RL_FORCE_ENABLE");
		cli_state.use_readline = (force != nullptr && force[0] != '\0') || isatty(0);
	}
	if (cli_state.use_readline)
		cli_input_setup_readline();
	setvbuf(stdout, nullptr, _IOLBF, 0);
	cli_state.own_user_name = user_name;
	load_preferences(user_name);
	cli_ignore_load(user_name);
	if (!cli_state.log_mode)
		cli_history_load(user_name);
	// The names of the users online, for completion; before anything is shown, so that the
	// answer comes before the presence announcements of users who log in later.
	if (cli_state.use_readline)
		cli_online_request_silently(server_fd);
	print_motd(1);
	cli_backlog_start(server_fd);
}

static void log_init(const char *user_name, int server_fd)
{
	cli_state.log_mode = true;
	cli_init(user_name, server_fd);
}

const FrontendOps cli_frontend_ops = {
	cli_init,		// init
	cli_do_local_packet,	// do_local_packet
	cli_do_stdin,		// do_stdin
	cli_do_after_signal,	// do_after_signal
	cli_do_tick,		// do_tick
};

const FrontendOps log_frontend_ops = {
	log_init,		// init
	cli_do_local_packet,	// do_local_packet
	nullptr,		// do_stdin: nothing is read
	cli_do_after_signal,	// do_after_signal
	cli_do_tick,		// do_tick
};

void cli_finish(int status)
{
	if (cli_state.use_readline)
		rl_callback_handler_remove();
	if (cli_state.server_fd >= 0)
		close(cli_state.server_fd);
	if (status == CLI_FINISH_ABORT)
		abort();
	exit(status);
}
