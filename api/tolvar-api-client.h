// The API protocol between a program and its api session (for example over
// "ssh tolvar@host api"): its numbers, the framing, and one parser and one builder for every
// packet, with bounds checks. The api frontend speaks the protocol through this codec, and
// programs (bots) use it as their library: it needs only this file, tolvar-api-client.cpp and
// common/wire-reader.h. See docs/api.md.
//
// Every packet: u32 length (big-endian, bytes after this field), u8 type, length - 1 bytes
// of fields. A name is u8 N and N bytes, a text u32 N and N bytes, with no terminator.
// Parsed views borrow from the packet buffer they were parsed from.
#ifndef TOLVAR_API_TOLVAR_API_CLIENT_H
#define TOLVAR_API_TOLVAR_API_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// Types below 0x80 go from the program to the session, the others the other way.
enum ApiPacketType : uint8_t {
	TOLVAR_API_HELLO = 1,		// handshake
	TOLVAR_API_GET_ONLINE_USER = 2,	// ask for the online users
	TOLVAR_API_SEND_MESSAGE = 3,	// send a message
	TOLVAR_API_GET_MOTD = 4,	// ask for the message of the day
	TOLVAR_API_GET_HISTORY = 5,	// version 2: ask for the last messages to everybody
	TOLVAR_API_PASS = 0x80,		// handshake accepted
	TOLVAR_API_ONLINE_USERS = 0x81,	// the online users
	TOLVAR_API_RECEIVE_MESSAGE = 0x82,	// a message for this user
	TOLVAR_API_USER_STATE = 0x83,	// a user came online or went offline
	TOLVAR_API_ERROR = 0x84,	// error report
	TOLVAR_API_MOTD = 0x85,		// message of the day
	TOLVAR_API_HISTORY_MESSAGE = 0x86,	// version 2: one message of the history
	TOLVAR_API_HISTORY_END = 0x87,	// version 2: the end of an answer to GET_HISTORY
};

enum ApiErrorCode : uint32_t {
	TOLVAR_API_ERROR_SERVER_CLOSED = 1,		// the session ends (status 0)
	TOLVAR_API_ERROR_LOCAL_READ = 2,		// the session ends
	TOLVAR_API_ERROR_LOCAL_PACKET_TOO_LARGE = 3,	// the session ends
	TOLVAR_API_ERROR_OUT_OF_MEMORY = 4,		// the session ends
	TOLVAR_API_ERROR_INTERNAL_ERROR = 5,		// the session ends
	TOLVAR_API_ERROR_USER_NOT_FOUND = 6,		// a message's recipient is not online
	TOLVAR_API_ERROR_MOTD_NOT_AVAILABLE = 7,	// no message of the day
	// From version 2 (TOLVAR_API_VERSION_MODERATION) on:
	TOLVAR_API_ERROR_DISCONNECTED = 8,		// the administrator ended the session, or the
							// login was refused; the session ends
	TOLVAR_API_ERROR_MUTED = 9,			// the sender is muted: the message was dropped
};

// The kind byte of a message (the chat's message kinds); other values pass unchanged.
enum ApiMessageKind : uint8_t {
	TOLVAR_API_KIND_PLAIN = 1,
	TOLVAR_API_KIND_HTML = 2,
	TOLVAR_API_KIND_IMAGE = 3,
};

constexpr uint16_t TOLVAR_API_VERSION = 2;	// the version spoken here; version 0 is invalid
constexpr uint16_t TOLVAR_API_VERSION_HISTORY = 2;	// the first version with the history packets
constexpr uint16_t TOLVAR_API_VERSION_MODERATION = 2;	// the first version with errors 8 and 9
constexpr std::string_view TOLVAR_API_MAGIC = "TOLVAR";	// 6 bytes, no terminator
constexpr uint32_t TOLVAR_API_MAX_REQUEST_LENGTH = 1048576;	// longest packet a session accepts

namespace tolvarapi {

// A bound for reading what a session sends: its messages reach a little over 2 MiB.
constexpr uint32_t DEFAULT_MAX_LENGTH = 4u << 20;

enum Result {
	OK = 0,
	END = -1,		// end of input (possibly inside a packet)
	IO_ERROR = -2,		// a read or write failed; errno tells why
	TOO_SMALL = -3,		// a length field of 0
	TOO_LARGE = -4,		// a length field above the caller's bound
	NO_MEMORY = -5,
	MALFORMED = -6,		// the fields do not hold what the type needs
	NEED_MORE = -7,		// frame(): the buffer does not hold the whole packet yet
	// parse_hello: what it finds wrong, in the order it checks; a session ends on each.
	HELLO_BAD_LENGTH = -8,	// a length other than 9
	HELLO_BAD_MAGIC = -9,
	HELLO_BAD_VERSION = -10,	// version 0
};

// ---- framing ----

// Looks at the start of a receive buffer: OK with *packet_size = 4 + length when a whole
// packet is there, NEED_MORE, TOO_SMALL, or TOO_LARGE (length above max_length).
int frame(const void *data, size_t size, uint32_t max_length, size_t *packet_size);

// Reads one whole packet from fd (blocking; EINTR retried). OK: *packet (caller frees with
// free()) holds *size = 4 + length bytes. END, IO_ERROR, TOO_SMALL, TOO_LARGE, NO_MEMORY;
// with these three *size is 4 + the announced length as well.
int read_packet(int fd, uint32_t max_length, unsigned char **packet, size_t *size);

// Writes size bytes to fd, retrying EINTR and partial writes. OK or IO_ERROR.
int write_packet(int fd, const void *packet, size_t size);

struct Packet {
	uint32_t length;
	uint8_t type;
	std::string_view fields;	// the length - 1 bytes after the type
};
// OK when data holds exactly one packet (size == 4 + length, length >= 1), else MALFORMED.
int open_packet(const void *data, size_t size, Packet *out);

// ---- parsing. Each returns OK or MALFORMED (also for a packet of another type). Bytes after
// the last field are ignored, except in a hello. ----

struct Hello {
	uint16_t version;
};
struct SendMessage {
	std::string_view to;	// as sent; a session posts its first 31 bytes
	uint8_t kind;
	std::string_view text;
};
struct Pass {
	uint16_t version;
	std::string_view user;
};
struct OnlineUsers {
	uint16_t your_id;
	uint16_t count;
	std::string_view entries;	// count entries, each checked; walk them with next_user
};
struct UserEntry {
	uint16_t id;
	std::string_view user;
	std::string_view host;
};
struct Message {
	uint64_t time;			// Unix time at which the session passed it on
	std::string_view from;
	std::string_view to;		// this user's name, or "GLOBAL" for everybody
	uint8_t kind;
	std::string_view text;
};
struct UserState {
	bool online;
	std::string_view user;
};
struct Error {
	uint32_t code;
	std::string_view text;
};
struct Motd {
	std::string_view text;
};
struct GetHistory {
	uint16_t max;	// the most messages wanted; 0: all that are kept
};
struct HistoryEnd {
	uint16_t count;	// history messages sent before it (at most 65535)
};

// OK, MALFORMED for another type, or a HELLO_BAD_ result; out->version is set whenever the
// packet holds one.
int parse_hello(const Packet &p, Hello *out);
int parse_send_message(const Packet &p, SendMessage *out);
int parse_pass(const Packet &p, Pass *out);	// the magic must be right, the version not 0
int parse_online_users(const Packet &p, OnlineUsers *out);
// Takes the next entry from *entries (of a parsed OnlineUsers). OK or MALFORMED.
int next_user(std::string_view *entries, UserEntry *out);
int parse_message(const Packet &p, Message *out);
int parse_user_state(const Packet &p, UserState *out);
int parse_error(const Packet &p, Error *out);
int parse_motd(const Packet &p, Motd *out);
int parse_get_history(const Packet &p, GetHistory *out);
// A history message has the layout of a received message; time is when the server received it.
int parse_history_message(const Packet &p, Message *out);
int parse_history_end(const Packet &p, HistoryEnd *out);

// ---- building. Each returns a malloc'ed packet of *size bytes (caller frees with free()),
// or nullptr with errno: ENOMEM, or EOVERFLOW for a name over 255 bytes, more than 65535
// entries, or a packet whose length does not fit its field. Values are written as given. ----

// A packet of any type with the given field bytes.
unsigned char *build_packet(uint8_t type, std::string_view fields, size_t *size);
unsigned char *build_hello(uint16_t version, size_t *size);
unsigned char *build_get_online_user(size_t *size);
unsigned char *build_get_motd(size_t *size);
unsigned char *build_send_message(std::string_view to, uint8_t kind, std::string_view text, size_t *size);
unsigned char *build_pass(uint16_t version, std::string_view user, size_t *size);
unsigned char *build_online_users(uint16_t your_id, const UserEntry *entries, size_t count, size_t *size);
unsigned char *build_message(uint64_t time, std::string_view from, std::string_view to, uint8_t kind,
			     std::string_view text, size_t *size);
unsigned char *build_user_state(bool online, std::string_view user, size_t *size);
unsigned char *build_error(uint32_t code, std::string_view text, size_t *size);
unsigned char *build_motd(std::string_view text, size_t *size);
unsigned char *build_get_history(uint16_t max, size_t *size);
unsigned char *build_history_message(uint64_t time, std::string_view from, std::string_view to, uint8_t kind,
				     std::string_view text, size_t *size);
unsigned char *build_history_end(uint16_t count, size_t *size);

// ---- a conversation on a pair of descriptors ----

// Sends HELLO with version to out_fd and reads the answer from in_fd. OK with *pass filled
// (its user borrows from *packet, which the caller frees); END, IO_ERROR, MALFORMED (the
// answer is no PASS), or the read_packet results.
int handshake(int in_fd, int out_fd, uint16_t version, unsigned char **packet, Pass *pass);
// Builds and writes a SEND_MESSAGE. OK, IO_ERROR, NO_MEMORY, or MALFORMED for a name over
// 255 bytes.
int send_message(int fd, std::string_view to, uint8_t kind, std::string_view text);
// Builds and writes a GET_HISTORY (version 2 and later). OK, IO_ERROR or NO_MEMORY.
int get_history(int fd, uint16_t max);

}  // namespace tolvarapi

#endif
