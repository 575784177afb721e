// The local protocol between client sessions and the server, over the Unix stream socket
// "socket" in the service account's home. Integers are in host byte order.
//
// Wire form of every packet: u64 length (bytes after this field), i32 type, payload,
// 4 reserved bytes. length = payload + 8; a packet takes payload + 16 bytes.
#ifndef TOLVAR_PROTOCOL_LOCAL_PROTOCOL_H
#define TOLVAR_PROTOCOL_LOCAL_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

enum LocalPacketType : int32_t {
	LOCAL_PACKET_LOGIN = 0,
	LOCAL_PACKET_POST_MESSAGE = 1,
	LOCAL_PACKET_GET_ONLINE_USERS = 2,
	LOCAL_PACKET_USER_NOT_FOUND = 3,
	LOCAL_PACKET_RECEIVE_MESSAGE = 4,
	LOCAL_PACKET_ONLINE_USERS = 5,
	LOCAL_PACKET_USER_ONLINE = 6,
	LOCAL_PACKET_USER_OFFLINE = 7,
	// The kept conversation: asked for by a session, never sent unasked.
	LOCAL_PACKET_GET_HISTORY = 8,		// client -> server: u32 max (0: all)
	LOCAL_PACKET_HISTORY_MESSAGE = 9,	// server -> client: i64 time, MessageRecord
	LOCAL_PACKET_HISTORY_END = 10,		// server -> client: u32 count of messages sent
	// Administration and moderation (layouts in protocol/admin-protocol.h).
	LOCAL_PACKET_ADMIN_WHO = 11,
	LOCAL_PACKET_ADMIN_KICK = 12,
	LOCAL_PACKET_ADMIN_MUTE = 13,
	LOCAL_PACKET_ADMIN_UNMUTE = 14,
	LOCAL_PACKET_ADMIN_LIST_MUTES = 15,
	LOCAL_PACKET_ADMIN_STATS = 16,
	LOCAL_PACKET_ADMIN_RESULT = 17,
	LOCAL_PACKET_ADMIN_SESSIONS = 18,
	LOCAL_PACKET_ADMIN_MUTES = 19,
	LOCAL_PACKET_ADMIN_COUNTERS = 20,
	LOCAL_PACKET_KICKED = 21,
	LOCAL_PACKET_MUTED = 22,
	LOCAL_PACKET_LOGIN_REFUSED = 23,
	LOCAL_PACKET_ADMIN_SERVER_SESSIONS = 24,
};

enum MessageKind : int32_t {
	MESSAGE_KIND_PLAIN = 1,
	MESSAGE_KIND_HTML = 2,
	MESSAGE_KIND_IMAGE = 3,
};

// Results of get_local_packet and of the API packet reader.
enum GetPacketResult : int {
	GET_PACKET_OK = 0,
	GET_PACKET_EOF = -1,
	GET_PACKET_READ_ERROR = -2,
	GET_PACKET_SHORT_READ = -3,
	GET_PACKET_TOO_SMALL = -4,
	GET_PACKET_TOO_LARGE = -5,
	GET_PACKET_OUT_OF_MEMORY = -6,
	GET_PACKET_INCOMPLETE = -7,
};

constexpr uint64_t LOCAL_PACKET_MAX_LENGTH = 0x200000;	// 2 MiB, accepted; one more is refused
constexpr size_t LOCAL_PACKET_LENGTH_SIZE = 8;
constexpr size_t LOCAL_PACKET_HEADER_SIZE = 12;		// length and type
constexpr size_t LOCAL_PACKET_RESERVED_SIZE = 4;
constexpr size_t LOCAL_PACKET_OVERHEAD = 16;		// header and reserved bytes
constexpr size_t LOCAL_NAME_FIELD = 32;			// user names: at most 31 bytes and a NUL
constexpr size_t LOCAL_HOST_FIELD = 128;		// hosts: at most 127 bytes and a NUL
constexpr size_t LOCAL_ENCODING_MAX = 23;
constexpr size_t LOGIN_RECORD_FIXED_SIZE = LOCAL_NAME_FIELD + LOCAL_HOST_FIELD;	// 160
constexpr size_t MESSAGE_RECORD_FIXED_SIZE = 80;
constexpr size_t ONLINE_USERS_FIXED_SIZE = 8;
constexpr size_t USER_INFO_RECORD_SIZE = 4 + LOCAL_NAME_FIELD + LOCAL_HOST_FIELD;	// 164
// As many entries as one packet carries: 12787.
constexpr size_t ONLINE_USERS_MAX_ENTRIES = (LOCAL_PACKET_MAX_LENGTH - 8 - ONLINE_USERS_FIXED_SIZE) / USER_INFO_RECORD_SIZE;
// Largest text that fits in one message packet.
constexpr uint64_t LOCAL_MESSAGE_TEXT_MAX = LOCAL_PACKET_MAX_LENGTH - 8 - MESSAGE_RECORD_FIXED_SIZE;
// A history message: the time the server received it (seconds since the epoch), then a record.
constexpr size_t HISTORY_TIME_SIZE = 8;
constexpr uint64_t LOCAL_HISTORY_TEXT_MAX = LOCAL_MESSAGE_TEXT_MAX - HISTORY_TIME_SIZE;

// A message as frontends fill it and as it travels (80-byte fixed part); the text follows
// the record in the same allocation: see message_record_text.
struct MessageRecord {
	char from_user[LOCAL_NAME_FIELD];	// the server writes it
	char to_user[LOCAL_NAME_FIELD];		// "GLOBAL" or "*" for everybody
	int32_t kind;				// MessageKind; other values pass through
	int32_t reserved;
	uint64_t text_length;
};
static_assert(sizeof(MessageRecord) == MESSAGE_RECORD_FIXED_SIZE, "MessageRecord layout");

inline char *message_record_text(MessageRecord *r) { return reinterpret_cast<char *>(r + 1); }
inline const char *message_record_text(const MessageRecord *r)
{
	return reinterpret_cast<const char *>(r + 1);
}

// A zero-filled record with room for text_length bytes of text (text_length set);
// nullptr with errno ENOMEM or EOVERFLOW. Caller frees with free().
MessageRecord *message_record_new(uint64_t text_length);

// Copies at most max_len bytes of name (up to its NUL) into a field of field_size bytes,
// NUL-terminated and zero-filled; max_len must be below field_size.
void local_copy_name(char *field, size_t field_size, std::string_view name, size_t max_len);

// Read state of one connection. Idle: no buffer, both counts 0. Only get_local_packet and
// local_packet_reader_reset change it.
struct LocalPacketReader {
	unsigned char *buffer;	// the packet being assembled, length field filled in
	uint64_t length;	// its announced length
	uint64_t received;	// body bytes received so far
};

// What a packet reader hands out.
struct GetPacketOut {
	unsigned char *packet;	// GET_PACKET_OK: the whole packet; the caller frees it with free()
	uint32_t length;	// GET_PACKET_TOO_LARGE / GET_PACKET_OUT_OF_MEMORY: the announced length
};

void local_packet_reader_init(LocalPacketReader *reader);
// Frees a partial packet still held and makes the reader idle.
void local_packet_reader_reset(LocalPacketReader *reader);

// Reads (part of) one packet from fd; at most one successful body read per call.
// Returns a GetPacketResult; see GetPacketOut for what out receives.
int get_local_packet(int fd, GetPacketOut *out, LocalPacketReader *reader);

// --- Building. Every builder returns a malloc'ed packet whose size it stores in *size
// (payload + 16), or nullptr with errno set (ENOMEM, EOVERFLOW). Caller frees with free(). ---

// A packet of the given type with payload_size zeroed payload bytes at offset 12.
unsigned char *local_packet_new(int32_t type, size_t payload_size, size_t *size);
inline unsigned char *local_packet_payload(unsigned char *packet) { return packet + LOCAL_PACKET_HEADER_SIZE; }

// Login: user cut to 31 bytes, host to 127; encoding (at most 23 bytes) NUL-terminated.
unsigned char *local_packet_build_login(std::string_view user, std::string_view host,
					std::string_view encoding, size_t *size);
unsigned char *local_packet_build_get_online_users(size_t *size);
// Post-message (type 1) or receive-message (type 4) around a record and its text.
unsigned char *local_packet_build_message(int32_t type, const MessageRecord *record, size_t *size);
// Types 3, 6, 7: the name cut to 31 bytes and a NUL.
unsigned char *local_packet_build_user_name(int32_t type, std::string_view name, size_t *size);
// Online-users list with room for count entries (filled with local_packet_set_user_info).
unsigned char *local_packet_build_online_users(int32_t your_id, uint32_t count, size_t *size);
void local_packet_set_user_info(unsigned char *packet, uint32_t index, int32_t id,
				std::string_view user, std::string_view host);
// Get-history (type 8): at most max messages, 0 for all that are kept.
unsigned char *local_packet_build_get_history(uint32_t max, size_t *size);
// History message (type 9): names cut to 31 bytes; EOVERFLOW when text exceeds
// LOCAL_HISTORY_TEXT_MAX.
unsigned char *local_packet_build_history_message(int64_t when, std::string_view from, std::string_view to,
						  int32_t kind, std::string_view text, size_t *size);
// History end (type 10): count messages were sent.
unsigned char *local_packet_build_history_end(uint32_t count, size_t *size);

// --- Reading what a peer sent. packet is a buffer from get_local_packet (length + 8 bytes).
// Each parser returns 0, or -1 when the packet is malformed for its type: too short for the
// fixed part, a text_length or count that runs past the end, a name field without its NUL.
// Views borrow from the packet. ---

struct LocalPacketView {
	uint64_t length;
	int32_t type;
	std::string_view payload;	// length - 8 bytes from offset 12 (reserved bytes excluded)
};
int local_packet_open(const unsigned char *packet, LocalPacketView *out);

struct LoginView {
	std::string_view user;		// up to the NUL of the 32-byte field
	std::string_view host;		// up to the NUL of the 128-byte field
	std::string_view encoding;	// up to its NUL
};
int local_parse_login(const LocalPacketView &p, LoginView *out);

struct MessageView {
	std::string_view from_user;	// empty for a post-message packet (it carries no value)
	std::string_view to_user;
	int32_t kind;
	std::string_view text;		// text_length bytes
	size_t text_offset;		// offset of the text in the packet (92)
};
int local_parse_message(const LocalPacketView &p, MessageView *out);

// Type 9: the time, then the record as for a receive-message packet.
int local_parse_history_message(const LocalPacketView &p, int64_t *when, MessageView *out);
// Types 8 and 10: exactly one u32 (the most wanted, or the count sent).
int local_parse_u32(const LocalPacketView &p, uint32_t *value);

// Types 3, 6, 7.
int local_parse_user_name(const LocalPacketView &p, std::string_view *name);

struct UserInfoView {
	int32_t id;
	std::string_view user;
	std::string_view host;
};
struct OnlineUsersView {
	int32_t your_id;
	uint32_t count;
	std::string_view entries;	// count * 164 bytes
};
int local_parse_online_users(const LocalPacketView &p, OnlineUsersView *out);
// Entry index (< count) of a parsed list.
int local_online_users_entry(const OnlineUsersView &list, uint32_t index, UserInfoView *out);

// The same three parsers for the API frontend, which takes a name or host up to its first NUL
// or, when its field holds none, to the field's end (for types 3, 6, 7: the payload's end).
int local_parse_message_lenient(const LocalPacketView &p, MessageView *out);
int local_parse_user_name_lenient(const LocalPacketView &p, std::string_view *name);
int local_online_users_entry_lenient(const OnlineUsersView &list, uint32_t index, UserInfoView *out);

#endif
