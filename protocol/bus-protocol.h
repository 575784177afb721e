// What servers of one chat tell each other over the message bus. Every message is one bus
// payload: a header, then the fields of its type; integers big-endian, names a u8 length and
// their bytes, texts a u32 length and their bytes; nothing after the last field.
//
//   header         u8 'T', u8 version (1), u8 type, name server (1 to 63 bytes of
//                  A-Z a-z 0-9 _ -), u64 boot (the sending process's random id)
//   CHAT           i64 when (seconds since the epoch), name sender, name to ("GLOBAL", "*" or a
//                  user), i32 kind, name charset (the sender's listed character set, or
//                  empty), text (NUL bytes of a plain text already replaced)
//   SESSION_ON     u64 event, u32 session (its id on the sending server), name user, name host,
//                  i64 since (login, seconds since the epoch)
//   SESSION_OFF    u64 event, u32 session
//   HEARTBEAT      u64 event (the last presence event the server has sent)
//   SNAPSHOT       u64 event, u32 count, count times: u32 session, name user, name host, i64 since
//   SNAPSHOT_ASK   name target (empty: every server)
//   KICK           u32 admin uid, name user, name message (at most 255 bytes)
//   MUTE           u32 admin uid, name user, i64 until (seconds since the epoch)
//   UNMUTE         u32 admin uid, name user
//
// The chat channel carries batches: one or more messages, each a u32 length and its bytes,
// so that one acknowledgement of the stream covers every message queued meanwhile.
//
// The parser checks every field a receiver relies on: user names are valid chat user names,
// hosts hold no NUL, texts stay within what a local packet carries.
#ifndef TOLVAR_PROTOCOL_BUS_PROTOCOL_H
#define TOLVAR_PROTOCOL_BUS_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/local-protocol.h"

constexpr uint8_t BUS_MAGIC = 'T';
constexpr uint8_t BUS_VERSION = 1;
constexpr size_t BUS_SERVER_NAME_MAX = 63;
constexpr size_t BUS_CHARSET_MAX = 63;
constexpr size_t BUS_KICK_MESSAGE_MAX = 255;

enum BusType : uint8_t {
	BUS_CHAT = 1,
	BUS_SESSION_ON = 2,
	BUS_SESSION_OFF = 3,
	BUS_HEARTBEAT = 4,
	BUS_SNAPSHOT = 5,
	BUS_SNAPSHOT_ASK = 6,
	BUS_KICK = 7,
	BUS_MUTE = 8,
	BUS_UNMUTE = 9,
};

// One bus message as built and as parsed; views borrow from the caller (building) or from the
// payload (parsing). Only the fields of its type mean anything.
struct BusMessage {
	uint8_t type;
	std::string_view server;
	uint64_t boot;
	uint64_t event;			// SESSION_ON, SESSION_OFF, HEARTBEAT, SNAPSHOT
	uint32_t session;		// SESSION_ON, SESSION_OFF
	std::string_view user;		// CHAT (the sender), SESSION_ON, KICK, MUTE, UNMUTE
	std::string_view host;		// SESSION_ON
	std::string_view to;		// CHAT; SNAPSHOT_ASK: the target
	int64_t when;			// CHAT; MUTE: until; SESSION_ON: since
	int32_t kind;			// CHAT
	std::string_view charset;	// CHAT
	std::string_view text;		// CHAT; KICK: the message
	uint32_t admin_uid;		// KICK, MUTE, UNMUTE
	uint32_t count;			// SNAPSHOT
	std::string_view entries;	// SNAPSHOT: the entries, read with bus_next_snapshot_entry
};

// One session of a snapshot.
struct BusSessionEntry {
	uint32_t session;
	std::string_view user;
	std::string_view host;
	int64_t since;
};

// Whether name may name a server: 1 to 63 bytes of letters, digits, '_' and '-'.
bool bus_valid_server_name(std::string_view name);

// The bytes m takes (its type's fields), or 0 when a field does not fit its limit.
size_t bus_message_size(const BusMessage &m);
// Writes m into out, which holds bus_message_size(m) bytes.
void bus_write_message(const BusMessage &m, unsigned char *out);
// A malloc'ed message (*size its bytes), or nullptr with errno (EINVAL: a field too long;
// ENOMEM). Caller frees.
unsigned char *bus_build_message(const BusMessage &m, size_t *size);

// A SNAPSHOT carries its entries as built with these (m.entries, m.count): the bytes one
// entry takes, 0 when a field does not fit; and the entry written at out, returning the byte
// after it.
size_t bus_snapshot_entry_size(const BusSessionEntry &e);
unsigned char *bus_write_snapshot_entry(unsigned char *out, const BusSessionEntry &e);

// Parses a payload. 0, or -1 (and *out cleared) when it is not a well-formed message of a
// known type.
int bus_parse_message(const void *data, size_t size, BusMessage *out);
// Reads the next entry of a parsed SNAPSHOT's entries (advancing *rest). 0, or -1 at the end.
int bus_next_snapshot_entry(std::string_view *rest, BusSessionEntry *out);

// A batch: the bytes one message of size bytes takes in it, and the entry written at out
// (returning the byte after it).
constexpr size_t bus_batch_entry_size(size_t size) { return 4 + size; }
unsigned char *bus_write_batch_entry(unsigned char *out, const void *message, size_t size);
// The next message of a batch (advancing *rest). 0; -1 at the end, or when what is left is no
// whole entry (*malformed set then).
int bus_next_batch_entry(std::string_view *rest, std::string_view *message, bool *malformed);

#endif
