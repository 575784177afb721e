// What broken or hostile clients cannot do to the real server: malformed packets, unknown
// types, oversized and truncated packets, recipients whose writes fail, and a client that
// never reads.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

class ServerRobustness : public st::ServerTest {
protected:
	// True when fd becomes readable within timeout_ms.
	static bool readable(int fd, int timeout_ms)
	{
		struct pollfd pfd = {fd, POLLIN, 0};
		return poll(&pfd, 1, timeout_ms) > 0;
	}
};

// A packet with the given length field, type and body bytes (the body may disagree with both).
std::string raw_packet(uint64_t length, int32_t type, const std::string &body)
{
	std::string p(12, '\0');
	memcpy(&p[0], &length, 8);
	memcpy(&p[8], &type, 4);
	return p + body;
}

// A well-framed packet of a type around an arbitrary payload.
std::string framed(int32_t type, const std::string &payload)
{
	return raw_packet(payload.size() + 8, type, payload + std::string(4, '\0'));
}

std::string message_payload(const std::string &to, uint64_t text_length, const std::string &text)
{
	std::string p(32, '\0');
	std::string field(32, '\0');
	memcpy(&field[0], to.data(), std::min<size_t>(to.size(), 32));
	p += field;
	int32_t kind = MESSAGE_KIND_PLAIN;
	p.append(reinterpret_cast<const char *>(&kind), 4);
	p.append(4, '\0');
	p.append(reinterpret_cast<const char *>(&text_length), 8);
	return p + text;
}

TEST_F(ServerRobustness, MalformedPacketsAreDroppedAndEverybodyIsStillServed)
{
	int watcher = quiet_login("watcher");
	int mallory = quiet_login("mallory");
	int anon = connect_client();
	drain(watcher);

	const std::string host(128, '\0');
	const std::string user = std::string("eve") + std::string(29, '\0');
	struct Case {
		const char *what;
		std::string bytes;
	};
	const std::vector<Case> malformed = {
	    {"no room for the type", raw_packet(3, LOCAL_PACKET_LOGIN, "").substr(0, 11)},
	    {"type without reserved bytes", raw_packet(7, LOCAL_PACKET_POST_MESSAGE, "abc")},
	    {"login, empty", framed(LOCAL_PACKET_LOGIN, "")},
	    {"login, short", framed(LOCAL_PACKET_LOGIN, user + std::string(60, '\0'))},
	    {"login, user without NUL", framed(LOCAL_PACKET_LOGIN, std::string(32, 'u') + host + "UTF-8" + '\0')},
	    {"login, host without NUL", framed(LOCAL_PACKET_LOGIN, user + std::string(128, 'h') + "UTF-8" + '\0')},
	    {"login, encoding without NUL", framed(LOCAL_PACKET_LOGIN, user + host + "UTF-8")},
	    {"login, encoding too long", framed(LOCAL_PACKET_LOGIN, user + host + std::string(24, 'E') + '\0')},
	    {"post, empty", framed(LOCAL_PACKET_POST_MESSAGE, "")},
	    {"post, short", framed(LOCAL_PACKET_POST_MESSAGE, std::string(79, '\0'))},
	    {"post, to_user without NUL", framed(LOCAL_PACKET_POST_MESSAGE, message_payload(std::string(32, 'w'), 2, "hi"))},
	    {"post, text_length past the end", framed(LOCAL_PACKET_POST_MESSAGE, message_payload("watcher", 1000, "0123456789"))},
	    {"post, text_length one too many", framed(LOCAL_PACKET_POST_MESSAGE, message_payload("watcher", 11, "0123456789"))},
	    {"post, text_length 2^63", framed(LOCAL_PACKET_POST_MESSAGE, message_payload("watcher", 1ull << 63, "x"))},
	    {"post, text_length 2^64-1", framed(LOCAL_PACKET_POST_MESSAGE, message_payload("GLOBAL", ~0ull, "x"))},
	    {"get-online-users with a payload", framed(LOCAL_PACKET_GET_ONLINE_USERS, "x")},
	};
	const std::vector<Case> unknown = {
	    {"user-not-found", framed(LOCAL_PACKET_USER_NOT_FOUND, "eve")},
	    {"receive-message", framed(LOCAL_PACKET_RECEIVE_MESSAGE, message_payload("GLOBAL", 2, "hi"))},
	    {"online-users", framed(LOCAL_PACKET_ONLINE_USERS, std::string(8, '\xff'))},
	    {"user-online", framed(LOCAL_PACKET_USER_ONLINE, "")},
	    {"user-offline", framed(LOCAL_PACKET_USER_OFFLINE, std::string(3, 'x'))},
	    {"type 9", framed(9, "")},
	    {"type -1", framed(-1, "zz")},
	    {"type 2^31-1", framed(0x7fffffff, "")},
	};
	int sent = 0;
	for (int fd : {mallory, anon}) {
		for (const auto &c : malformed) {
			SCOPED_TRACE(c.what);
			send_raw(fd, c.bytes);
			expect_quiet(fd);	// still served, nothing sent back
			sent++;
		}
		for (const auto &c : unknown) {
			SCOPED_TRACE(c.what);
			send_raw(fd, c.bytes);
			expect_quiet(fd);
		}
	}
	EXPECT_EQ(log_count("malformed"), (size_t)sent) << log_->dump();
	EXPECT_EQ(log_count("unknown packet type"), 2 * unknown.size());
	EXPECT_EQ(log_count("client fd " + std::to_string(id_of(mallory)) + " unknown packet type 9"), 1u);
	EXPECT_TRUE(server_alive());
	// Nobody was announced, nothing delivered; and the service goes on for everyone.
	expect_quiet(watcher);
	post(mallory, "watcher", "still here");
	EXPECT_EQ(expect(watcher, LOCAL_PACKET_RECEIVE_MESSAGE).text, "still here");
	Packet list = online_list(anon);
	ASSERT_EQ(list.entries.size(), 2u);
	EXPECT_EQ(list.entries[0].user, "mallory");
}

TEST_F(ServerRobustness, BodyArrivingInPiecesIsAssembled)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain(alice);
	std::string p = tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "bob", MESSAGE_KIND_PLAIN, "in three pieces");
	send_raw(alice, p.substr(0, 20));
	expect_quiet(bob);
	send_raw(alice, p.substr(20, 50));
	expect_quiet(bob);
	send_raw(alice, p.substr(70));
	EXPECT_EQ(expect(bob, LOCAL_PACKET_RECEIVE_MESSAGE).text, "in three pieces");
}

TEST_F(ServerRobustness, BrokenFramingClosesOnlyThatConnection)
{
	int watcher = quiet_login("watcher");
	struct Case {
		std::string bytes;
		std::string record;	// after "client fd N "
		int level;
	};
	const std::vector<Case> cases = {
	    {raw_packet(2097153, LOCAL_PACKET_POST_MESSAGE, ""), "packet too large (2097153 bytes)", LOG_WARNING},
	    {raw_packet(~0ull, LOCAL_PACKET_POST_MESSAGE, ""), "packet too large (4294967295 bytes)", LOG_WARNING},
	    {std::string(5, '\x01'), "short read", LOG_NOTICE},
	    {std::string(8, '\0'), "EOF", LOG_INFO},
	    {raw_packet(100, LOCAL_PACKET_POST_MESSAGE, "only part of the body"), "EOF", LOG_INFO},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.record);
		int fd = quiet_login("victim");
		drain(watcher);
		int id = id_of(fd);
		send_raw(fd, c.bytes);
		if (c.record != "packet too large (2097153 bytes)" && c.record != "packet too large (4294967295 bytes)")
			shutdown(fd, SHUT_WR);
		std::string rest;
		EXPECT_TRUE(tt::read_to_eof(fd, 10000, &rest));	// the server closed it
		EXPECT_TRUE(wait_log("client fd " + std::to_string(id) + " " + c.record, c.level)) << log_->dump();
		EXPECT_EQ(expect(watcher, LOCAL_PACKET_USER_OFFLINE).name, "victim");
		close_client(fd);
	}
	EXPECT_TRUE(server_alive());
}

TEST_F(ServerRobustness, FailedWritesDropRecipientsInDescriptorOrder)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	int c1 = quiet_login("carol");
	int c2 = quiet_login("carol");
	int dave = quiet_login("dave");
	drain_all({alice, bob, c1, c2});
	int ia = id_of(alice), ib = id_of(bob), ic1 = id_of(c1), ic2 = id_of(c2), id = id_of(dave);
	ASSERT_TRUE(ia < ib && ib < ic1 && ic1 < ic2 && ic2 < id);
	// Writes to these now fail at once.
	for (int fd : {dave, bob, c1})
		ASSERT_EQ(shutdown(fd, SHUT_RD), 0);
	post(alice, "GLOBAL", "hello all");
	for (int fd : {alice, c2}) {
		EXPECT_EQ(expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE).text, "hello all");
		EXPECT_EQ(expect(fd, LOCAL_PACKET_USER_OFFLINE).name, "bob");
		EXPECT_EQ(expect(fd, LOCAL_PACKET_USER_OFFLINE).name, "dave");	// carol has another session
		expect_quiet(fd);
	}
	auto failures = log_texts("dispatch_message: from");
	ASSERT_EQ(failures.size(), 3u) << log_->dump();
	std::string from = "dispatch_message: from " + std::to_string(ia) + " to ";
	EXPECT_EQ(failures[0], from + std::to_string(ib) + ": write: Broken pipe (32)");
	EXPECT_EQ(failures[1], from + std::to_string(ic1) + ": write: Broken pipe (32)");
	EXPECT_EQ(failures[2], from + std::to_string(id) + ": write: Broken pipe (32)");
	auto drops = log_texts("dropped after a failed write");
	ASSERT_EQ(drops.size(), 3u);
	EXPECT_EQ(drops[0], "client fd " + std::to_string(ib) + " dropped after a failed write");
	EXPECT_EQ(drops[2], "client fd " + std::to_string(id) + " dropped after a failed write");
	EXPECT_EQ(log_count("user carol logout fd " + std::to_string(ic1) + " dup 1"), 1u);
	EXPECT_EQ(log_count("user dave logout fd " + std::to_string(id) + " dup 0"), 1u);
	Packet list = online_list(alice);
	ASSERT_EQ(list.entries.size(), 2u);
	EXPECT_EQ(list.entries[0].id, ic2);
	EXPECT_EQ(list.entries[1].id, ia);
}

TEST_F(ServerRobustness, ClientThatNeverReadsIsDroppedAndNobodyElseWaitsForIt)
{
	int stalled = quiet_login("stalled");
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	int idle = connect_client();	// connected, silent: never timed out
	drain_all({stalled, alice});
	int is = id_of(stalled);
	// From here on the stalled client reads nothing.
	const std::string chunk(32 * 1024, 'z');
	bool offline = false;
	int posted = 0;
	for (; posted < 2000 && !offline; posted++) {
		std::string text = std::to_string(posted) + ":" + chunk;
		post(alice, "GLOBAL", text);
		std::vector<Packet> got = next_each({alice, bob});
		for (const Packet &p : got) {
			ASSERT_TRUE(p.ok) << "message " << posted << " lost\n" << log_->dump();
			ASSERT_EQ(p.type, LOCAL_PACKET_RECEIVE_MESSAGE);
			ASSERT_EQ(p.text, text);
		}
		// The drop follows the delivery of the message in hand, before the next request.
		send_raw(alice, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
		Packet p = next(alice);
		if (p.type == LOCAL_PACKET_USER_OFFLINE) {
			EXPECT_EQ(p.name, "stalled");
			EXPECT_EQ(expect(bob, LOCAL_PACKET_USER_OFFLINE).name, "stalled");
			p = next(alice);
			offline = true;
		}
		ASSERT_EQ(p.type, LOCAL_PACKET_ONLINE_USERS) << log_->dump();
	}
	ASSERT_TRUE(offline) << "never dropped after " << posted << " messages\n" << log_->dump();
	EXPECT_GT(posted, 1);
	// Later messages cost nothing more.
	for (int i = 0; i < 5; i++) {
		post(alice, "GLOBAL", "after " + std::to_string(i));
		for (const Packet &p : next_each({alice, bob}))
			EXPECT_EQ(p.text, "after " + std::to_string(i));
	}
	// One send time-out in all: exactly one failed write to it.
	auto failures = log_texts(" to " + std::to_string(is) + ": write");
	ASSERT_EQ(failures.size(), 1u) << log_->dump();
	EXPECT_EQ(failures[0], "dispatch_message: from " + std::to_string(id_of(alice)) + " to " + std::to_string(is) +
				   ": write: Resource temporarily unavailable (11)");
	EXPECT_EQ(log_count("user stalled logout fd " + std::to_string(is) + " dup 0"), 1u);

	// What the stalled client got: whole packets, then at most a cut-off one, then the end.
	std::string stream;
	EXPECT_TRUE(tt::read_to_eof(stalled, 20000, &stream));
	size_t tail = 0;
	std::vector<Packet> packets = st::whole_packets(stream, &tail);
	ASSERT_FALSE(packets.empty());
	for (size_t i = 0; i < packets.size(); i++) {
		ASSERT_TRUE(packets[i].ok) << "packet " << i;
		EXPECT_EQ(packets[i].type, LOCAL_PACKET_RECEIVE_MESSAGE);
		EXPECT_EQ(packets[i].text, std::to_string(i) + ":" + chunk);
	}
	EXPECT_LT(packets.size(), (size_t)posted);

	// The silent client is still connected and served.
	struct pollfd pfd = {idle, POLLIN, 0};
	EXPECT_EQ(poll(&pfd, 1, 0), 0);
	Packet list = online_list(idle);
	ASSERT_EQ(list.entries.size(), 2u);
	EXPECT_EQ(log_count("client fd " + std::to_string(list.your_id) + " EOF"), 0u);
}

// The send buffer the kernel gives the server's connections.
long socket_send_buffer()
{
	long size = 0;
	FILE *f = fopen("/proc/sys/net/core/wmem_default", "r");
	if (f != nullptr) {
		if (fscanf(f, "%ld", &size) != 1)
			size = 0;
		fclose(f);
	}
	return size;
}

TEST_F(ServerRobustness, LargePostToManyStalledSessionsHoldsTheOthersUpOnlyOnce)
{
	// Sessions that never read, served before everybody else in each pass: as many as one user
	// may have at once.
	constexpr int STALLED = 16;
	std::vector<int> stalled, ids;
	for (int i = 0; i < STALLED; i++) {
		stalled.push_back(quiet_login("stalled"));
		ids.push_back(id_of(stalled.back()));
	}
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	int carol = quiet_login("carol");
	drain_all({alice, bob});
	// Larger than a connection's socket buffer: none of them can take it all.
	size_t size = std::max<size_t>(300000, (size_t)socket_send_buffer() + 65536);
	ASSERT_LE(size, LOCAL_MESSAGE_TEXT_MAX);
	std::string big(size, 'p');
	post(alice, "GLOBAL", big);
	// Each stalled session waited for on its own would hold everybody up far longer.
	const int bound = tt::scaled_ms(15000);
	std::vector<Packet> got = next_each({alice, bob, carol}, bound);
	for (const Packet &p : got) {
		ASSERT_TRUE(p.ok) << "the post did not arrive\n" << log_->dump();
		EXPECT_EQ(p.from, "alice");
		EXPECT_TRUE(p.text == big) << "the post arrived altered";
	}
	for (int fd : {alice, bob, carol})
		EXPECT_EQ(expect(fd, LOCAL_PACKET_USER_OFFLINE, bound).name, "stalled") << log_->dump();
	post(bob, "carol", "ping");
	EXPECT_EQ(expect(carol, LOCAL_PACKET_RECEIVE_MESSAGE, bound).text, "ping");
	post(carol, "bob", "pong");
	EXPECT_EQ(expect(bob, LOCAL_PACKET_RECEIVE_MESSAGE, bound).text, "ping");	// its own copy
	EXPECT_EQ(expect(bob, LOCAL_PACKET_RECEIVE_MESSAGE, bound).text, "pong");
	EXPECT_EQ(expect(carol, LOCAL_PACKET_RECEIVE_MESSAGE).text, "pong");
	// Each stalled session: one failed write, dropped, logged out; whole packets or nothing.
	int ia = id_of(alice);
	for (size_t i = 0; i < stalled.size(); i++) {
		std::string id = std::to_string(ids[i]);
		EXPECT_EQ(log_texts(" to " + id + ": write"),
			  std::vector<std::string>{"dispatch_message: from " + std::to_string(ia) + " to " + id +
						   ": write: Resource temporarily unavailable (11)"});
		EXPECT_EQ(log_count("client fd " + id + " dropped after a failed write"), 1u);
		EXPECT_EQ(log_count("user stalled logout fd " + id + " dup "), 1u);
		std::string stream;
		EXPECT_TRUE(tt::read_to_eof(stalled[i], 20000, &stream));
		size_t tail = 0;
		std::vector<Packet> packets = st::whole_packets(stream, &tail);
		for (const Packet &p : packets)
			EXPECT_EQ(p.type, LOCAL_PACKET_USER_ONLINE);	// the logins after its own
		EXPECT_LT(tail, size + 96);
	}
	EXPECT_EQ(log_count("user stalled logout fd " + std::to_string(ids.back()) + " dup 0"), 1u);
	for (int fd : {alice, bob, carol})
		expect_quiet(fd);
}

TEST_F(ServerRobustness, RunningOutOfDescriptorsIsLoggedAndOvercome)
{
	restart_server({}, "8:8");
	std::vector<int> served;
	int waiting = -1;
	for (int i = 0; i < 10 && waiting < 0; i++) {
		int fd = connect_client();
		send_raw(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
		for (int tries = 0; tries < 2000; tries++) {
			if (readable(fd, 5)) {
				expect(fd, LOCAL_PACKET_ONLINE_USERS);
				served.push_back(fd);
				break;
			}
			if (log_->contains("accept: Too many open files (24)", LOG_ERR)) {
				waiting = fd;
				break;
			}
		}
	}
	ASSERT_GE(waiting, 0) << log_->dump();
	EXPECT_FALSE(served.empty());
	// A descriptor comes free: the waiting connection is accepted and answered.
	close_client(served.front());
	expect(waiting, LOCAL_PACKET_ONLINE_USERS);
	EXPECT_TRUE(server_alive());
}

TEST_F(ServerRobustness, TheServerRaisesItsSoftDescriptorLimitToTheHardLimit)
{
	// Started with a soft limit of 1024 and descriptors up to 1100 taken: only the raise lets
	// it accept anybody.
	struct rlimit rl;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
	if (rl.rlim_max < 2048)
		GTEST_SKIP() << "the hard descriptor limit is " << rl.rlim_max;
	restart_server({}, "1024:" + std::to_string(rl.rlim_max), 1100);
	int highest = -1;
	for (int i = 0; i < 64 && highest <= 1100; i++) {
		int fd = connect_client();
		ASSERT_GE(fd, 0);
		Packet list = online_list(fd);
		if (!list.ok)
			break;
		highest = list.your_id;
	}
	EXPECT_GT(highest, 1100) << log_->dump();
	EXPECT_EQ(log_count("Too many open files"), 0u);
}

TEST_F(ServerRobustness, ClientsUpToTheLastUsableDescriptorAreServedAndTheNextIsRefused)
{
	// The server inherits descriptors up to just below the last usable one.
	constexpr int last_usable = 65535;
	constexpr int limit = last_usable + 4096;
	if (!tt::raise_descriptor_limit(limit))
		GTEST_SKIP() << "the hard descriptor limit cannot be raised to " << limit << ": " << strerror(errno);
	restart_server({}, std::to_string(limit) + ":" + std::to_string(limit), last_usable - 8);
	std::vector<int> clients;
	int refused = -1;
	for (int i = 0; i < 256 && refused < 0; i++) {
		int fd = connect_client();
		ASSERT_GE(fd, 0);
		send_raw(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
		Packet p = next(fd);
		if (p.ok)
			clients.push_back(fd);
		else
			refused = fd;
	}
	ASSERT_GE(refused, 0) << log_->dump();
	EXPECT_TRUE(wait_log("cannot add fd " + std::to_string(last_usable + 1) + " to set, too many clients",
			     LOG_WARNING))
	    << log_->dump();
	// Every connection it has is still served, the one on the last usable descriptor included.
	ASSERT_FALSE(clients.empty());
	EXPECT_EQ(online_list(clients.front()).your_id, 1);
	EXPECT_EQ(online_list(clients.back()).your_id, last_usable);
	EXPECT_TRUE(server_alive());
}

}  // namespace
