// The other servers of the chat, as this server's loop sees them through the bus: who is
// logged in where, heartbeats and their time-out, messages and the administrator's actions
// from elsewhere, and what this server tells the others.
//
// Presence. Each server numbers the login and logout events it sends; a receiver applies a
// server's events in that order and asks for the server's whole list (a snapshot) when it
// sees a gap, a heartbeat that does not match what it has applied, or a server it does not
// know. A server not heard from for PEER_TIMEOUT_MS is gone: its sessions are dropped, and
// their users announced offline unless they have sessions elsewhere.
//
// Session ids. Sessions on other servers get ids from 32768 up, one per session, kept while
// it lasts; with a bus, local connections keep their descriptors below 32768.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include "common/holders.h"
#include "common/wire-reader.h"
#include "protocol/bus-protocol.h"
#include "server/bus.h"
#include "server/charsets.h"
#include "server/history.h"
#include "server/server-internal.h"

namespace {

constexpr int64_t HEARTBEAT_MS = 2000;
constexpr int64_t PEER_TIMEOUT_MS = 9000;
constexpr int64_t SNAPSHOT_ASK_PAUSE_MS = 1000;	// between two asks to one server
constexpr uint32_t REMOTE_ID_FIRST = CLUSTER_MAX_LOCAL_FD + 1;
constexpr uint32_t REMOTE_IDS = 65536 - REMOTE_ID_FIRST;
// Where this server left off in the stream: the sequence of the last chat payload it took, in
// 20 digits and a newline, so that a restart reads what was sent while it was away.
constexpr const char POSITION_FILE[] = "bus-position";
constexpr size_t POSITION_SIZE = 21;

struct RemoteSession {
	uint32_t session;	// its id on its own server
	uint16_t id;		// its id here
	char user[LOCAL_NAME_FIELD];
	char host[LOCAL_HOST_FIELD];
	int64_t since;
};

struct Peer {
	char name[BUS_SERVER_NAME_MAX + 1];
	uint64_t boot;
	uint64_t event;		// the last of its presence events applied
	bool synced;		// its sessions are known up to event
	int64_t heard_ms;
	int64_t asked_ms;	// when its snapshot was last asked for
	RemoteSession *sessions;
	uint32_t count;
	uint32_t capacity;
};

struct Cluster {
	bool active;
	Peer *peers;
	int peer_count;
	int peer_capacity;
	uint64_t event;			// presence events sent
	uint64_t stream_sequence;	// the last chat payload received
	int64_t next_heartbeat_ms;
	bool snapshot_due;
	bool name_clash_logged;
	int position_fd;		// POSITION_FILE, -1 without one
	bool position_saved;		// the file holds a position
	uint32_t next_id;
	uint8_t ids_used[REMOTE_IDS / 8];
};

Cluster cluster;

int64_t now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// --- ids of sessions on other servers ---

uint16_t allocate_id()
{
	for (uint32_t n = 0; n < REMOTE_IDS; n++) {
		uint32_t i = (cluster.next_id + n) % REMOTE_IDS;
		if ((cluster.ids_used[i / 8] & (1u << (i % 8))) == 0) {
			cluster.ids_used[i / 8] |= (uint8_t)(1u << (i % 8));
			cluster.next_id = (i + 1) % REMOTE_IDS;
			return (uint16_t)(REMOTE_ID_FIRST + i);
		}
	}
	return 0;
}

void release_id(uint16_t id)
{
	uint32_t i = id - REMOTE_ID_FIRST;
	cluster.ids_used[i / 8] &= (uint8_t)~(1u << (i % 8));
}

// --- sending ---

BusMessage header(uint8_t type)
{
	BusMessage m = {};
	m.type = type;
	m.server = bus_server_name();
	m.boot = bus_boot();
	return m;
}

void send_message(const BusMessage &m, BusChannel channel)
{
	size_t size = bus_message_size(m);
	if (size == 0 || bus_batch_entry_size(size) > bus_max_payload()) {
		syslog(LOG_WARNING, "bus: a message of type %d does not fit the bus; not sent", (int)m.type);
		return;
	}
	BusPayload *p = bus_payload_new(size);
	if (p == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for a message");
		return;
	}
	bus_write_message(m, p->data);
	p->channel = channel;
	bus_send(p);
}

bool logged_in(int fd)
{
	return client_has(fd, CLIENT_CONNECTED) && server.slots[fd].user[0] != '\0';
}

BusSessionEntry local_entry(int fd)
{
	const ClientSlot *s = &server.slots[fd];
	return BusSessionEntry{(uint32_t)fd, s->user, s->host, (int64_t)s->activity.since};
}

// This server's whole list of sessions, as many as one payload carries.
void send_snapshot()
{
	BusMessage m = header(BUS_SNAPSHOT);
	m.event = cluster.event;
	size_t room = bus_max_payload() - bus_message_size(m);
	size_t bytes = 0;
	for (int fd = 0; fd <= server.highest_fd; fd++)
		if (logged_in(fd))
			bytes += bus_snapshot_entry_size(local_entry(fd));
	if (bytes > room) {
		syslog(LOG_WARNING, "bus: the list of sessions takes %zu bytes, the bus carries %zu; cut", bytes, room);
		bytes = room;
	}
	MallocPtr<unsigned char> entries(static_cast<unsigned char *>(malloc(bytes + 1)));
	if (entries == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for the list of sessions");
		return;
	}
	unsigned char *w = entries.get();
	for (int fd = 0; fd <= server.highest_fd; fd++) {
		if (!logged_in(fd))
			continue;
		BusSessionEntry e = local_entry(fd);
		if ((size_t)(w - entries.get()) + bus_snapshot_entry_size(e) > bytes)
			break;
		w = bus_write_snapshot_entry(w, e);
		m.count++;
	}
	m.entries = std::string_view(reinterpret_cast<const char *>(entries.get()), (size_t)(w - entries.get()));
	send_message(m, BUS_CHANNEL_PRESENCE);
}

void ask_snapshot(Peer *p, int64_t now)
{
	if (now - p->asked_ms < SNAPSHOT_ASK_PAUSE_MS)
		return;
	p->asked_ms = now;
	BusMessage m = header(BUS_SNAPSHOT_ASK);
	m.to = p->name;
	send_message(m, BUS_CHANNEL_PRESENCE);
}

// --- who is where ---

Peer *find_peer(std::string_view name)
{
	for (int i = 0; i < cluster.peer_count; i++)
		if (name == cluster.peers[i].name)
			return &cluster.peers[i];
	return nullptr;
}

uint32_t peer_sessions_of(const Peer *p, std::string_view user)
{
	uint32_t n = 0;
	for (uint32_t i = 0; i < p->count; i++)
		if (user == p->sessions[i].user)
			n++;
	return n;
}

bool local_session_of(const char *user)
{
	return other_session_of(user, -1);
}

bool user_anywhere(const char *user)
{
	return local_session_of(user) || cluster_user_sessions(user) > 0;
}

// Announces user offline here when the sessions just dropped were its last anywhere.
void announce_if_gone(const char *user)
{
	if (!user_anywhere(user))
		broadcast_user_state(user, false, server.highest_fd + 1);
}

// Whether sessions[i] is the first of its user's among the first i.
bool first_of_user(const RemoteSession *sessions, uint32_t i)
{
	for (uint32_t j = 0; j < i; j++)
		if (strcmp(sessions[j].user, sessions[i].user) == 0)
			return false;
	return true;
}

// Takes every session of p away (their users announced offline where due).
void clear_peer(Peer *p)
{
	RemoteSession *old = p->sessions;
	uint32_t count = p->count;
	p->sessions = nullptr;
	p->count = 0;
	p->capacity = 0;
	for (uint32_t i = 0; i < count; i++) {
		release_id(old[i].id);
		if (first_of_user(old, i))
			announce_if_gone(old[i].user);
	}
	free(old);
}

bool grow_sessions(Peer *p, uint32_t want)
{
	if (want <= p->capacity)
		return true;
	uint32_t capacity = p->capacity < 16 ? 16 : p->capacity;
	while (capacity < want)
		capacity *= 2;
	auto *grown = static_cast<RemoteSession *>(realloc(p->sessions, sizeof(RemoteSession) * capacity));
	if (grown == nullptr)
		return false;
	p->sessions = grown;
	p->capacity = capacity;
	return true;
}

void fill_session(RemoteSession *s, const BusSessionEntry &e, uint16_t id)
{
	s->session = e.session;
	s->id = id;
	local_copy_name(s->user, sizeof s->user, e.user, LOCAL_NAME_FIELD - 1);
	local_copy_name(s->host, sizeof s->host, e.host, LOCAL_HOST_FIELD - 1);
	s->since = e.since;
}

void remove_session(Peer *p, uint32_t session)
{
	for (uint32_t i = 0; i < p->count; i++) {
		if (p->sessions[i].session != session)
			continue;
		char user[LOCAL_NAME_FIELD];
		memcpy(user, p->sessions[i].user, sizeof user);
		release_id(p->sessions[i].id);
		p->sessions[i] = p->sessions[--p->count];
		announce_if_gone(user);
		return;
	}
}

void add_session(Peer *p, const BusSessionEntry &e)
{
	for (uint32_t i = 0; i < p->count; i++) {
		if (p->sessions[i].session != e.session)
			continue;
		if (e.user == p->sessions[i].user) {
			fill_session(&p->sessions[i], e, p->sessions[i].id);
			return;
		}
		remove_session(p, e.session);	// the connection logged in under another name
		break;
	}
	char user[LOCAL_NAME_FIELD];
	local_copy_name(user, sizeof user, e.user, LOCAL_NAME_FIELD - 1);
	bool known = user_anywhere(user);
	uint16_t id = allocate_id();
	if (id == 0 || !grow_sessions(p, p->count + 1)) {
		syslog(LOG_ERR, "bus: no room for a session of %s on server %s", user, p->name);
		if (id != 0)
			release_id(id);
		return;
	}
	fill_session(&p->sessions[p->count++], e, id);
	if (!known)
		broadcast_user_state(user, true, server.highest_fd + 1);
}

// Replaces p's sessions by a snapshot's; a session in both keeps its id, and only users who
// come or go anywhere are announced.
void apply_snapshot(Peer *p, const BusMessage &m)
{
	auto *fresh = static_cast<RemoteSession *>(malloc(sizeof(RemoteSession) * (m.count > 0 ? m.count : 1)));
	if (fresh == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for the sessions of server %s", p->name);
		return;
	}
	uint32_t count = 0;
	std::string_view rest = m.entries;
	BusSessionEntry e;
	while (bus_next_snapshot_entry(&rest, &e) == 0) {
		uint16_t id = 0;
		for (uint32_t i = 0; i < p->count; i++) {
			if (p->sessions[i].session == e.session && e.user == p->sessions[i].user && p->sessions[i].id != 0) {
				id = p->sessions[i].id;
				p->sessions[i].id = 0;	// taken over
				break;
			}
		}
		if (id == 0)
			id = allocate_id();
		if (id == 0)
			continue;
		fill_session(&fresh[count++], e, id);
	}
	RemoteSession *old = p->sessions;
	uint32_t old_count = p->count;
	p->sessions = fresh;
	p->count = count;
	p->capacity = m.count > 0 ? m.count : 1;
	p->event = m.event;
	p->synced = true;
	for (uint32_t i = 0; i < old_count; i++)
		if (old[i].id != 0)
			release_id(old[i].id);
	for (uint32_t i = 0; i < count; i++) {
		if (!first_of_user(fresh, i))
			continue;
		bool before = false;
		for (uint32_t j = 0; j < old_count && !before; j++)
			before = strcmp(old[j].user, fresh[i].user) == 0;
		if (before)
			continue;
		// Online unless it already was through a session elsewhere.
		p->count = 0;
		bool elsewhere = user_anywhere(fresh[i].user);
		p->count = count;
		if (!elsewhere)
			broadcast_user_state(fresh[i].user, true, server.highest_fd + 1);
	}
	for (uint32_t i = 0; i < old_count; i++)
		if (first_of_user(old, i))
			announce_if_gone(old[i].user);
	free(old);
}

// The peer a message comes from, added when it is new; a server that started again is one
// whose sessions are all gone.
Peer *peer_of(const BusMessage &m, int64_t now)
{
	Peer *p = find_peer(m.server);
	if (p == nullptr) {
		if (cluster.peer_count == cluster.peer_capacity) {
			int capacity = cluster.peer_capacity < 4 ? 4 : cluster.peer_capacity * 2;
			auto *grown = static_cast<Peer *>(realloc(cluster.peers, sizeof(Peer) * (size_t)capacity));
			if (grown == nullptr) {
				syslog(LOG_ERR, "bus: out of memory for server %.*s", (int)m.server.size(), m.server.data());
				return nullptr;
			}
			cluster.peers = grown;
			cluster.peer_capacity = capacity;
		}
		p = &cluster.peers[cluster.peer_count++];
		*p = Peer{};
		memcpy(p->name, m.server.data(), m.server.size());
		p->name[m.server.size()] = '\0';
		p->boot = m.boot;
		p->asked_ms = now - SNAPSHOT_ASK_PAUSE_MS;
		syslog(LOG_NOTICE, "bus: server %s joined", p->name);
	} else if (p->boot != m.boot) {
		syslog(LOG_NOTICE, "bus: server %s started again", p->name);
		clear_peer(p);
		p->boot = m.boot;
		p->synced = false;
		p->event = 0;
	}
	p->heard_ms = now;
	return p;
}

void handle_presence(const BusMessage &m, int64_t now)
{
	if (m.type == BUS_SNAPSHOT_ASK) {
		if (m.to.empty() || m.to == bus_server_name())
			cluster.snapshot_due = true;
		return;
	}
	Peer *p = peer_of(m, now);
	if (p == nullptr)
		return;
	switch (m.type) {
	case BUS_SESSION_ON:
	case BUS_SESSION_OFF:
		if (p->synced && m.event <= p->event)
			return;	// already in what was applied
		if (!p->synced || m.event != p->event + 1) {
			p->synced = false;
			ask_snapshot(p, now);
			return;
		}
		p->event = m.event;
		if (m.type == BUS_SESSION_ON)
			add_session(p, BusSessionEntry{m.session, m.user, m.host, m.when});
		else
			remove_session(p, m.session);
		return;
	case BUS_HEARTBEAT:
		if (!p->synced || m.event != p->event)
			ask_snapshot(p, now);
		return;
	case BUS_SNAPSHOT:
		if (p->synced && m.event <= p->event)
			return;
		apply_snapshot(p, m);
		return;
	default:
		syslog(LOG_WARNING, "bus: message of type %d from %s on the presence channel dropped", (int)m.type,
		       p->name);
		return;
	}
}

// A message posted on another server, delivered here as if posted here (live: false for one
// sent while this server was away, which only goes into the history).
void deliver_remote_chat(const BusMessage &m, bool live)
{
	char sender[LOCAL_NAME_FIELD];
	char to[LOCAL_NAME_FIELD];
	local_copy_name(sender, sizeof sender, m.user, LOCAL_NAME_FIELD - 1);
	local_copy_name(to, sizeof to, m.to, LOCAL_NAME_FIELD - 1);
	MallocPtr<MessageRecord> rec(message_record_new(m.text.size()));
	if (rec == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for a message from %s", sender);
		return;
	}
	memcpy(rec->from_user, sender, sizeof sender);
	memcpy(rec->to_user, to, sizeof to);
	rec->kind = m.kind;
	rec->reserved = 0;
	char *text = message_record_text(rec.get());
	memcpy(text, m.text.data(), m.text.size());
	if (m.kind == MESSAGE_KIND_PLAIN)
		for (size_t i = 0; i < m.text.size(); i++)
			if (text[i] == '\0')
				text[i] = '\xff';
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_message(LOCAL_PACKET_RECEIVE_MESSAGE, rec.get(), &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for a message from %s", sender);
		return;
	}
	// Only a character set on the server's list is ever converted from.
	char charset_name[BUS_CHARSET_MAX + 1];
	local_copy_name(charset_name, sizeof charset_name, m.charset, BUS_CHARSET_MAX);
	const char *charset = charset_name[0] != '\0' ? listed_charset(charset_name) : nullptr;
	bool everybody = is_everybody(m.to);
	if (live) {
		StagedPacket delivery;
		stage_packet(packet.get(), size, SEND_DELIVERY, -1, &delivery);
		deliver_locally(-1, &delivery, sender, m.to, everybody, m.kind, charset, charset);
	}
	if (everybody) {
		MessageView view = {};
		view.to_user = m.to;
		view.kind = m.kind;
		view.text = std::string_view(text, m.text.size());
		history_keep(m.when, sender, view, charset);
	}
}

void handle_action(const BusMessage &m)
{
	char user[LOCAL_NAME_FIELD];
	local_copy_name(user, sizeof user, m.user, LOCAL_NAME_FIELD - 1);
	std::string server_name(m.server);
	switch (m.type) {
	case BUS_KICK: {
		int ended = kick_user(user, m.text);
		syslog(LOG_NOTICE, "user %s kicked by uid %u on server %s: %d sessions ended here", user,
		       (unsigned int)m.admin_uid, server_name.c_str(), ended);
		return;
	}
	case BUS_MUTE: {
		int64_t left = m.when - (int64_t)time(nullptr);
		if (left > 0)
			(void)mute_user(user, (uint64_t)left);
		else
			(void)unmute_user(user);
		syslog(LOG_NOTICE, "user %s muted by uid %u on server %s until %lld", user, (unsigned int)m.admin_uid,
		       server_name.c_str(), (long long)m.when);
		return;
	}
	case BUS_UNMUTE:
		if (unmute_user(user) > 0)
			syslog(LOG_NOTICE, "user %s unmuted by uid %u on server %s", user, (unsigned int)m.admin_uid,
			       server_name.c_str());
		return;
	default:
		syslog(LOG_WARNING, "bus: message of type %d from %s on the chat channel dropped", (int)m.type,
		       server_name.c_str());
		return;
	}
}

// Reads the position from the file into *out; false when there is none yet, or it cannot be
// read. The file stays open for save_position.
bool load_position(uint64_t *out)
{
	cluster.position_fd = open(POSITION_FILE, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
	if (cluster.position_fd < 0) {
		syslog_perror("bus: %s", POSITION_FILE);
		return 0;
	}
	char text[POSITION_SIZE];
	ssize_t n = pread(cluster.position_fd, text, sizeof text, 0);
	if (n <= 0)
		return false;
	WireReader r(text, (size_t)n);
	std::string_view digits = r.get_while([](unsigned char c) { return c >= '0' && c <= '9'; });
	uint8_t end;
	uint64_t position = 0;
	bool fits = !digits.empty() && r.get_u8(&end) == 0 && end == '\n' && r.empty();
	for (char c : digits) {
		uint64_t digit = (uint64_t)(c - '0');
		fits = fits && position <= (UINT64_MAX - digit) / 10;
		position = position * 10 + digit;
	}
	if (!fits) {
		syslog(LOG_WARNING, "bus: %s holds no position; reading the stream from now on", POSITION_FILE);
		return false;
	}
	*out = position;
	return true;
}

void save_position(uint64_t sequence)
{
	if (cluster.position_fd < 0)
		return;
	char text[POSITION_SIZE + 1];
	snprintf(text, sizeof text, "%020llu\n", (unsigned long long)sequence);
	if (pwrite(cluster.position_fd, text, POSITION_SIZE, 0) != (ssize_t)POSITION_SIZE)
		syslog_perror("bus: %s", POSITION_FILE);
	else
		cluster.position_saved = true;
}

// One message; false when it is malformed.
bool handle_message(std::string_view bytes, uint8_t channel, bool live, int64_t now)
{
	BusMessage m;
	if (bus_parse_message(bytes.data(), bytes.size(), &m) < 0) {
		syslog(LOG_WARNING, "bus: malformed message of %zu bytes dropped", bytes.size());
		return false;
	}
	bus_count_received(1);
	if (m.server == bus_server_name()) {
		if (m.boot != bus_boot() && !cluster.name_clash_logged) {
			syslog(LOG_ERR, "bus: another server calls itself %s; each server needs a name of its own",
			       bus_server_name());
			cluster.name_clash_logged = true;
		}
		return true;
	}
	if (channel == BUS_CHANNEL_PRESENCE)
		handle_presence(m, now);
	else if (m.type == BUS_CHAT)
		deliver_remote_chat(m, live);
	else if (live || m.type != BUS_KICK)
		handle_action(m);
	return true;
}

void handle_payload(const BusPayload *payload, int64_t now)
{
	std::string_view bytes(reinterpret_cast<const char *>(payload->data), payload->size);
	if (payload->channel == BUS_CHANNEL_PRESENCE) {
		handle_message(bytes, BUS_CHANNEL_PRESENCE, true, now);
		return;
	}
	if (payload->sequence <= cluster.stream_sequence)
		return;	// had it already
	cluster.stream_sequence = payload->sequence;
	save_position(payload->sequence);
	// What was sent while this server was away: the history, and the mutes still in force.
	bool live = payload->sequence > bus_missed_until();
	std::string_view message;
	bool malformed = false;
	while (bus_next_batch_entry(&bytes, &message, &malformed) == 0)
		if (!handle_message(message, BUS_CHANNEL_CHAT, live, now))
			return;
	if (malformed)
		syslog(LOG_WARNING, "bus: malformed batch of %zu bytes: the rest dropped", payload->size);
}

void expire_peers(int64_t now)
{
	for (int i = 0; i < cluster.peer_count;) {
		Peer *p = &cluster.peers[i];
		if (now - p->heard_ms <= PEER_TIMEOUT_MS) {
			i++;
			continue;
		}
		syslog(LOG_WARNING, "bus: server %s not heard for %lld s; its %u sessions are gone", p->name,
		       (long long)((now - p->heard_ms) / 1000), (unsigned int)p->count);
		// Its sessions leave before it does, so that users still on it are seen as gone.
		clear_peer(p);
		cluster.peers[i] = cluster.peers[--cluster.peer_count];
	}
}

}  // namespace

int cluster_start(void)
{
	cluster.position_fd = -1;
	const char *url = getenv(BUS_URL_VARIABLE);
	if (url == nullptr || url[0] == '\0')
		return 0;
	uint64_t position = 0;
	bool resume = load_position(&position);
	cluster.stream_sequence = position;
	int r = bus_start(resume, position);
	if (r <= 0)
		return r;
	cluster.active = true;
	cluster.next_heartbeat_ms = now_ms();
	// Everybody's list, and ours (empty) for everybody.
	BusMessage ask = header(BUS_SNAPSHOT_ASK);
	send_message(ask, BUS_CHANNEL_PRESENCE);
	cluster.snapshot_due = true;
	return 0;
}

bool cluster_active(void)
{
	return cluster.active;
}

int cluster_wakeup_fd(void)
{
	return cluster.active ? bus_wakeup_fd() : -1;
}

void cluster_receive(void)
{
	int64_t now = now_ms();
	for (BusPayload *p = bus_take(); p != nullptr; p = bus_take()) {
		handle_payload(p, now);
		free(p);
	}
}

int cluster_tick(void)
{
	if (!cluster.active)
		return -1;
	int64_t now = now_ms();
	// Where reading began is where a restart goes on from, until a payload comes.
	int64_t read_after = bus_read_after();
	if (read_after >= 0 && ((uint64_t)read_after > cluster.stream_sequence || !cluster.position_saved)) {
		if ((uint64_t)read_after > cluster.stream_sequence)
			cluster.stream_sequence = (uint64_t)read_after;
		save_position(cluster.stream_sequence);
	}
	if (cluster.snapshot_due) {
		cluster.snapshot_due = false;
		send_snapshot();
	}
	if (now >= cluster.next_heartbeat_ms) {
		BusMessage m = header(BUS_HEARTBEAT);
		m.event = cluster.event;
		send_message(m, BUS_CHANNEL_PRESENCE);
		cluster.next_heartbeat_ms = now + HEARTBEAT_MS;
		expire_peers(now);
	}
	return (int)(cluster.next_heartbeat_ms - now);
}

void cluster_session_on(int fd)
{
	if (!cluster.active)
		return;
	BusSessionEntry e = local_entry(fd);
	BusMessage m = header(BUS_SESSION_ON);
	m.event = ++cluster.event;
	m.session = e.session;
	m.user = e.user;
	m.host = e.host;
	m.when = e.since;
	send_message(m, BUS_CHANNEL_PRESENCE);
}

void cluster_session_off(int fd)
{
	if (!cluster.active)
		return;
	BusMessage m = header(BUS_SESSION_OFF);
	m.event = ++cluster.event;
	m.session = (uint32_t)fd;
	send_message(m, BUS_CHANNEL_PRESENCE);
}

uint32_t cluster_user_sessions(std::string_view user)
{
	uint32_t n = 0;
	for (int i = 0; i < cluster.peer_count; i++)
		n += peer_sessions_of(&cluster.peers[i], user);
	return n;
}

void cluster_post(int64_t when, const char *sender, const MessageView &m, const char *charset)
{
	BusMessage b = header(BUS_CHAT);
	b.when = when;
	b.user = sender;
	b.to = m.to_user;
	b.kind = m.kind;
	b.charset = charset != nullptr ? charset : "";
	b.text = m.text;
	send_message(b, BUS_CHANNEL_CHAT);
}

void cluster_action(uint8_t type, uint32_t admin_uid, const char *user, std::string_view message, int64_t until)
{
	if (!cluster.active)
		return;
	BusMessage b = header(type);
	b.admin_uid = admin_uid;
	b.user = user;
	b.text = message;
	b.when = until;
	send_message(b, BUS_CHANNEL_CHAT);
}

uint32_t cluster_session_count(void)
{
	uint32_t n = 0;
	for (int i = 0; i < cluster.peer_count; i++)
		n += cluster.peers[i].count;
	return n;
}

uint32_t cluster_list_sessions(ClusterSession *out, uint32_t max)
{
	uint32_t n = 0;
	for (int i = 0; i < cluster.peer_count; i++) {
		const Peer *p = &cluster.peers[i];
		for (uint32_t j = 0; j < p->count && n < max; j++) {
			const RemoteSession *s = &p->sessions[j];
			out[n++] = ClusterSession{s->id, s->user, s->host, p->name, s->since};
		}
	}
	if (n > 1)
		qsort(out, n, sizeof *out, [](const void *a, const void *b) {
			return (int)static_cast<const ClusterSession *>(b)->id -
			       (int)static_cast<const ClusterSession *>(a)->id;
		});
	return n;
}

int cluster_server_count(void)
{
	return cluster.active ? cluster.peer_count + 1 : 0;
}
