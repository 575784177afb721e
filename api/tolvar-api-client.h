// A small library for programs (bots) that talk to a tolvar api session, for example over
// "ssh tolvar@host api": it frames, builds and parses every API packet with bounds checks.
// It needs only this file, tolvar-api-client.cpp and common/wire-reader.h. See docs/api.md.
//
// Every packet: u32 length (big-endian, bytes after this field), u8 type, length - 1 bytes
// of fields. Parsed views borrow from the packet buffer they were parsed from.
#ifndef TOLVAR_API_TOLVAR_API_CLIENT_H
#define TOLVAR_API_TOLVAR_API_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvarapi {

enum PacketType : uint8_t {
	HELLO = 1,		// program to session: handshake
	GET_ONLINE_USER = 2,	// program to session: ask for the online users
	SEND_MESSAGE = 3,	// program to session: send a message
	GET_MOTD = 4,		// program to session: ask for the message of the day
	PASS = 0x80,		// session to program: handshake accepted
	ONLINE_USERS = 0x81,	// session to program: the online users
	RECEIVE_MESSAGE = 0x82,	// session to program: a message for this user
	USER_STATE = 0x83,	// session to program: a user came online or went offline
	ERROR = 0x84,		// session to program: error report
	MOTD = 0x85,		// session to program: message of the day
};

enum ErrorCode : uint32_t {
	ERROR_SERVER_CLOSED = 1,		// the session ends (status 0)
	ERROR_LOCAL_READ = 2,			// the session ends
	ERROR_LOCAL_PACKET_TOO_LARGE = 3,	// the session ends
	ERROR_OUT_OF_MEMORY = 4,		// the session ends
	ERROR_INTERNAL_ERROR = 5,		// the session ends
	ERROR_USER_NOT_FOUND = 6,		// a message's recipient is not online
	ERROR_MOTD_NOT_AVAILABLE = 7,		// no message of the day
};

enum MessageKind : uint8_t {
	KIND_PLAIN = 1,
	KIND_HTML = 2,
	KIND_IMAGE = 3,
};

constexpr uint16_t VERSION = 1;			// the version this library speaks
constexpr uint32_t MAX_REQUEST_LENGTH = 1048576;	// the session refuses longer packets
constexpr uint32_t DEFAULT_MAX_LENGTH = 4u << 20;	// default bound for packets read

enum Result {
	OK = 0,
	END = -1,		// end of input (possibly inside a packet)
	IO_ERROR = -2,		// a read or write failed; errno tells why
	TOO_SMALL = -3,		// a length field of 0
	TOO_LARGE = -4,		// a length field above the caller's bound
	NO_MEMORY = -5,
	MALFORMED = -6,		// the fields do not hold what the type needs
	NEED_MORE = -7,		// frame(): the buffer does not hold the whole packet yet
};

// ---- framing ----

// Looks at the start of a receive buffer: OK with *packet_size = 4 + length when a whole
// packet is there, NEED_MORE, TOO_SMALL, or TOO_LARGE (length above max_length).
int frame(const void *data, size_t size, uint32_t max_length, size_t *packet_size);

// Reads one whole packet from fd (blocking; EINTR retried). OK: *packet (caller frees with
// free()) holds *size = 4 + length bytes. END, IO_ERROR, TOO_SMALL, TOO_LARGE, NO_MEMORY.
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
// the last field are ignored, except in HELLO, whose length must be exactly 9. ----

struct Hello {
	uint16_t version;
};
struct SendMessage {
	std::string_view to;
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

int parse_hello(const Packet &p, Hello *out);
int parse_send_message(const Packet &p, SendMessage *out);
int parse_pass(const Packet &p, Pass *out);		// the magic must be right
int parse_online_users(const Packet &p, OnlineUsers *out);
// Takes the next entry from *entries (of a parsed OnlineUsers). OK or MALFORMED.
int next_user(std::string_view *entries, UserEntry *out);
int parse_message(const Packet &p, Message *out);
int parse_user_state(const Packet &p, UserState *out);
int parse_error(const Packet &p, Error *out);
int parse_motd(const Packet &p, Motd *out);

// ---- building. Each returns a malloc'ed packet of *size bytes (caller frees with free()),
// or nullptr with errno: ENOMEM, or EOVERFLOW for a name over 255 bytes, a text over 2^32 - 1
// bytes, or a packet whose length does not fit its field. ----

unsigned char *build_hello(uint16_t version, size_t *size);
unsigned char *build_get_online_user(size_t *size);
unsigned char *build_get_motd(size_t *size);
unsigned char *build_send_message(std::string_view to, uint8_t kind, std::string_view text, size_t *size);
unsigned char *build_pass(uint16_t version, std::string_view user, size_t *size);
// entries: count encoded entries (u16 id, name, host), as next_user reads them
unsigned char *build_online_users(uint16_t your_id, uint16_t count, std::string_view entries, size_t *size);
unsigned char *build_message(uint64_t time, std::string_view from, std::string_view to, uint8_t kind,
			     std::string_view text, size_t *size);
unsigned char *build_user_state(bool online, std::string_view user, size_t *size);
unsigned char *build_error(uint32_t code, std::string_view text, size_t *size);
unsigned char *build_motd(std::string_view text, size_t *size);

// ---- a conversation on a pair of descriptors ----

// Sends HELLO with version to out_fd and reads the answer from in_fd. OK with *pass filled
// (its user borrows from *packet, which the caller frees); END, IO_ERROR, MALFORMED (the
// answer is no PASS), or the read_packet results.
int handshake(int in_fd, int out_fd, uint16_t version, unsigned char **packet, Pass *pass);
// Build and write one request. OK, IO_ERROR, NO_MEMORY (or MALFORMED for names over 255 bytes).
int send_get_online_user(int fd);
int send_get_motd(int fd);
int send_message(int fd, std::string_view to, uint8_t kind, std::string_view text);

}  // namespace tolvarapi

#endif
