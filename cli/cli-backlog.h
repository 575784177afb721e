// The kept conversation in the terminal: the last messages shown at start-up, /history on
// demand, and /backlog, the setting of how many the start-up shows.
#ifndef TOLVAR_CLI_CLI_BACKLOG_H
#define TOLVAR_CLI_CLI_BACKLOG_H

#include "protocol/local-protocol.h"

constexpr int CLI_BACKLOG_DEFAULT = 20;
constexpr int CLI_BACKLOG_MAX = 999;	// three digits in the preferences file

// Asks the server for the last backlog messages (none when it is 0); called once, after
// the message of the day.
void cli_backlog_start(int server_fd);

// /history [<count>]: asks for the last count messages (default 20).
void cli_command_history(int server_fd, int argc, char **argv);
// /backlog <count>: how many messages the start-up shows, 0 to 999; stored.
void cli_command_backlog(int server_fd, int argc, char **argv);

// A history message: shown as a live message of its kind, with the time the server received
// it, and its date when that was an earlier day.
void cli_show_backlog_message(const LocalPacketView &p);
// The end of an answer: one status line, none after an empty start-up answer.
void cli_show_backlog_end(const LocalPacketView &p);

// A count as the preferences file and the commands write it: 1 to 3 decimal digits. -1 if not.
int cli_backlog_parse_count(const char *text, size_t length);

#endif
