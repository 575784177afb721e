// Administration and moderation on the local socket: what tolvaradm asks the running server,
// what the server answers, and the notices it sends a session that is kicked, muted or refused.
// Framed like every local packet (see local-protocol.h); integers in host byte order.
//
// Requests, tolvaradm -> server; every payload starts with the administrator's uid (u32):
//   ADMIN_WHO, ADMIN_LIST_MUTES, ADMIN_STATS   uid
//   ADMIN_KICK                                 uid, user[32], message (the rest: 0 to 255
//                                              bytes, no NUL)
//   ADMIN_MUTE                                 uid, user[32], u64 seconds
//   ADMIN_UNMUTE                               uid, user[32]
// Answers, server -> tolvaradm:
//   ADMIN_RESULT     i32: a count (sessions ended, mutes lifted), 0, or -errno (EPERM: refused)
//   ADMIN_SESSIONS   u32 count, count entries of 212 bytes: i32 id, user[32], host[128],
//                    encoding[24], i64 since, i64 last post, u64 posts (times in seconds
//                    since the epoch; the last post is the login time before the first)
//   ADMIN_SERVER_SESSIONS  what ADMIN_SESSIONS holds, each entry followed by server[64]:
//                    the server the session is on; the answer of a server joined to others
//   ADMIN_MUTES      u32 count, count entries of 40 bytes: user[32], i64 until
//   ADMIN_COUNTERS   u32 count, count u64 values in ServerCounter order
// Notices, server -> session:
//   KICKED           message (the rest: 0 to 255 bytes); the server closes the connection next
//   MUTED            u64 seconds the mute still lasts; the post was dropped
//   LOGIN_REFUSED    u32 LoginRefusal, u32 the limit; the server closes the connection next
#ifndef TOLVAR_PROTOCOL_ADMIN_PROTOCOL_H
#define TOLVAR_PROTOCOL_ADMIN_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/local-protocol.h"

constexpr size_t ADMIN_MESSAGE_MAX = 255;	// longest kick message
constexpr size_t ADMIN_ENCODING_FIELD = LOCAL_ENCODING_MAX + 1;
constexpr size_t ADMIN_SESSION_ENTRY_SIZE = 4 + LOCAL_NAME_FIELD + LOCAL_HOST_FIELD + ADMIN_ENCODING_FIELD + 24;
constexpr size_t ADMIN_SERVER_FIELD = 64;
constexpr size_t ADMIN_SERVER_SESSION_ENTRY_SIZE = ADMIN_SESSION_ENTRY_SIZE + ADMIN_SERVER_FIELD;
constexpr size_t ADMIN_MUTE_ENTRY_SIZE = LOCAL_NAME_FIELD + 8;
// The most sessions one ADMIN_SESSIONS answer lists: as many as fit in a packet.
constexpr uint32_t ADMIN_SESSIONS_MAX = (uint32_t)((LOCAL_PACKET_MAX_LENGTH - 16) / ADMIN_SERVER_SESSION_ENTRY_SIZE);

// The server's counters, in the order of an ADMIN_COUNTERS answer. A newer server may send
// more; a reader takes those it knows.
enum ServerCounter : uint32_t {
	COUNTER_STARTED,		// when the server started, seconds since the epoch
	COUNTER_UPTIME,			// seconds since then
	COUNTER_SESSIONS,		// logged-in sessions now
	COUNTER_SESSIONS_PEAK,		// most logged-in sessions at once
	COUNTER_USERS,			// distinct users logged in now
	COUNTER_POSTS,			// posts routed
	COUNTER_DELIVERIES,		// messages handed to recipient sessions
	COUNTER_BYTES_DELIVERED,	// bytes of those deliveries
	COUNTER_CONVERSIONS,		// deliveries converted to another character set
	COUNTER_CONVERSIONS_FAILED,	// conversions that failed (the text went unconverted)
	COUNTER_CLIENTS_DROPPED,	// sessions dropped for not reading
	COUNTER_POSTS_DELAYED,		// times a connection was held back by flood control
	COUNTER_KICKS,			// sessions ended by an administrator
	COUNTER_MUTES,			// mutes imposed
	COUNTER_POSTS_MUTED,		// posts dropped because their sender was muted
	COUNTER_LOGINS_REFUSED,		// logins refused over the per-user session cap
	COUNTER_SERVERS,		// servers of the chat heard over the bus, this one included; 0: no bus
	COUNTER_SESSIONS_ELSEWHERE,	// sessions on the other servers
	COUNTER_BUS_CONNECTED,		// 1 while connected to the bus
	COUNTER_BUS_SENT,		// payloads the bus took from this server
	COUNTER_BUS_RECEIVED,		// payloads this server took from the bus
	COUNTER_BUS_DROPPED,		// payloads dropped: queue full, too large, refused
	COUNTER_COUNT,
};

// Why a login was refused.
enum LoginRefusal : uint32_t {
	LOGIN_REFUSED_TOO_MANY_SESSIONS = 1,
};

// An administrator's request as built and as parsed. Views borrow from the caller (building)
// or from the packet (parsing).
struct AdminRequest {
	int32_t type;			// LOCAL_PACKET_ADMIN_WHO ... LOCAL_PACKET_ADMIN_STATS
	uint32_t admin_uid;		// who ran the tool
	std::string_view user;		// KICK, MUTE, UNMUTE
	std::string_view message;	// KICK
	uint64_t seconds;		// MUTE
};

// Whether type is one of the requests above.
bool admin_is_request(int32_t type);

// ---- Building. Each returns a malloc'ed packet whose size it stores in *size, or nullptr
// with errno (ENOMEM; EINVAL for a request that does not fit its layout). Caller frees. ----

// The user is cut to 31 bytes; a message longer than ADMIN_MESSAGE_MAX is refused.
unsigned char *admin_build_request(const AdminRequest &request, size_t *size);
unsigned char *admin_build_result(int32_t result, size_t *size);
// Room for count entries, filled with admin_set_session / admin_set_mute; with_server: an
// ADMIN_SERVER_SESSIONS answer.
unsigned char *admin_build_sessions(uint32_t count, bool with_server, size_t *size);
unsigned char *admin_build_mutes(uint32_t count, size_t *size);
unsigned char *admin_build_counters(const uint64_t *values, uint32_t count, size_t *size);
unsigned char *notice_build_kicked(std::string_view message, size_t *size);
unsigned char *notice_build_muted(uint64_t seconds, size_t *size);
unsigned char *notice_build_login_refused(uint32_t reason, uint32_t limit, size_t *size);

struct SessionEntry {
	int32_t id;
	std::string_view user;
	std::string_view host;
	std::string_view encoding;
	int64_t since;
	int64_t last_post;
	uint64_t posts;
	std::string_view server;	// ADMIN_SERVER_SESSIONS only
};

struct MuteEntry {
	std::string_view user;
	int64_t until;	// seconds since the epoch
};

// Fills entry index (below the count built with); strings are cut to their fields.
void admin_set_session(unsigned char *packet, uint32_t index, const SessionEntry &entry);
void admin_set_mute(unsigned char *packet, uint32_t index, const MuteEntry &entry);

// ---- Parsing. Each returns 0, or -1 when the packet does not have its type's exact layout.
// Views borrow from the packet. ----

int admin_parse_request(const LocalPacketView &p, AdminRequest *out);
int admin_parse_result(const LocalPacketView &p, int32_t *result);

// A list of fixed-size entries: sessions or mutes.
struct AdminListView {
	uint32_t count;
	std::string_view entries;
	bool with_server;	// ADMIN_SERVER_SESSIONS
};
// Either answer to ADMIN_WHO.
int admin_parse_sessions(const LocalPacketView &p, AdminListView *out);
int admin_parse_mutes(const LocalPacketView &p, AdminListView *out);
// Entry index (< count) of a parsed list.
int admin_session_entry(const AdminListView &list, uint32_t index, SessionEntry *out);
int admin_mute_entry(const AdminListView &list, uint32_t index, MuteEntry *out);

// values gets the first max counters (those the server did not send are 0); *count the
// number the server sent.
int admin_parse_counters(const LocalPacketView &p, uint64_t *values, uint32_t max, uint32_t *count);

int notice_parse_kicked(const LocalPacketView &p, std::string_view *message);
int notice_parse_muted(const LocalPacketView &p, uint64_t *seconds);
int notice_parse_login_refused(const LocalPacketView &p, uint32_t *reason, uint32_t *limit);

#endif
