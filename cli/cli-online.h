// The users online as the frontend knows them, for the completion of user names: the list is
// asked for once at start-up (that answer is not shown) and kept current from the presence
// announcements and every later list.
#ifndef TOLVAR_CLI_CLI_ONLINE_H
#define TOLVAR_CLI_CLI_ONLINE_H

#include <cstddef>
#include <string_view>

// Asks the server for the online users; the answer updates the list without being shown.
void cli_online_request_silently(int server_fd);

// An online-users answer arrives: the list starts again empty (the answer's names follow with
// cli_online_set). Returns whether the answer is to be shown (false for the one asked for
// silently).
bool cli_online_list_begins(void);

// name (at most 31 bytes are kept) is online, or no longer.
void cli_online_set(std::string_view name, bool online);

// The names known to be online, in no particular order: index 0 to cli_online_count() - 1
// (borrowed until the next change).
size_t cli_online_count(void);
const char *cli_online_at(size_t index);

#endif
