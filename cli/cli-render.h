// Showing what the server sends: chat messages, notices, presence changes, the session list.
#ifndef TOLVAR_CLI_CLI_RENDER_H
#define TOLVAR_CLI_CLI_RENDER_H

#include <cstddef>
#include <ctime>

#include "protocol/local-protocol.h"

// The do_local_packet operation: reads at most one packet from the server and shows it. Ends
// the process when the connection is closed (status 0) or broken (status 1).
void cli_do_local_packet(int server_fd);

// Shows packet (a whole packet as get_local_packet hands it out; borrowed) on standard output.
void cli_show_packet(const unsigned char *packet);

// Shows a chat message received at when (-1: now), its header after date (may be empty).
void cli_show_message(const MessageView &m, time_t when, const char *date);

// Renders the HTML document doc (n bytes) with elinks onto standard output, in colour
// (showhtml color) or plain. Only colour sequences of the rendering reach the terminal.
void cli_render_html(const char *doc, size_t n, bool colour);

#endif
