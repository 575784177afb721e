// stats: the server's counters, for people or in the Prometheus text exposition format (for
// the node exporter's textfile collector).
#include <getopt.h>

#include <cstdio>
#include <cstring>
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
	// Only from a server joined to others over the bus.
	{COUNTER_SERVERS, N_("servers"), "tolvar_bus_servers", "gauge",
	 "Servers of the chat heard over the bus, this one included."},
	{COUNTER_SESSIONS_ELSEWHERE, N_("sessions on other servers"), "tolvar_bus_remote_sessions", "gauge",
	 "Sessions logged in on the other servers of the chat."},
	{COUNTER_BUS_CONNECTED, N_("connected to the bus"), "tolvar_bus_connected", "gauge",
	 "1 while the server is connected to the bus."},
	{COUNTER_BUS_SENT, N_("bus messages sent"), "tolvar_bus_sent_total", "counter",
	 "Messages the bus took from this server."},
	{COUNTER_BUS_RECEIVED, N_("bus messages received"), "tolvar_bus_received_total", "counter",
	 "Messages this server took from the bus."},
	{COUNTER_BUS_DROPPED, N_("bus messages dropped"), "tolvar_bus_dropped_total", "counter",
	 "Messages dropped on their way to or from the bus."},
	{COUNTER_COUNT, nullptr, nullptr, nullptr, nullptr},
};

// The rows from COUNTER_SERVERS on mean something only with a bus.
bool shown(const CounterRow *row, const uint64_t *values)
{
	return row->counter < COUNTER_SERVERS || values[COUNTER_SERVERS] > 0;
}

// Sessions per server, from the who answer of a server joined to others: up to MAX_SERVERS.
constexpr int MAX_SERVERS = 64;
struct ServerSessions {
	char name[ADMIN_SERVER_FIELD];
	uint64_t sessions;
};

int count_per_server(ServerSessions *out)
{
	ServerAnswer answer;
	AdminListView list;
	if (server_channel_sessions(&answer, &list) < 0 || !list.with_server)
		return 0;
	int n = 0;
	for (uint32_t i = 0; i < list.count; i++) {
		SessionEntry e;
		(void)admin_session_entry(list, i, &e);	// checked by server_channel_sessions
		int k = 0;
		while (k < n && e.server != out[k].name)
			k++;
		if (k == n) {
			if (n == MAX_SERVERS)
				continue;
			// Server names are letters, digits, '_' and '-': safe to print and to label.
			snprintf(out[n].name, sizeof out[n].name, "%.*s", (int)e.server.size(), e.server.data());
			out[n++].sessions = 0;
		}
		out[k].sessions++;
	}
	return n;
}

void print_for_people(const uint64_t *values, const ServerSessions *servers, int server_count)
{
	for (const CounterRow *row = counter_rows; row->label != nullptr; row++) {
		if (!shown(row, values))
			continue;
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
	for (int i = 0; i < server_count; i++) {
		char label[ADMIN_SERVER_FIELD + 32];
		snprintf(label, sizeof label, _("sessions on %s"), servers[i].name);
		printf("%-36s %llu\n", label, (unsigned long long)servers[i].sessions);
	}
}

void print_prometheus(const uint64_t *values, const ServerSessions *servers, int server_count)
{
	for (const CounterRow *row = counter_rows; row->label != nullptr; row++) {
		if (!shown(row, values))
			continue;
		printf("# HELP %s %s\n# TYPE %s %s\n%s %llu\n", row->metric, row->help, row->metric, row->type,
		       row->metric, (unsigned long long)values[row->counter]);
	}
	if (server_count == 0)
		return;
	printf("# HELP tolvar_server_sessions Sessions logged in on each server of the chat.\n"
	       "# TYPE tolvar_server_sessions gauge\n");
	for (int i = 0; i < server_count; i++)
		printf("tolvar_server_sessions{server=\"%s\"} %llu\n", servers[i].name,
		       (unsigned long long)servers[i].sessions);
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
	ServerSessions servers[MAX_SERVERS];
	int server_count = values[COUNTER_SERVERS] > 0 ? count_per_server(servers) : 0;
	if (prometheus)
		print_prometheus(values, servers, server_count);
	else
		print_for_people(values, servers, server_count);
	if (fflush(stdout) != 0) {
		perror("stdout");
		return 1;
	}
	return 0;
}
