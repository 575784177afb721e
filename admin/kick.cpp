// kick: ends every live session of a user, each told first (with the administrator's message).
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/server-channel.h"
#include "common/i18n.h"
#include "common/user-name.h"

namespace {

// Asks the server on fd to end user's sessions. The number ended, or -1 after saying why.
int kick_on(int fd, const char *user, const char *message)
{
	AdminRequest request = {LOCAL_PACKET_ADMIN_KICK, 0, user, message, 0};
	ServerAnswer answer;
	int32_t ended = 0;
	if (server_channel_ask(fd, request, LOCAL_PACKET_ADMIN_RESULT, &answer) < 0)
		return -1;
	if (admin_parse_result(answer.view, &ended) < 0) {
		fputs(_("Malformed answer from the chat server\n"), stderr);
		return -1;
	}
	return ended;
}

}  // namespace

int end_sessions_of(const char *user, const char *message)
{
	UniqueFd fd(server_channel_open());
	if (fd.get() == SERVER_CHANNEL_ABSENT)
		return 0;
	if (!fd.valid())
		return -1;
	return kick_on(fd.get(), user, message);
}

int cmd_kick(int argc, char **argv)
{
	int opt;
	while ((opt = getopt(argc, argv, "+h")) != -1) {
		if (opt != 'h')
			return -1;
		print_usage(argv[0]);
		return 0;
	}
	int operands = argc - optind;
	if (operands < 1 || operands > 2) {
		print_usage(argv[0]);
		return -1;
	}
	const char *user = argv[optind];
	const char *message = operands == 2 ? argv[optind + 1] : "";
	if (!is_valid_user_name(user)) {
		fprintf(stderr, _("Invalid user name '%s'\n"), user);
		return 1;
	}
	if (strlen(message) > ADMIN_MESSAGE_MAX) {
		fprintf(stderr, _("Message too long (at most %zu bytes)\n"), ADMIN_MESSAGE_MAX);
		return -1;
	}
	UniqueFd fd(server_channel_open_or_say());
	if (!fd.valid())
		return 1;
	int ended = kick_on(fd.get(), user, message);
	if (ended < 0)
		return 1;
	if (ended == 0) {
		fprintf(stderr, _("User %s has no session\n"), user);
		return 1;
	}
	fprintf(stderr, _("Ended %d sessions of user %s\n"), ended, user);
	return 0;
}
