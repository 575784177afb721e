#include "cli/cli-backlog.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/cli-output.h"
#include "cli/cli-preferences.h"
#include "cli/cli-render.h"
#include "cli/cli-state.h"
#include "client/requests.h"
#include "common/i18n.h"

namespace {

// The start-up request is the first one sent, so the first end answers it.
bool startup_pending = false;

bool same_day(time_t a, time_t b)
{
	struct tm ta = {}, tb = {};
	localtime_r(&a, &ta);
	localtime_r(&b, &tb);
	return ta.tm_year == tb.tm_year && ta.tm_yday == tb.tm_yday;
}


}  // namespace

int cli_backlog_parse_count(const char *text, size_t length)
{
	if (length == 0 || length > 3)
		return -1;
	int n = 0;
	for (size_t i = 0; i < length; i++) {
		if (text[i] < '0' || text[i] > '9')
			return -1;
		n = n * 10 + (text[i] - '0');
	}
	return n;
}

void cli_backlog_start(int server_fd)
{
	if (cli_state.backlog <= 0)
		return;
	int n = cli_state.backlog > CLI_BACKLOG_MAX ? CLI_BACKLOG_MAX : cli_state.backlog;
	// A failure shows when the connection is next read.
	startup_pending = client_send_request_get_history(server_fd, (uint32_t)n) == 0;
}

void cli_command_history(int server_fd, int argc, char **argv)
{
	int n = CLI_BACKLOG_DEFAULT;
	if (argc > 2 || (argc == 2 && (n = cli_backlog_parse_count(argv[1], strlen(argv[1]))) <= 0)) {
		fprintf(stderr, _("Usage: %s [<count>]\n"), argv[0]);
		return;
	}
	if (client_send_request_get_history(server_fd, (uint32_t)n) < 0)
		perror("history: write");
}

void cli_command_backlog(int, int argc, char **argv)
{
	int n = argc == 2 ? cli_backlog_parse_count(argv[1], strlen(argv[1])) : -1;
	if (n < 0) {
		fprintf(stderr, _("Usage: %s <count>\n"), argv[0]);
		return;
	}
	cli_state.backlog = n;
	char value[12];
	snprintf(value, sizeof value, "%d", n);
	set_preference("backlog", value);
}

void cli_show_backlog_message(const LocalPacketView &p)
{
	int64_t when;
	MessageView m;
	if (local_parse_history_message(p, &when, &m) < 0) {
		syslog(LOG_WARNING, "Malformed packet of type %d (length %llu) dropped", (int)p.type,
		       (unsigned long long)p.length);
		return;
	}
	char date[128] = "";
	time_t t = (time_t)when;
	if (!same_day(t, time(nullptr))) {
		struct tm tm = {};
		localtime_r(&t, &tm);
		char text[112];
		// The locale's own date form, as the date line shows it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
		if (strftime(text, sizeof text, "%x", &tm) > 0)
#pragma GCC diagnostic pop
			snprintf(date, sizeof date, "[%s] ", text);
	}
	cli_show_message(m, t, date);
}

void cli_show_backlog_end(const LocalPacketView &p)
{
	uint32_t count;
	if (local_parse_u32(p, &count) < 0)
		return;
	bool startup = startup_pending;
	startup_pending = false;
	if (count > 0)
		print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW,
				ngettext("End of history (%u message)", "End of history (%u messages)", count),
				(unsigned int)count);
	else if (!startup)
		print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, "%s", _("No history"));
}
