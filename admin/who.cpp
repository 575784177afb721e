// who: one line per live session, sorted by user and connection id; columns for people, or
// tab-separated fields for scripts with -t. A server joined to others over the bus lists their
// sessions too, with the server each is on.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/server-channel.h"
#include "common/duration.h"
#include "common/i18n.h"

namespace {

// One session, with every text made safe to print: control bytes become '?', and for hosts
// and encodings (which come from the client's environment) every byte above ASCII too.
struct WhoRow {
	int32_t id;
	char user[LOCAL_NAME_FIELD];
	char host[LOCAL_HOST_FIELD];
	char encoding[ADMIN_ENCODING_FIELD];
	char server[ADMIN_SERVER_FIELD];	// empty from a server on its own
	char since[32];		// local time of the login, for people
	char idle[32];		// since the last post, for people
	int64_t since_epoch;
	int64_t idle_seconds;
	uint64_t posts;
};

void printable(char *out, size_t size, std::string_view text, bool ascii_only)
{
	size_t n = text.size() < size - 1 ? text.size() : size - 1;
	for (size_t i = 0; i < n; i++) {
		unsigned char c = (unsigned char)text[i];
		out[i] = c < 0x20 || c == 0x7f || (ascii_only && c >= 0x80) ? '?' : (char)c;
	}
	out[n] = '\0';
}

// Columns a name takes on a UTF-8 terminal: one per character.
int columns(const char *s)
{
	int n = 0;
	for (; *s != '\0'; s++)
		if (((unsigned char)*s & 0xC0) != 0x80)
			n++;
	return n;
}

int compare_rows(const void *a, const void *b)
{
	const auto *x = static_cast<const WhoRow *>(a);
	const auto *y = static_cast<const WhoRow *>(b);
	int c = strcmp(x->user, y->user);
	if (c != 0)
		return c;
	return x->id < y->id ? -1 : x->id > y->id;
}

void fill_row(const SessionEntry &e, time_t now, WhoRow *row)
{
	row->id = e.id;
	printable(row->user, sizeof row->user, e.user, false);
	printable(row->host, sizeof row->host, e.host, true);
	printable(row->encoding, sizeof row->encoding, e.encoding.empty() ? "-" : e.encoding, true);
	printable(row->server, sizeof row->server, e.server, true);
	row->since_epoch = e.since;
	row->idle_seconds = now > e.last_post ? (int64_t)now - e.last_post : 0;
	row->posts = e.posts;
	time_t since = (time_t)e.since;
	struct tm tm = {};
	localtime_r(&since, &tm);
	if (strftime(row->since, sizeof row->since, "%Y-%m-%d %H:%M:%S", &tm) == 0)
		row->since[0] = '\0';
	format_duration((uint64_t)row->idle_seconds, row->idle, sizeof row->idle);
}

void print_columns(const WhoRow *rows, uint32_t n, bool with_server)
{
	const char *h_user = _("USER"), *h_host = _("HOST"), *h_encoding = _("ENCODING"), *h_server = _("SERVER");
	int w_user = columns(h_user), w_host = columns(h_host), w_encoding = columns(h_encoding);
	int w_server = columns(h_server);
	for (uint32_t i = 0; i < n; i++) {
		if (columns(rows[i].server) > w_server)
			w_server = columns(rows[i].server);
		if (columns(rows[i].user) > w_user)
			w_user = columns(rows[i].user);
		if (columns(rows[i].host) > w_host)
			w_host = columns(rows[i].host);
		if (columns(rows[i].encoding) > w_encoding)
			w_encoding = columns(rows[i].encoding);
	}
	// printf pads by bytes; the padding is worked out in columns.
	auto cell = [](const char *text, int width) { printf("%s%*s  ", text, width - columns(text), ""); };
	printf("%5s  ", _("ID"));
	if (with_server)
		cell(h_server, w_server);
	cell(h_user, w_user);
	cell(h_host, w_host);
	cell(h_encoding, w_encoding);
	printf("%-19s  %8s  %s\n", _("CONNECTED"), _("IDLE"), _("POSTS"));
	for (uint32_t i = 0; i < n; i++) {
		const WhoRow &r = rows[i];
		printf("%5d  ", (int)r.id);
		if (with_server)
			cell(r.server, w_server);
		cell(r.user, w_user);
		cell(r.host, w_host);
		cell(r.encoding, w_encoding);
		printf("%-19s  %8s  %llu\n", r.since, r.idle, (unsigned long long)r.posts);
	}
}

// With servers, the server is an eighth field, so that scripts reading seven keep working.
void print_tabs(const WhoRow *rows, uint32_t n, bool with_server)
{
	for (uint32_t i = 0; i < n; i++) {
		const WhoRow &r = rows[i];
		printf("%d\t%s\t%s\t%s\t%lld\t%lld\t%llu", (int)r.id, r.user, r.host, r.encoding,
		       (long long)r.since_epoch, (long long)r.idle_seconds, (unsigned long long)r.posts);
		if (with_server)
			printf("\t%s", r.server);
		putchar('\n');
	}
}

}  // namespace

int cmd_who(int argc, char **argv)
{
	bool tabs = false;
	int opt;
	while ((opt = getopt(argc, argv, "+th")) != -1) {
		switch (opt) {
		case 't':
			tabs = true;
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
	AdminListView list;
	if (server_channel_sessions(&answer, &list) < 0)
		return 1;
	MallocPtr<WhoRow> rows(static_cast<WhoRow *>(calloc(list.count > 0 ? list.count : 1, sizeof(WhoRow))));
	if (rows == nullptr) {
		perror("calloc");
		return 1;
	}
	time_t now = time(nullptr);
	for (uint32_t i = 0; i < list.count; i++) {
		SessionEntry e;
		(void)admin_session_entry(list, i, &e);	// checked by server_channel_sessions
		fill_row(e, now, &rows.get()[i]);
	}
	qsort(rows.get(), list.count, sizeof(WhoRow), compare_rows);
	if (tabs)
		print_tabs(rows.get(), list.count, list.with_server);
	else
		print_columns(rows.get(), list.count, list.with_server);
	if (fflush(stdout) != 0) {
		perror("stdout");
		return 1;
	}
	return 0;
}
