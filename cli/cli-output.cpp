#include "cli/cli-output.h"

#include <readline/readline.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "cli/cli-state.h"
#include "common/i18n.h"

CliState cli_state = CLI_STATE_INITIAL;

void print_with_time(time_t when, int flags, const char *format, ...)
{
	if (when == (time_t)-1)
		when = time(nullptr);
	struct tm tm = {};
	localtime_r(&when, &tm);

	if (!cli_state.log_mode) {
		if (cli_state.use_readline) {
			// Redraw the input line as empty: the typed text vanishes from the screen, not from readline.
			int saved_end = rl_end;
			rl_end = 0;
			rl_redisplay();
			rl_end = saved_end;
		}
		if (cli_state.alert == 1)
			putchar('\a');
		putchar('\r');
	}
	printf("[%.2d:%.2d:%.2d] ", tm.tm_hour, tm.tm_min, tm.tm_sec);
	va_list ap;
	va_start(ap, format);
	vprintf(format, ap);
	va_end(ap);
	if (flags & PRINT_END_LINE) {
		putchar('\n');
		if (cli_state.use_readline && (flags & PRINT_REDRAW)) {
			rl_on_new_line();
			rl_redisplay();
		}
	}
}

void cli_do_tick(void)
{
	time_t now = time(nullptr);
	struct tm tm = {};
	localtime_r(&now, &tm);
	if (cli_state.last_yday == -1) {
		cli_state.last_yday = tm.tm_yday;
		return;
	}
	if (cli_state.last_yday == tm.tm_yday)
		return;
	char date[512];
	// The locale's own date form, whatever it does with the year.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
	size_t date_length = strftime(date, sizeof date, "%x", &tm);
#pragma GCC diagnostic pop
	if (date_length > 0)
		print_with_time(now, PRINT_END_LINE | PRINT_REDRAW, "[%s]", date);
	else
		print_with_time(now, PRINT_END_LINE | PRINT_REDRAW, "%s", _("Error: cannot format current date"));
	cli_state.last_yday = tm.tm_yday;
}

bool cli_colour_wanted(void)
{
	if (cli_state.color == 1)
		return true;
	if (cli_state.color == 2)
		return isatty(1) != 0;
	return false;
}
