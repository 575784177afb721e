#include "cli/cli-online.h"

#include <cstring>

#include "client/requests.h"
#include "protocol/local-protocol.h"

namespace {

// A server holds at most 1024 sessions, so at most that many users.
constexpr size_t ONLINE_MAX = 1024;

char online_names[ONLINE_MAX][LOCAL_NAME_FIELD];
size_t online_count = 0;
int silent_answers = 0;	// answers still due to requests made silently

size_t find(std::string_view name)
{
	for (size_t i = 0; i < online_count; i++) {
		if (name == online_names[i])
			return i;
	}
	return online_count;
}

}  // namespace

void cli_online_request_silently(int server_fd)
{
	if (client_send_request_get_online_users(server_fd) == 0)
		silent_answers++;
}

bool cli_online_list_begins(void)
{
	online_count = 0;
	if (silent_answers > 0) {
		silent_answers--;
		return false;
	}
	return true;
}

void cli_online_set(std::string_view name, bool online)
{
	name = name.substr(0, LOCAL_NAME_FIELD - 1);
	size_t i = find(name);
	if (online && i == online_count && online_count < ONLINE_MAX) {
		memcpy(online_names[online_count], name.data(), name.size());
		online_names[online_count][name.size()] = '\0';
		online_count++;
	} else if (!online && i < online_count) {
		online_count--;
		memcpy(online_names[i], online_names[online_count], LOCAL_NAME_FIELD);
	}
}

size_t cli_online_count(void) { return online_count; }

const char *cli_online_at(size_t index) { return index < online_count ? online_names[index] : nullptr; }
