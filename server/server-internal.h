// What the parts of the server share: the connection table and its client flags, the error
// logger and the one way to send packets to clients.
#ifndef TOLVAR_SERVER_SERVER_INTERNAL_H
#define TOLVAR_SERVER_SERVER_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/local-protocol.h"
#include "server/moderation.h"

// Highest descriptor a client may have: its connection id must fit the 16 bits that programs
// are given it in.
constexpr int SERVER_MAX_CLIENT_FD = 65535;
constexpr int SERVER_IO_TIMEOUT_SECONDS = 2;	// send and receive time-out of every client
constexpr int SEND_QUEUE_RANGES = 8;

// What a client is owed in this pass of the loop: ranges of the shared outbox or of held
// packets, in order.
struct SendQueue {
	uint32_t start[SEND_QUEUE_RANGES];
	uint32_t size[SEND_QUEUE_RANGES];
	uint16_t source[SEND_QUEUE_RANGES];	// 0: the outbox; k: the k-th held packet
	int ranges;
	size_t sent;	// bytes of the ranges that have gone out already
};

// What a slot's descriptor is to the server.
enum ClientFlag : uint8_t {
	CLIENT_CONNECTED = 1,	// a client (the listening socket never is)
	CLIENT_FAILED = 2,	// its last write failed: sent nothing more, closed soon
	CLIENT_QUEUED = 4,	// its send queue is not empty
};

// One connection, indexed by its descriptor (the connection id that clients see).
struct ClientSlot {
	char user[LOCAL_NAME_FIELD];	// empty: not logged in
	char host[LOCAL_HOST_FIELD];
	char *encoding;			// owned; nullptr when the login gave none
	LocalPacketReader reader;
	SendQueue queue;
	uint8_t flags;			// ClientFlag
	SessionActivity activity;
	FloodBucket flood;
};

// The one server of this process.
struct ServerState {
	ClientSlot *slots;	// the connection table, slot_count slots: always past highest_fd
	int slot_count;
	int listen_fd;
	int highest_fd;		// largest of listen_fd and every client descriptor
	bool closed_in_pass;	// a connection closed since the highest descriptor was computed
};

extern ServerState server;

// Whether descriptor fd has a slot with flag set.
inline bool client_has(int fd, uint8_t flag)
{
	return fd >= 0 && fd < server.slot_count && (server.slots[fd].flags & flag) != 0;
}

// Logs at LOG_ERR "<formatted message>: <error text> (<errno>)" for the errno at the call;
// the formatted message is cut at 256 bytes. errno is left as it was.
void syslog_perror(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- sending (send-queue.cpp) ---
//
// Within one pass of the loop, every packet for clients is staged once in a shared outbox and
// each recipient queues the ranges of it that it is owed; the end of the pass sends every
// recipient all its bytes in one write. Each recipient receives exactly the bytes, in exactly
// the order, that one write per packet would have given it. A client whose write fails, or
// that has not taken its bytes within one send time-out, is put among the failed clients: it
// is sent nothing more (so it never gets a partial packet followed by more bytes) and is
// closed at the end of the pass. Packets too big for the outbox are held, each copied once
// into a block of its own for all its recipients, and go out with the rest. When the outbox
// or the held packets are full, everything queued is sent at once, all waited for together
// within one send time-out, so a pass holds up the others for one time-out per such flush,
// however many recipients stall.

// What a failed send is logged as.
enum SendWhat : uint8_t {
	SEND_DELIVERY,		// "dispatch_message: from %d to %d: write"
	SEND_NOT_FOUND,		// "dispatch_message: write"
	SEND_ONLINE_USERS,	// "send_online_users: write to %d"
	SEND_USER_STATE,	// "broadcast_user_state: to %d: write"
	SEND_HISTORY,		// "send_history: write to %d"
	SEND_NOTICE,		// "send_notice: to %d: write"
	SEND_ADMIN_ANSWER,	// "admin answer: to %d: write"
};

// A packet staged for any number of recipients. bytes is the caller's packet, which must stay
// valid until the last client_send_staged for it.
struct StagedPacket {
	const unsigned char *bytes;
	size_t size;
	uint32_t offset;	// position in the outbox
	uint16_t source;	// 0: in the outbox; k: the k-th held packet
	uint32_t generation;	// the outbox's generation when staged; 0: written directly
	SendWhat what;
	int from;		// the sending connection (SEND_DELIVERY)
};

void stage_packet(const void *packet, size_t size, SendWhat what, int from, StagedPacket *out);
// Queues a staged packet for client fd (nothing for a failed client).
void client_send_staged(int fd, StagedPacket *packet);
// Stages and queues a packet for one client.
void client_send(int fd, const void *packet, size_t size, SendWhat what, int from);
// Sends everything queued to every client.
void flush_send_queues();
// Settles fd's queue before it is closed: sent when it can be, else dropped.
void settle_send_queue(int fd);
void send_queue_init(SendQueue *queue);
// Makes room for flushing count clients at once. -1 when there is no memory for it.
int send_queue_reserve(int count);

// --- connection table (connections.cpp) ---

// Makes the table hold slot fd (new slots empty); grows nothing when it does. -1 when there
// is no memory for it.
int table_reserve(int fd);
// An empty slot: no user, no encoding, idle reader, nothing queued, no flag.
void slot_init(ClientSlot *slot);
// Whether fd is a connected client with a user name that may still be written to.
bool client_is_recipient(int fd);
// The user name of a slot as a view.
std::string_view slot_user(int fd);
// The closing procedure: close fd, leave the clients, logout step, free the slot.
void close_client(int fd);
// The largest of the listening socket and every client descriptor, after a pass in which a
// connection closed; the table shrinks when it has become far larger than that.
void recompute_highest_fd();
// The end of a pass of the loop: sends what is queued, closes every failed client (and those
// that fail while they are announced offline) after handling the packets it had sent,
// recomputes the highest descriptor when a connection closed.
void server_end_pass();
// Hands one whole packet from client fd to its handler; malformed and unknown packets are
// logged and dropped. The handler may rewrite the packet in place; the caller still owns it.
void server_handle_packet(int fd, unsigned char *packet);

// --- login and presence (presence.cpp); each returns -1 for a malformed packet ---

int handle_login(int fd, unsigned char *bytes, const LocalPacketView &packet);
int handle_get_online_users(int fd, unsigned char *bytes, const LocalPacketView &packet);
// Sends the list of logged-in sessions to fd.
void send_online_users(int fd);
// The presence part of closing fd: offline announcement when user was its last session.
void logout_step(int fd, const char *user);
// Whether a logged-in connection other than fd (-1: any) is user's.
bool other_session_of(const char *user, int fd);
// Sends a user-online (online true) or user-offline packet for user to every logged-in
// client below limit.
void broadcast_user_state(const char *user, bool online, int limit);

// --- message routing (routing.cpp) ---

// Delivers the message of a post-message packet; its bytes become the delivery in place.
int handle_post_message(int fd, unsigned char *bytes, const LocalPacketView &packet);

// Whether to_user names everybody ("GLOBAL" or "*").
bool is_everybody(std::string_view to_user);
// Hands the staged delivery of a message from sender (connection from; -1: a session on
// another server) to every local session that gets it: all of them for everybody, else the
// recipient's and the sender's own; plain text is converted to each session's encoding.
// Returns whether a session of the recipient (or anybody, for everybody) was among them.
bool deliver_locally(int from, StagedPacket *delivery, const char *sender, std::string_view to, bool everybody,
		     int32_t kind, const char *sender_encoding, const char *sender_charset);

// Whether a recipient whose session has to_encoding gets a message of kind from a sender whose
// session had from_encoding (either may be nullptr) converted: plain text between two names.
bool needs_conversion(const char *from_encoding, int32_t kind, const char *to_encoding);

enum ConvertResult {
	CONVERT_SAME,	// two spellings of one character set: the text goes unchanged
	CONVERT_DONE,	// *out holds the converted text
	CONVERT_FAILED,	// errno says why; the text goes unchanged, and the caller logs it
};
// Converts text from from_charset (the listed character set of the sender's encoding, or
// nullptr) to to_encoding into a new record (*out, caller frees; only text and text_length
// filled) whose text is at most limit bytes. Returns a ConvertResult.
int convert_plain_text(const char *from_charset, const char *to_encoding, std::string_view text, uint64_t limit,
		       MessageRecord **out);

// --- the other servers of the chat, over the bus (cluster.cpp) ---
//
// Without a bus configured, none of these does anything and the server is a single host.

// With a bus, local connections keep descriptors up to this; sessions on other servers get
// the ids above it.
constexpr int CLUSTER_MAX_LOCAL_FD = 32767;

// A session on another server, as the online list and the administrator see it.
struct ClusterSession {
	uint16_t id;
	const char *user;
	const char *host;
	const char *server;
	int64_t since;
};

// Start-up, after the system log is open: connects to the bus when one is configured. -1
// after printing why its settings are wrong.
int cluster_start(void);
bool cluster_active(void);
// The descriptor the loop watches for what the bus brings (-1 without a bus), and what it
// calls when it is readable.
int cluster_wakeup_fd(void);
void cluster_receive(void);
// Heartbeats and time-outs; returns the milliseconds until it wants calling again (-1: never).
int cluster_tick(void);
// A local session logged in (its slot filled) or ended.
void cluster_session_on(int fd);
void cluster_session_off(int fd);
// Sessions of user on other servers.
uint32_t cluster_user_sessions(std::string_view user);
// Sends the other servers a message posted here (text as delivered; charset: the sender's
// listed character set, or nullptr).
void cluster_post(int64_t when, const char *sender, const MessageView &m, const char *charset);
// Sends the other servers an administrator's action (BUS_KICK with message, BUS_MUTE until a
// time, BUS_UNMUTE).
void cluster_action(uint8_t type, uint32_t admin_uid, const char *user, std::string_view message, int64_t until);
// Sessions on other servers: their number, and up to max of them, highest id first.
uint32_t cluster_session_count(void);
uint32_t cluster_list_sessions(ClusterSession *out, uint32_t max);
// Servers of the chat heard from, this one included; 0 without a bus.
int cluster_server_count(void);

#endif
