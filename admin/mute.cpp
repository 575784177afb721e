// mute, unmute: the server drops a muted user's posts until the mute ends; mute alone lists
// the mutes in force.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/server-channel.h"
#include "common/duration.h"
#include "common/i18n.h"
#include "common/user-name.h"

namespace {

// Options -h alone; the operands start at *first. -1 for a wrong command line, 0 after -h
// (usage printed), 1 to go on.
int parse_options(int argc, char **argv, int *first)
{
	int opt;
	while ((opt = getopt(argc, argv, "+h")) != -1) {
		if (opt != 'h')
			return -1;
		print_usage(argv[0]);
		return 0;
	}
	*first = optind;
	return 1;
}

const char *local_time(int64_t when, char *out, size_t size)
{
	time_t t = (time_t)when;
	struct tm tm = {};
	localtime_r(&t, &tm);
	if (strftime(out, size, "%Y-%m-%d %H:%M:%S", &tm) == 0)
		out[0] = '\0';
	return out;
}

// Asks the server for request and returns its result (0 or more), or sets *failed after
// saying why.
int32_t ask_result(const AdminRequest &request, bool *failed)
{
	*failed = true;
	ServerAnswer answer;
	int32_t result = 0;
	if (server_channel_request(request, LOCAL_PACKET_ADMIN_RESULT, &answer) < 0)
		return 0;
	if (admin_parse_result(answer.view, &result) < 0) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return 0;
	}
	if (result < 0) {
		fprintf(stderr, _("The chat server failed: %s\n"), strerror(-result));
		return 0;
	}
	*failed = false;
	return result;
}

int list_mutes(void)
{
	ServerAnswer answer;
	AdminRequest request = {LOCAL_PACKET_ADMIN_LIST_MUTES, 0, {}, {}, 0};
	AdminListView list;
	if (server_channel_request(request, LOCAL_PACKET_ADMIN_MUTES, &answer) < 0)
		return 1;
	if (admin_parse_mutes(answer.view, &list) < 0) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return 1;
	}
	if (list.count == 0)
		fputs(_("No user is muted\n"), stderr);
	time_t now = time(nullptr);
	for (uint32_t i = 0; i < list.count; i++) {
		MuteEntry m;
		if (admin_mute_entry(list, i, &m) < 0) {
			fputs(_("Malformed answer from the chat server\n"), stderr);
			return 1;
		}
		char until[32], left[32];
		uint64_t seconds = m.until > (int64_t)now ? (uint64_t)(m.until - (int64_t)now) : 0;
		// The name ends at its NUL, which the parser found.
		printf("%-16s  %s  %s\n", m.user.data(), local_time(m.until, until, sizeof until),
		       format_duration(seconds, left, sizeof left));
	}
	if (fflush(stdout) != 0) {
		perror("stdout");
		return 1;
	}
	return 0;
}

}  // namespace

int cmd_mute(int argc, char **argv)
{
	int first = 0;
	int r = parse_options(argc, argv, &first);
	if (r <= 0)
		return r;
	if (argc - first == 0)
		return list_mutes();
	if (argc - first != 2) {
		print_usage(argv[0]);
		return -1;
	}
	const char *user = argv[first];
	uint64_t seconds = 0;
	if (!is_valid_user_name(user)) {
		fprintf(stderr, _("Invalid user name '%s'\n"), user);
		return 1;
	}
	if (parse_duration(argv[first + 1], &seconds) < 0) {
		fprintf(stderr, _("Invalid duration '%s' (for example 30s, 10m, 2h, 1d; at most a year)\n"),
			argv[first + 1]);
		return -1;
	}
	bool failed;
	AdminRequest request = {LOCAL_PACKET_ADMIN_MUTE, 0, user, {}, seconds};
	int64_t until = (int64_t)time(nullptr) + (int64_t)seconds;
	ask_result(request, &failed);
	if (failed)
		return 1;
	char text[32];
	fprintf(stderr, _("User %s muted until %s\n"), user, local_time(until, text, sizeof text));
	return 0;
}

int cmd_unmute(int argc, char **argv)
{
	int first = 0;
	int r = parse_options(argc, argv, &first);
	if (r <= 0)
		return r;
	if (argc - first != 1) {
		print_usage(argv[0]);
		return -1;
	}
	const char *user = argv[first];
	if (!is_valid_user_name(user)) {
		fprintf(stderr, _("Invalid user name '%s'\n"), user);
		return 1;
	}
	bool failed;
	AdminRequest request = {LOCAL_PACKET_ADMIN_UNMUTE, 0, user, {}, 0};
	int32_t result = ask_result(request, &failed);
	if (failed)
		return 1;
	if (result == 0) {
		fprintf(stderr, _("User %s is not muted\n"), user);
		return 1;
	}
	fprintf(stderr, _("User %s unmuted\n"), user);
	return 0;
}
