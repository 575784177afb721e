#include "cli/cli-frontend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/cli-commands.h"
#include "cli/cli-input.h"
#include "cli/cli-output.h"
#include "cli/cli-preferences.h"
#include "cli/cli-render.h"
#include "cli/cli-state.h"

static void cli_init(const char *user_name)
{
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
	print_motd(1);
}

void init_cli_frontend_ops(FrontendOps *ops, int log_only)
{
	cli_state.log_mode = log_only != 0;
	ops->init = cli_init;
	ops->do_local_packet = cli_do_local_packet;
	ops->do_stdin = cli_do_stdin;
	ops->do_after_signal = cli_do_after_signal;
	ops->do_tick = cli_do_tick;
}
