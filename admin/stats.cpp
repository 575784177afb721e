// stats: the server's counters, for people or in the Prometheus text exposition format (for
// the node exporter's textfile collector).
#include <getopt.h>

#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/server-channel.h"
#include "common/duration.h"
#include "common/i18n.h"

namespace {

struct CounterRow {
	ServerCounter counter;
	const char *label;	// for people (translated)
	const char *metric;	// Prometheus name
	const char *type;	// Prometheus type
	const char *help;	// Prometheus HELP text
};

const CounterRow counter_rows[] = {
	{COUNTER_UPTIME, N_("uptime"), "tolvar_uptime_seconds", "gauge", "Seconds since the chat server started."},
	{COUNTER_STARTED, N_("started"), "tolvar_start_time_seconds", "gauge",
	 "When the chat server started, in seconds since the epoch."},
	{COUNTER_SESSIONS, N_("sessions now"), "tolvar_sessions", "gauge", "Sessions logged in now."},
	{COUNTER_SESSIONS_PEAK, N_("sessions at most"), "tolvar_sessions_peak", "gauge",
	 "Most sessions logged in at once since the start."},
	{COUNTER_USERS, N_("users now"), "tolvar_users", "gauge", "Distinct users logged in now."},
	{COUNTER_POSTS, N_("posts"), "tolvar_posts_total", "counter", "Messages posted and routed."},
	{COUNTER_DELIVERIES, N_("deliveries"), "tolvar_deliveries_total", "counter",
	 "Messages handed to recipient sessions."},
	{COUNTER_BYTES_DELIVERED, N_("bytes delivered"), "tolvar_delivered_bytes_total", "counter",
	 "Bytes of the messages handed to recipient sessions."},
	{COUNTER_CONVERSIONS, N_("conversions"), "tolvar_conversions_total", "counter",
	 "Deliveries converted to the recipient's character set."},
	{COUNTER_CONVERSIONS_FAILED, N_("failed conversions"), "tolvar_conversions_failed_total", "counter",
	 "Conversions that failed; the text went unconverted."},
	{COUNTER_CLIENTS_DROPPED, N_("clients dropped for not reading"), "tolvar_clients_dropped_total", "counter",
	 "Sessions dropped because they did not read what they were sent."},
	{COUNTER_POSTS_DELAYED, N_("posts delayed by flood control"), "tolvar_posts_delayed_total", "counter",
	 "Times a connection was not read until its flood-control budget refilled."},
	{COUNTER_KICKS, N_("kicks"), "tolvar_kicks_total", "counter", "Sessions ended by an administrator."},
	{COUNTER_MUTES, N_("mutes"), "tolvar_mutes_total", "counter", "Mutes imposed by an administrator."},
	{COUNTER_POSTS_MUTED, N_("posts dropped while muted"), "tolvar_posts_muted_total", "counter",
	 "Posts dropped because their sender was muted."},
	{COUNTER_LOGINS_REFUSED, N_("logins refused over the session cap"), "tolvar_logins_refused_total", "counter",
	 "Logins refused because the user had as many sessions as allowed."},
	{COUNTER_COUNT, nullptr, nullptr, nullptr, nullptr},
};

void print_for_people(const uint64_t *values)
{
	for (const CounterRow *row = counter_rows; row->label != nullptr; row++) {
		uint64_t v = values[row->counter];
		printf("%-36s ", _(row->label));
		if (row->counter == COUNTER_UPTIME) {
			char text[32];
			printf("%s (%llu s)\n", format_duration(v, text, sizeof text), (unsigned long long)v);
		} else if (row->counter == COUNTER_STARTED) {
			time_t t = (time_t)v;
			struct tm tm = {};
			char text[32];
			localtime_r(&t, &tm);
			if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
				text[0] = '\0';
			printf("%s\n", text);
		} else {
			printf("%llu\n", (unsigned long long)v);
		}
	}
}

void print_prometheus(const uint64_t *values)
{
	for (const CounterRow *row = counter_rows; row->label != nullptr; row++) {
		printf("# HELP %s %s\n# TYPE %s %s\n%s %llu\n", row->metric, row->help, row->metric, row->type,
		       row->metric, (unsigned long long)values[row->counter]);
	}
}

}  // namespace

int cmd_stats(int argc, char **argv)
{
	static const struct option long_options[] = {
		{"prometheus", no_argument, nullptr, 'p'},
		{nullptr, 0, nullptr, 0},
	};
	bool prometheus = false;
	int opt;
	while ((opt = getopt_long(argc, argv, "+h", long_options, nullptr)) != -1) {
		switch (opt) {
		case 'p':
			prometheus = true;
			break;
		case 'h':
			print_usage(argv[0]);
			return 0;
		default:
			return -1;
		}
	}
	if (optind != argc) {
		print_usage(argv[0]);
		return -1;
	}
	ServerAnswer answer;
	AdminRequest request = {LOCAL_PACKET_ADMIN_STATS, 0, {}, {}, 0};
	if (server_channel_request(request, LOCAL_PACKET_ADMIN_COUNTERS, &answer) < 0)
		return 1;
	uint64_t values[COUNTER_COUNT];
	uint32_t sent = 0;
	if (admin_parse_counters(answer.view, values, COUNTER_COUNT, &sent) < 0) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return 1;
	}
	if (prometheus)
		print_prometheus(values);
	else
		print_for_people(values);
	if (fflush(stdout) != 0) {
		perror("stdout");
		return 1;
	}
	return 0;
}
