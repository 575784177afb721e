// Fuzzes the server's handling of what one client sends, on the real connection table: socket
// pairs stand for five clients (the fuzzed one, two logged-in users with different encodings,
// one that never logs in, and one whose other end is gone), and the input is read from the
// fuzzed client's connection with get_local_packet and handed to server_handle_packet, a few
// packets per pass, as the server loop does. After every pass, every client must have received
// only whole, well-formed packets, and exactly the deliveries, user-not-found answers and lists
// that the packets of the pass called for.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>

#include "common/user-name.h"
#include "fuzz/fuzz-support.h"
#include "server/readiness.h"
#include "server/server-internal.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 15;

enum Client { FUZZED, BOB, CAROL, DAVE, ERIN, CLIENTS };
const char *const names[CLIENTS] = {"alice", "bob", "carol", "dave", "erin"};
const char *const encodings[CLIENTS] = {"UTF-8", "UTF-8", "ISO-8859-1", "", ""};

int fds[CLIENTS];	// the server's side
int peers[CLIENTS];	// the client's side; -1 once closed

// A packet a peer should receive: type, and for deliveries what it must say.
struct Expected {
	int32_t type;
	std::string from, to, text;	// receive-message
	int32_t kind;
	bool check_text;
	std::string name;		// user-not-found
	std::vector<std::pair<int32_t, std::string>> list;	// online-users: id and user
	int32_t your_id;
};
std::vector<Expected> expected[CLIENTS];

struct SlotSnapshot {
	bool recipient;
	std::string user, encoding;
	bool has_encoding;
};

SlotSnapshot snapshot(int c)
{
	int fd = fds[c];
	SlotSnapshot s;
	s.recipient = client_is_recipient(fd);
	s.user = server.slots[fd].user;
	s.has_encoding = server.slots[fd].encoding != nullptr;
	s.encoding = s.has_encoding ? server.slots[fd].encoding : "";
	return s;
}

std::string login_packet(const char *user, const char *encoding)
{
	size_t size;
	unsigned char *p = local_packet_build_login(user, "192.0.2.7 50000 22", encoding, &size);
	FUZZ_CHECK(p != nullptr);
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

// What the packet about to be handled must make the server send.
void predict(const unsigned char *packet)
{
	LocalPacketView p;
	if (local_packet_open(packet, &p) < 0)
		return;
	SlotSnapshot sender = snapshot(FUZZED);
	if (p.type == LOCAL_PACKET_POST_MESSAGE) {
		MessageView m;
		if (local_parse_message(p, &m) < 0 || sender.user.empty())
			return;
		bool everybody = m.to_user == "GLOBAL" || m.to_user == "*";
		std::string text(m.text);
		if (m.kind == MESSAGE_KIND_PLAIN)
			std::replace(text.begin(), text.end(), '\0', '\xff');
		bool delivered = false;
		for (int c = 0; c < CLIENTS; c++) {
			SlotSnapshot r = snapshot(c);
			if (!r.recipient)
				continue;
			bool addressed = everybody || r.user == m.to_user;
			delivered = delivered || addressed;
			if (!addressed && r.user != sender.user)
				continue;
			bool converted = c != FUZZED && sender.has_encoding && r.has_encoding && m.kind == MESSAGE_KIND_PLAIN &&
					 sender.encoding != r.encoding;
			Expected e{};
			e.type = LOCAL_PACKET_RECEIVE_MESSAGE;
			e.from = sender.user;
			e.to = std::string(m.to_user);
			e.text = text;
			e.kind = m.kind;
			e.check_text = !converted;
			expected[c].push_back(e);
		}
		if (!delivered && sender.recipient) {
			Expected e{};
			e.type = LOCAL_PACKET_USER_NOT_FOUND;
			e.name = std::string(m.to_user);
			expected[FUZZED].push_back(e);
		}
	} else if (p.type == LOCAL_PACKET_GET_ONLINE_USERS && p.payload.empty() &&
		   !client_has(fds[FUZZED], CLIENT_FAILED)) {
		// Answered whether or not the asker has logged in.
		Expected e{};
		e.type = LOCAL_PACKET_ONLINE_USERS;
		e.your_id = fds[FUZZED];
		for (int c = 0; c < CLIENTS; c++) {
			SlotSnapshot r = snapshot(c);
			if (r.recipient)
				e.list.emplace_back(fds[c], r.user);
		}
		std::sort(e.list.begin(), e.list.end());
		expected[FUZZED].push_back(e);
	} else if (p.type == LOCAL_PACKET_GET_HISTORY && p.payload.size() == 4 && !sender.user.empty() &&
		   !client_has(fds[FUZZED], CLIENT_FAILED)) {
		// Keeping is off here (history_init is never called): an empty answer.
		Expected e{};
		e.type = LOCAL_PACKET_HISTORY_END;
		expected[FUZZED].push_back(e);
	}
}

// An administrator's request from the fuzzed client while it has not logged in: the server would
// act on it (end the other clients' sessions, write the mutes file), which this harness does not
// predict; fuzz-admin-protocol fuzzes the parsing. From a logged-in client it is refused and
// sends nothing, as an unknown type.
bool skipped_admin_request(const unsigned char *packet)
{
	LocalPacketView p;
	return local_packet_open(packet, &p) == 0 && admin_is_request(p.type) && server.slots[fds[FUZZED]].user[0] == '\0';
}

void check_packet(const std::string &bytes, const Expected *e)
{
	LocalPacketView p;
	FUZZ_CHECK(local_packet_open(reinterpret_cast<const unsigned char *>(bytes.data()), &p) == 0);
	if (p.type == LOCAL_PACKET_USER_ONLINE || p.type == LOCAL_PACKET_USER_OFFLINE) {
		std::string_view name;
		FUZZ_CHECK(local_parse_user_name(p, &name) == 0 && name.size() < LOCAL_NAME_FIELD);
		FUZZ_CHECK(is_valid_user_name(std::string(name).c_str()));
		return;
	}
	FUZZ_CHECK(e != nullptr && p.type == e->type);
	if (p.type == LOCAL_PACKET_RECEIVE_MESSAGE) {
		MessageView m;
		FUZZ_CHECK(local_parse_message(p, &m) == 0);
		FUZZ_CHECK(m.from_user == e->from && m.to_user == e->to && m.kind == e->kind);
		FUZZ_CHECK(!e->check_text || m.text == e->text);
		FUZZ_CHECK(m.text_offset + m.text.size() + LOCAL_PACKET_RESERVED_SIZE == bytes.size());
	} else if (p.type == LOCAL_PACKET_USER_NOT_FOUND) {
		std::string_view name;
		FUZZ_CHECK(local_parse_user_name(p, &name) == 0 && name == e->name);
	} else if (p.type == LOCAL_PACKET_HISTORY_END) {
		uint32_t count = 1;
		FUZZ_CHECK(local_parse_u32(p, &count) == 0 && count == 0);
	} else {
		FUZZ_CHECK(p.type == LOCAL_PACKET_ONLINE_USERS);
		OnlineUsersView list;
		FUZZ_CHECK(local_parse_online_users(p, &list) == 0 && list.your_id == e->your_id);
		std::vector<std::pair<int32_t, std::string>> got;
		for (uint32_t i = 0; i < list.count; i++) {
			UserInfoView u;
			FUZZ_CHECK(local_online_users_entry(list, i, &u) == 0);
			got.emplace_back(u.id, std::string(u.user));
		}
		std::sort(got.begin(), got.end());
		FUZZ_CHECK(got == e->list);
	}
}

// Reads what each peer has been sent: whole packets only, each one expected (presence
// announcements aside), and nothing expected left over.
void check_peers(void)
{
	for (int c = 0; c < CLIENTS; c++) {
		if (peers[c] < 0) {
			expected[c].clear();
			continue;
		}
		std::string bytes;
		char buf[16384];
		for (;;) {
			ssize_t r = recv(peers[c], buf, sizeof buf, MSG_DONTWAIT);
			if (r <= 0) {
				// ECONNRESET: the server closed the connection with input left unread.
				FUZZ_CHECK(r == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNRESET);
				break;
			}
			bytes.append(buf, (size_t)r);
		}
		FUZZ_CHECK(c != DAVE || bytes.empty());	// never logged in: never sent anything
		size_t next = 0;
		for (const std::string &packet : fuzz_whole_local_packets(bytes)) {
			int32_t type = tt::packet_type(packet);
			bool presence = type == LOCAL_PACKET_USER_ONLINE || type == LOCAL_PACKET_USER_OFFLINE;
			check_packet(packet, presence ? nullptr : next < expected[c].size() ? &expected[c][next] : nullptr);
			if (!presence)
				next++;
		}
		FUZZ_CHECK(next == expected[c].size());
		expected[c].clear();
	}
}

void end_pass(void)
{
	server_end_pass();
	check_peers();
}

void set_up_once(void)
{
	openlog("tolvard-fuzz", LOG_PID, LOG_DAEMON);	// no LOG_PERROR: the records go to the system log
	signal(SIGPIPE, SIG_IGN);
	FUZZ_CHECK(readiness_open() == 0);
	server.listen_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);	// stands for the listening socket
	FUZZ_CHECK(server.listen_fd >= 0 && table_reserve(server.listen_fd) == 0);
	server.highest_fd = server.listen_fd;
	server.closed_in_pass = false;
}

void connect_clients(unsigned flags)
{
	for (int c = 0; c < CLIENTS; c++) {
		int sv[2];
		FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
		FUZZ_CHECK(sv[0] <= SERVER_MAX_CLIENT_FD);
		struct timeval tv = {SERVER_IO_TIMEOUT_SECONDS, 0};
		setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
		setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
		fds[c] = sv[0];
		peers[c] = sv[1];
		FUZZ_CHECK(table_reserve(sv[0]) == 0 && readiness_watch(sv[0]) == 0);
		slot_init(&server.slots[sv[0]]);
		server.slots[sv[0]].flags = CLIENT_CONNECTED;
		if (sv[0] > server.highest_fd)
			server.highest_fd = sv[0];
	}
	// Logins as their sessions send them; erin's session is gone before anything reaches it.
	for (int c : {BOB, CAROL, ERIN}) {
		std::string login = login_packet(names[c], encodings[c]);
		server_handle_packet(fds[c], reinterpret_cast<unsigned char *>(&login[0]));
	}
	if (flags & 1) {
		const char *enc = (flags & 2) ? "ISO-8859-1" : (flags & 4) ? "" : "UTF-8";
		std::string login = login_packet(names[FUZZED], enc);
		server_handle_packet(fds[FUZZED], reinterpret_cast<unsigned char *>(&login[0]));
	}
	close(peers[ERIN]);
	peers[ERIN] = -1;
	end_pass();
}

void disconnect_clients(void)
{
	for (int c = 0; c < CLIENTS; c++) {
		if (client_has(fds[c], CLIENT_CONNECTED))
			close_client(fds[c]);
	}
	end_pass();
	for (int c = 0; c < CLIENTS; c++) {
		const ClientSlot &slot = server.slots[fds[c]];
		FUZZ_CHECK(!client_has(fds[c], CLIENT_CONNECTED) && !client_has(fds[c], CLIENT_FAILED));
		FUZZ_CHECK(slot.user[0] == '\0' && slot.encoding == nullptr && slot.reader.buffer == nullptr);
		if (peers[c] >= 0)
			close(peers[c]);
	}
	FUZZ_CHECK(server.highest_fd == server.listen_fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = false;
	if (!ready) {
		set_up_once();
		ready = true;
	}
	if (size < 1 || size > MAX_INPUT)
		return 0;
	// Byte 0: whether and how the fuzzed client logs in first (bits 0-2), and how many packets
	// one pass serves (bits 4-7, plus one). The rest: what the fuzzed client sends.
	unsigned flags = data[0];
	int per_pass = 1 + (int)(flags >> 4);
	connect_clients(flags);
	int a = fds[FUZZED];
	FUZZ_CHECK(write(peers[FUZZED], data + 1, size - 1) == (ssize_t)(size - 1));
	shutdown(peers[FUZZED], SHUT_WR);	// the end of the input is the end of the stream

	int in_pass = 0;
	while (client_has(a, CLIENT_CONNECTED)) {
		GetPacketOut out = {};
		int r = get_local_packet(a, &out, &server.slots[a].reader);
		if (r == GET_PACKET_INCOMPLETE)
			continue;
		if (r == GET_PACKET_OK) {
			if (!skipped_admin_request(out.packet)) {
				predict(out.packet);
				server_handle_packet(a, out.packet);
			}
			free(out.packet);
		} else {
			close_client(a);
		}
		if (++in_pass == per_pass || !client_has(a, CLIENT_CONNECTED) || client_has(a, CLIENT_FAILED)) {
			end_pass();
			in_pass = 0;
		}
	}
	disconnect_clients();
	return 0;
}
