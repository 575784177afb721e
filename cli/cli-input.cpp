#include "cli/cli-input.h"

#include <readline/readline.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli-commands.h"
#include "cli/cli-complete.h"
#include "cli/cli-frontend.h"
#include "cli/cli-history.h"
#include "cli/cli-output.h"
#include "cli/cli-raw-input.h"
#include "cli/cli-state.h"
#include "common/i18n.h"

namespace {

volatile sig_atomic_t interrupt_pending = 0;
volatile sig_atomic_t resize_pending = 0;

RawInput raw_input = {{0}, 0};

void signal_handler(int sig)
{
	if (sig == SIGINT) {
		interrupt_pending = 1;
	} else if (sig == SIGWINCH) {
		resize_pending = 1;
	} else {
		char msg[64];
		int n = snprintf(msg, sizeof msg, "%s: unknown sig %d\n", "signal_handler", sig);
		if (n > 0)
			(void)!write(2, msg, (size_t)n);
	}
}

[[noreturn]] void exit_on_end_of_input(void)
{
	print_with_time(-1, PRINT_END_LINE, "%s", _("Exiting ..."));
	cli_finish(0);
}

void handle_input_line(char *line)
{
	if (line == nullptr)
		exit_on_end_of_input();
	if (line[0] != '\0') {
		do_command(cli_state.server_fd, line);
		cli_history_add(line);
	}
	free(line);
}

void run_raw_line(const char *text, void *context)
{
	fputc('\r', stderr);
	do_command(*static_cast<int *>(context), text);
}

}  // namespace

void cli_input_setup_readline(void)
{
	rl_outstream = stderr;
	// A pasted block of lines arrives as one line, its line breaks kept, and goes as one
	// message, whatever an inputrc (read here) or the library's default says; not on a
	// terminal that readline knows to be dumb.
	rl_initialize();
	const char *term = getenv("TERM");
	if (term != nullptr && term[0] != '\0' && strcmp(term, "dumb") != 0)
		rl_variable_bind("enable-bracketed-paste", "on");
	rl_callback_handler_install(nullptr, handle_input_line);
	rl_attempted_completion_function = complete_command_name;
	rl_completer_word_break_characters = COMPLETION_WORD_BREAKS;

	struct sigaction sa = {};
	sa.sa_handler = signal_handler;
	sa.sa_flags = 0;	// no SA_RESTART: the session loop's wait must end with EINTR
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGWINCH, &sa, nullptr);
	rl_catch_signals = 0;
	rl_catch_sigwinch = 0;

	// Through the editing commands rather than rl_editing_mode alone: the line that the
	// handler installation has already begun takes the key bindings of the mode too.
	const char *mode = getenv("RL_EDITING_MODE");
	if (mode != nullptr) {
		if (strcmp(mode, "emacs") == 0)
			rl_emacs_editing_mode(1, 0);
		else if (strcmp(mode, "vi") == 0)
			rl_vi_editing_mode(1, 0);
	}
}

void cli_do_stdin(int server_fd)
{
	if (cli_state.use_readline) {
		if (resize_pending) {
			rl_resize_terminal();
			resize_pending = 0;
		}
		rl_callback_read_char();
		// A ^C that came while the key was being handled found no wait to interrupt.
		cli_do_after_signal();
		return;
	}
	switch (raw_input_read(&raw_input, 0, run_raw_line, &server_fd)) {
	case RAW_READ_OK:
		return;
	case RAW_READ_ERROR:
		perror("read");
		cli_finish(1);
	case RAW_READ_EOF:
		exit_on_end_of_input();
	}
}

void cli_do_after_signal(void)
{
	if (!interrupt_pending)
		return;
	rl_free_line_state();
	rl_readline_state &= ~(unsigned long)(RL_STATE_ISEARCH | RL_STATE_NSEARCH | RL_STATE_NUMERICARG |
					      RL_STATE_VIMOTION | RL_STATE_MULTIKEY);
	rl_mark = rl_end = rl_point = 0;
	rl_line_buffer[0] = '\0';
	rl_restore_prompt();
	fputs("^C\n", stderr);
	rl_redisplay();
	interrupt_pending = 0;
	cli_do_tick();
}
