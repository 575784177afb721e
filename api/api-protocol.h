// The API protocol between a program and its api session, on the session's standard input
// and output. Every integer is big-endian.
//
// Framing, both directions: u32 length (bytes after this field, type included), u8 type,
// length - 1 bytes of fields. Names are u8 N + N bytes, texts u32 N + N bytes, no terminators.
#ifndef TOLVAR_API_API_PROTOCOL_H
#define TOLVAR_API_API_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/local-protocol.h"

enum ApiPacketType : uint8_t {
	TOLVAR_API_HELLO = 1,
	TOLVAR_API_GET_ONLINE_USER = 2,
	TOLVAR_API_SEND_MESSAGE = 3,
	TOLVAR_API_GET_MOTD = 4,
	TOLVAR_API_PASS = 0x80,
	TOLVAR_API_ONLINE_USERS = 0x81,
	TOLVAR_API_RECEIVE_MESSAGE = 0x82,
	TOLVAR_API_USER_STATE = 0x83,
	TOLVAR_API_ERROR = 0x84,
	TOLVAR_API_MOTD = 0x85,
};

enum ApiErrorCode : uint32_t {
	TOLVAR_API_ERROR_SERVER_CLOSED = 1,
	TOLVAR_API_ERROR_LOCAL_READ = 2,
	TOLVAR_API_ERROR_LOCAL_PACKET_TOO_LARGE = 3,
	TOLVAR_API_ERROR_OUT_OF_MEMORY = 4,
	TOLVAR_API_ERROR_INTERNAL_ERROR = 5,
	TOLVAR_API_ERROR_USER_NOT_FOUND = 6,
	TOLVAR_API_ERROR_MOTD_NOT_AVAILABLE = 7,
};

constexpr uint16_t TOLVAR_API_VERSION = 1;
constexpr char TOLVAR_API_MAGIC[6] = {'T', 'O', 'L', 'V', 'A', 'R'};
constexpr size_t TOLVAR_API_MAGIC_SIZE = sizeof TOLVAR_API_MAGIC;
constexpr size_t API_LENGTH_SIZE = 4;
constexpr size_t API_HEADER_SIZE = 5;			// length and type
constexpr uint32_t API_PACKET_MAX_LENGTH = 1048576;	// longest packet a program may send
constexpr uint32_t API_HELLO_LENGTH = 9;
constexpr size_t API_NAME_MAX = 32;			// names taken from local fields
constexpr size_t API_HOST_MAX = 128;
constexpr size_t API_MOTD_MAX = 4096;

// ---- reading what the program sent ----

// Reads one packet from fd (blocking, to its end). GET_PACKET_OK: out->packet holds the
// 4 + length bytes (caller frees with free()). out->length gets the announced length with
// every result from a whole length field on (GET_PACKET_TOO_SMALL, _TOO_LARGE, _OUT_OF_MEMORY
// included). Other results: GET_PACKET_EOF, GET_PACKET_READ_ERROR (errno set).
int get_api_packet(int fd, GetPacketOut *out);

// A received packet: its length field, its type and the length - 1 bytes after the type.
struct ApiPacketView {
	uint32_t length;
	uint8_t type;
	std::string_view fields;
};
// Opens a packet of size bytes from get_api_packet. -1 if size and length disagree or
// length is 0.
int api_packet_open(const unsigned char *packet, size_t size, ApiPacketView *out);

// Results of api_parse_hello, in the order the handshake checks them.
enum ApiHelloResult {
	API_HELLO_OK = 0,
	API_HELLO_BAD_LENGTH = -1,
	API_HELLO_BAD_MAGIC = -2,
	API_HELLO_BAD_VERSION = -3,
};
// Checks a TOLVAR_API_HELLO: length exactly 9, the magic, a version other than 0.
// *version gets the program's version whenever the fields hold one.
int api_parse_hello(const ApiPacketView &p, uint16_t *version);

struct ApiSendMessageView {
	std::string_view to_user;	// as sent (up to 255 bytes); the post uses 31 of them
	uint8_t kind;
	std::string_view text;
};
// Parses a TOLVAR_API_SEND_MESSAGE. -1 when the fields end before the name, the kind, the
// text length or the text.
int api_parse_send_message(const ApiPacketView &p, ApiSendMessageView *out);

// ---- building what the frontend sends. Each returns a malloc'ed packet of exactly the
// size it stores in *size, or nullptr with errno (ENOMEM; EOVERFLOW for a packet whose length
// field cannot hold it). Caller frees with free(). Names longer than 255 bytes and texts
// longer than 2^32 - 1 bytes are refused with EOVERFLOW. ----

unsigned char *api_build_pass(uint16_t version, std::string_view user_name, size_t *size);
unsigned char *api_build_motd(std::string_view text, size_t *size);
unsigned char *api_build_error(uint32_t code, std::string_view text, size_t *size);
unsigned char *api_build_user_state(bool online, std::string_view user_name, size_t *size);
// A received message as the program sees it; when version <= 1 a recipient "*" goes out as
// "GLOBAL". The kind's low byte goes into the kind byte.
unsigned char *api_build_message(uint64_t time, uint16_t version, const MessageView &message, size_t *size);
// The entries of a parsed online-users list, in the list's order; ids cut to 16 bits.
// nullptr with EINVAL when an entry is malformed.
unsigned char *api_build_online_users(const OnlineUsersView &list, size_t *size);

#endif
