// The lines a user typed, kept from session to session in the side file
// "users-preferences/<name>#history" (mode 0600): the newest HISTORY_KEPT lines, oldest first,
// one per line, with a backslash written as "\\" and a line feed (a pasted line) as "\n".
#ifndef TOLVAR_CLI_CLI_HISTORY_H
#define TOLVAR_CLI_CLI_HISTORY_H

#include <cstddef>

constexpr size_t HISTORY_KEPT = 500;
// Longest line kept in the file, written form and LF included; longer lines are remembered
// for this session only.
constexpr size_t HISTORY_LINE_SIZE = 4096;

// Finds user_name's history file and, when readline is in use, puts its lines into readline's
// history so that the Up key reaches them. A missing file is an empty history; other
// failures are reported on standard error.
void cli_history_load(const char *user_name);

// A line the user entered (readline only): added to the history unless the newest entry holds
// the same text, and then appended to the file, which keeps the newest HISTORY_KEPT lines.
// A line that ran /clearhistory is not added.
void cli_history_add(const char *line);

// /clearhistory: empties the history of this session and the file.
void cli_command_clearhistory(int server_fd, int argc, char **argv);

#endif
