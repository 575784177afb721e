// The users whose messages and presence lines a user does not want to see. The list is kept
// from session to session in the side file "users-preferences/<name>#ignore", one user name
// per line.
#ifndef TOLVAR_CLI_CLI_IGNORE_H
#define TOLVAR_CLI_CLI_IGNORE_H

#include <cstddef>
#include <string_view>

// Most users one user can ignore.
constexpr size_t IGNORE_MAX = 256;

// Loads the list of user_name (a missing file is an empty list; other failures are reported
// on standard error, and changes then last for this session only).
void cli_ignore_load(const char *user_name);

// Whether messages and presence lines of name (a name as the server sends it) are hidden.
bool cli_is_ignored(std::string_view name);

// The ignored names, index 0 to cli_ignore_count() - 1 (borrowed until the next change).
size_t cli_ignore_count(void);
const char *cli_ignore_at(size_t index);

// /ignore [<user>]: without argument lists the ignored users, with one adds the user (never
// the user themself). /unignore <user>: takes the user off the list. Both store the list.
void cli_command_ignore(int server_fd, int argc, char **argv);
void cli_command_unignore(int server_fd, int argc, char **argv);

#endif
