// The API frontend: API packets on standard input and output for programs. The packets
// themselves are built and parsed by the codec in tolvar-api-client.h; this side reads and
// writes them, and translates between them and the local protocol.
#ifndef TOLVAR_API_API_FRONTEND_H
#define TOLVAR_API_API_FRONTEND_H

#include <cstdint>
#include <string_view>

#include "api/tolvar-api-client.h"
#include "client/frontend.h"
#include "protocol/local-protocol.h"

// The frontend of mode api: api_init, api_do_local_packet and api_do_stdin; the optional
// slots are empty.
extern const FrontendOps api_frontend_ops;

// Reads one packet from fd (blocking, to its end). GET_PACKET_OK: out->packet holds the
// 4 + length bytes (caller frees with free()). out->length gets the announced length with
// every result from a whole length field on. Other results: GET_PACKET_EOF,
// GET_PACKET_READ_ERROR (errno set), GET_PACKET_TOO_SMALL (length 0), GET_PACKET_TOO_LARGE
// (above TOLVAR_API_MAX_REQUEST_LENGTH), GET_PACKET_OUT_OF_MEMORY.
int get_api_packet(int fd, GetPacketOut *out);

// The packet writers: each builds one packet and writes it to standard output. A packet that
// cannot be allocated or written is logged and ends the process with status 1.
void send_api_pass(uint16_t version, const char *user_name);
// Sends the first 4096 bytes of the file "motd". 0 when sent; -1 with errno when there was
// nothing to send (ENOENT: no file, or an empty one).
int send_api_motd(void);
void send_api_error(uint32_t code, const char *text);
// A received message; names are cut to 32 bytes, and "*" goes out as "GLOBAL" in version 1.
void send_api_message(const MessageView &message);
// -1 with EINVAL (nothing sent) when an entry of list is malformed.
int send_api_online_users(const OnlineUsersView &list);
void send_api_user_state(std::string_view user_name, bool online);

// Posts a received TOLVAR_API_SEND_MESSAGE to the server. 0, or -1 when the packet is
// malformed or the post failed.
int post_message_from_raw_api_data(int server_fd, const tolvarapi::Packet &packet);

#endif
