// The requests a frontend sends the server. None waits for an answer: answers arrive later
// as ordinary server packets.
#ifndef TOLVAR_CLIENT_REQUESTS_H
#define TOLVAR_CLIENT_REQUESTS_H

#include "protocol/local-protocol.h"

// Asks for the list of online sessions. 0, or -1 with errno.
int client_send_request_get_online_users(int server_fd);
// Asks for the last max messages to everybody that the server keeps (0: all). 0, or -1 with
// errno; a closed connection gives EPIPE, not the signal.
int client_send_request_get_history(int server_fd, uint32_t max);
// Posts record (fixed part and text_length bytes of text). 0, or -1 with errno
// (EOVERFLOW when the packet size would overflow, EMSGSIZE when the text is longer than
// a local packet can carry, LOCAL_MESSAGE_TEXT_MAX; nothing is sent then).
int client_post_message(int server_fd, const MessageRecord *record);
// Posts text (NUL-terminated) as plain text to recipient (cut to 31 bytes). 0, or -1 with errno.
int client_post_plain_text(int server_fd, const char *recipient, const char *text);

#endif
