// Three real servers, each as its own account with its own home, joined over a real
// three-node NATS cluster on loopback: raw clients and API sessions on each, routing,
// conversion, presence and the online list across servers, the administrator's actions, and
// the faults: a server killed, a NATS node killed while messages flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <syslog.h>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "api/tolvar-api-client.h"
#include "protocol/local-protocol.h"
#include "tests/client/session-harness.h"
#include "testing/nats.h"
#include "testing/support.h"

namespace {

using tt::DecodedPacket;

constexpr int SERVERS = 3;
// How long a server that dies may still be counted online elsewhere.
constexpr int OFFLINE_WITHIN_MS = 15000;

std::string name_of(int i)
{
	return "s" + std::to_string(i + 1);
}

class BusTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_TRUE(tt::nats_available()) << "nats-server is not installed (scripts/install-deps.sh)";
		signal(SIGPIPE, SIG_IGN);	// a session the server dropped fails the test, not the process
		log_ = &tt::Syslog::instance();
		ASSERT_TRUE(tt::start_nats_cluster(3, &nats_)) << tt::nats_logs(nats_);
		// The first runs as the service account, which tolvaradm works on.
		for (int i = 0; i < SERVERS; i++) {
			std::string account = i == 0 ? "tolvar" : tt::unique_account_name("tvb" + std::to_string(i + 1));
			ASSERT_TRUE(tt::create_account(account, &accounts_[i]));
			start(i);
		}
		wait_joined();
	}

	void TearDown() override
	{
		for (int fd : fds_)
			close(fd);
		for (int i = 0; i < SERVERS; i++) {
			tt::stop_server(&servers_[i]);
			tt::remove_account(accounts_[i]);
		}
		if (HasFailure())
			printf("%s\n%s\n", log_->dump().c_str(), tt::nats_logs(nats_).c_str());
		tt::stop_nats_cluster(&nats_);
	}

	// Server i, given the NATS nodes' URLs (all of them when empty; else only those, none
	// that the cluster announces).
	void start(int i, const std::string &urls = std::string())
	{
		std::vector<std::string> env = {"TOLVAR_NATS_URL=" + (urls.empty() ? nats_.urls() : urls),
						"TOLVAR_SERVER_NAME=" + name_of(i)};
		if (!urls.empty())
			env.push_back("TOLVAR_NATS_DISCOVERY=0");
		ASSERT_TRUE(tt::start_server(accounts_[i], &servers_[i], std::string(), env));
	}

	// Waits until every server reads the stream and has heard every other.
	void wait_joined()
	{
		ASSERT_TRUE(wait_until([&] { return log_->count("is ready") >= (size_t)ready_records_ + SERVERS; }, 30000))
		    << "the servers never read the stream";
		ready_records_ = (int)log_->count("is ready");
		for (int i = 0; i < SERVERS; i++) {
			for (int j = 0; j < SERVERS; j++) {
				if (i != j) {
					ASSERT_TRUE(wait_until([&] { return heard(i, j); }, 15000))
					    << name_of(i) << " never heard " << name_of(j);
				}
			}
		}
	}

	// Whether server i has logged that it heard server j since it started.
	bool heard(int i, int j)
	{
		for (const tt::LogRecord &r : log_->records())
			if (r.pid == servers_[i].proc.pid && r.text == "bus: server " + name_of(j) + " joined")
				return true;
		return false;
	}

	static bool wait_until(const std::function<bool()> &done, int timeout_ms)
	{
		for (int waited = 0; waited < tt::scaled_ms(timeout_ms); waited += 50) {
			if (done())
				return true;
			usleep(50 * 1000);
		}
		return done();
	}

	int login(int server, const std::string &user, const std::string &encoding = "UTF-8",
		  const std::string &host = "192.0.2.7")
	{
		int fd = tt::connect_socket(servers_[server].socket_path);
		EXPECT_GE(fd, 0);
		fds_.push_back(fd);
		EXPECT_TRUE(tt::write_all(fd, tt::login_packet(user, host, encoding)));
		return fd;
	}

	void post(int fd, const std::string &to, const std::string &text)
	{
		ASSERT_TRUE(tt::write_all(fd, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", to, MESSAGE_KIND_PLAIN, text)));
	}

	static DecodedPacket next(int fd, int timeout_ms = 10000)
	{
		return tt::decode_packet(tt::read_local_packet(fd, tt::scaled_ms(timeout_ms)));
	}

	// Reads fd until a packet of type (and, when given, for name) arrives; the others go to
	// *skipped when it is given. Empty raw bytes: nothing came in time.
	static DecodedPacket until(int fd, int32_t type, const std::string &name = std::string(),
				   int timeout_ms = 10000, std::vector<DecodedPacket> *skipped = nullptr)
	{
		for (;;) {
			DecodedPacket p = next(fd, timeout_ms);
			if (p.raw.empty() || (p.type == type && (name.empty() || p.name == name || p.from == name)))
				return p;
			if (skipped != nullptr)
				skipped->push_back(p);
		}
	}

	DecodedPacket online_list(int fd)
	{
		EXPECT_TRUE(tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)));
		return until(fd, LOCAL_PACKET_ONLINE_USERS);
	}

	// Waits until the online list on fd has count sessions.
	DecodedPacket wait_list(int fd, size_t count)
	{
		DecodedPacket list;
		wait_until(
		    [&] {
			    list = online_list(fd);
			    return list.entries.size() == count;
		    },
		    15000);
		return list;
	}

	struct AdmResult {
		int code = -1;
		std::string out, err;
	};

	// tolvaradm run as the service account, on the first server.
	AdmResult adm(const std::vector<std::string> &args)
	{
		tt::Spec s;
		s.argv = {tt::tolvaradm_path()};
		s.argv.insert(s.argv.end(), args.begin(), args.end());
		s.env = {"PATH=/usr/bin:/bin", "HOME=/nonexistent", "LC_ALL=C.UTF-8"};
		s.uid = accounts_[0].uid;
		s.gid = accounts_[0].gid;
		AdmResult r;
		r.code = tt::run(s, &r.out, &r.err);
		return r;
	}

	// The texts of the history that fd's server sends it (the last ten).
	std::vector<std::string> history_of(int fd)
	{
		std::vector<std::string> texts;
		if (!tt::write_all(fd, tt::local_packet(LOCAL_PACKET_GET_HISTORY, std::string("\x0a\0\0\0", 4))))
			return texts;
		for (;;) {
			DecodedPacket p = next(fd);
			if (p.raw.empty() || p.type == LOCAL_PACKET_HISTORY_END)
				return texts;
			if (p.type == LOCAL_PACKET_HISTORY_MESSAGE)
				texts.push_back(p.text);
		}
	}

	tt::Syslog *log_ = nullptr;
	tt::NatsCluster nats_;
	tt::Account accounts_[SERVERS];
	tt::Server servers_[SERVERS];
	std::vector<int> fds_;
	int ready_records_ = 0;
};

// Messages to everybody and to one user, converted by the recipient's own server; presence
// and duplicates counted across servers; the online list of every server's sessions.
TEST_F(BusTest, RoutingConversionAndPresenceAcrossServers)
{
	// Each logs in once the one before is in: those already in hear of every later one.
	int alice = login(0, "alice", "UTF-8", "alice.example");
	EXPECT_TRUE(until(alice, LOCAL_PACKET_USER_ONLINE, "alice").ok);
	int bob = login(1, "bob", "ISO-8859-1", "bob.example");
	EXPECT_TRUE(until(bob, LOCAL_PACKET_USER_ONLINE, "bob").ok);
	EXPECT_TRUE(until(alice, LOCAL_PACKET_USER_ONLINE, "bob").ok) << "alice never saw bob come";
	int carol = login(2, "carol", "UTF-8", "carol.example");
	EXPECT_TRUE(until(carol, LOCAL_PACKET_USER_ONLINE, "carol").ok);
	EXPECT_TRUE(until(alice, LOCAL_PACKET_USER_ONLINE, "carol").ok);
	EXPECT_TRUE(until(bob, LOCAL_PACKET_USER_ONLINE, "carol").ok);

	// Every server lists all three, each with its SSH client's host; ids are distinct.
	DecodedPacket list = wait_list(carol, 3);
	ASSERT_EQ(list.entries.size(), 3u);
	std::map<std::string, std::string> hosts;
	std::set<int32_t> ids;
	for (const auto &e : list.entries) {
		hosts[e.user] = e.host;
		ids.insert(e.id);
		EXPECT_TRUE(e.id >= 0 && e.id <= 65535);
	}
	EXPECT_EQ(ids.size(), 3u);
	EXPECT_EQ(hosts["alice"], "alice.example");
	EXPECT_EQ(hosts["bob"], "bob.example");
	// The same session keeps its id from one list to the next.
	DecodedPacket again = online_list(carol);
	ASSERT_EQ(again.entries.size(), 3u);
	for (size_t i = 0; i < 3; i++)
		EXPECT_EQ(again.entries[i].id, list.entries[i].id);

	// To everybody, converted for bob's Latin-1 session by his server.
	post(alice, "GLOBAL", "gr\xc3\xbc\xc3\x9f dich");
	DecodedPacket m = until(bob, LOCAL_PACKET_RECEIVE_MESSAGE);
	EXPECT_EQ(m.from, "alice");
	EXPECT_EQ(m.text, "gr\xfc\xdf dich");
	m = until(carol, LOCAL_PACKET_RECEIVE_MESSAGE);
	EXPECT_EQ(m.text, "gr\xc3\xbc\xc3\x9f dich");
	EXPECT_EQ(until(alice, LOCAL_PACKET_RECEIVE_MESSAGE).text, "gr\xc3\xbc\xc3\x9f dich");

	// A second session of alice elsewhere: nobody hears her come again, and it gets her copy
	// of a private message she sends from the first.
	int alice2 = login(2, "alice", "UTF-8", "alice2.example");
	post(alice, "bob", "just for bob");
	EXPECT_EQ(until(bob, LOCAL_PACKET_RECEIVE_MESSAGE).text, "just for bob");
	std::vector<DecodedPacket> skipped;
	m = until(alice2, LOCAL_PACKET_RECEIVE_MESSAGE, "", 10000, &skipped);
	EXPECT_EQ(m.text, "just for bob");
	EXPECT_EQ(m.to, "bob");
	EXPECT_EQ(until(alice, LOCAL_PACKET_RECEIVE_MESSAGE).text, "just for bob");
	post(carol, "GLOBAL", "marker");
	skipped.clear();
	EXPECT_EQ(until(bob, LOCAL_PACKET_RECEIVE_MESSAGE, "", 10000, &skipped).text, "marker");
	for (const auto &p : skipped)
		EXPECT_NE(p.type, LOCAL_PACKET_USER_ONLINE) << "alice's second session was announced";

	// Nobody of that name on any server; the sender hears it, nobody else gets anything.
	post(carol, "nobody", "hello?");
	EXPECT_EQ(until(carol, LOCAL_PACKET_USER_NOT_FOUND).name, "nobody");

	// Order from one sender, at every recipient on every server.
	for (int i = 0; i < 200; i++)
		post(bob, "GLOBAL", "n" + std::to_string(i));
	for (int fd : {alice, carol, alice2}) {
		int expected = 0;
		while (expected < 200) {
			DecodedPacket p = until(fd, LOCAL_PACKET_RECEIVE_MESSAGE, "bob");
			ASSERT_TRUE(p.ok) << "after n" << expected - 1;
			ASSERT_EQ(p.text, "n" + std::to_string(expected));
			expected++;
		}
	}

	// alice leaves one server: still online; leaves the other: offline everywhere.
	close(alice);
	fds_.erase(std::find(fds_.begin(), fds_.end(), alice));
	post(carol, "GLOBAL", "marker 2");
	skipped.clear();
	EXPECT_EQ(until(bob, LOCAL_PACKET_RECEIVE_MESSAGE, "carol", 10000, &skipped).text, "marker 2");
	for (const auto &p : skipped)
		EXPECT_NE(p.type, LOCAL_PACKET_USER_OFFLINE) << "alice went offline with a session left";
	close(alice2);
	fds_.erase(std::find(fds_.begin(), fds_.end(), alice2));
	EXPECT_TRUE(until(bob, LOCAL_PACKET_USER_OFFLINE, "alice").ok);
	EXPECT_EQ(wait_list(bob, 2).entries.size(), 2u);
}

// A real API session on one server talks with raw clients on the others; history is the same
// on every server.
TEST_F(BusTest, ApiSessionsAndHistoryAcrossServers)
{
	tt::Process api;
	ASSERT_TRUE(st::start_session(accounts_[1], "robot", tt::ssh_env(accounts_[1], "api"), &api));
	ASSERT_TRUE(st::api_handshake(api));
	int dave = login(0, "dave");
	EXPECT_EQ(wait_list(dave, 2).entries.size(), 2u);
	// The program learns that dave came before it writes to him.
	std::string state;
	while (state.find("dave") == std::string::npos)
		ASSERT_TRUE(st::api_read_type(api.out, TOLVAR_API_USER_STATE, &state, tt::scaled_ms(10000)));
	ASSERT_TRUE(tt::write_all(api.in, st::api_send("dave", TOLVAR_API_KIND_PLAIN, "beep to dave")));
	DecodedPacket m = until(dave, LOCAL_PACKET_RECEIVE_MESSAGE);
	EXPECT_EQ(m.from, "robot");
	EXPECT_EQ(m.text, "beep to dave");
	post(dave, "GLOBAL", "hello robot");
	std::string packet;
	while (packet.find("hello robot") == std::string::npos)
		ASSERT_TRUE(st::api_read_type(api.out, TOLVAR_API_RECEIVE_MESSAGE, &packet, tt::scaled_ms(10000)));

	// Each server keeps the messages to everybody, wherever they were posted.
	post(dave, "GLOBAL", "for the record");
	int erin = login(2, "erin");
	std::vector<std::string> wanted = {"hello robot", "for the record"};
	EXPECT_TRUE(wait_until([&] { return history_of(erin) == wanted; }, 10000));
}

// The administrator on one server kicks and mutes users on the others, and sees every
// server's sessions.
TEST_F(BusTest, AdministrationActsOnEveryServer)
{
	int frank = login(0, "frank");
	int gina = login(2, "gina", "UTF-8", "gina.example");
	EXPECT_EQ(wait_list(frank, 2).entries.size(), 2u);

	auto who = adm({"who", "-t"});
	ASSERT_EQ(who.code, 0) << who.err;
	EXPECT_NE(who.out.find("\tgina\tgina.example\t-\t"), std::string::npos) << who.out;
	EXPECT_NE(who.out.find("\ts3\n"), std::string::npos) << who.out;
	EXPECT_NE(who.out.find("\ts1\n"), std::string::npos) << who.out;
	auto stats = adm({"stats"});
	ASSERT_EQ(stats.code, 0) << stats.err;
	EXPECT_NE(stats.out.find("servers                              3\n"), std::string::npos) << stats.out;
	EXPECT_NE(stats.out.find("sessions on s3                       1\n"), std::string::npos) << stats.out;

	// The mute reaches gina's server: her posts are dropped there, and she is told.
	auto mute = adm({"mute", "gina", "10m"});
	ASSERT_EQ(mute.code, 0) << mute.err;
	EXPECT_TRUE(wait_until(
	    [&] {
		    post(gina, "GLOBAL", "can anybody hear me");
		    return until(gina, LOCAL_PACKET_MUTED, "", 1000).type == LOCAL_PACKET_MUTED;
	    },
	    10000));
	ASSERT_EQ(adm({"unmute", "gina"}).code, 0);
	EXPECT_TRUE(wait_until(
	    [&] {
		    post(gina, "GLOBAL", "back again");
		    return until(frank, LOCAL_PACKET_RECEIVE_MESSAGE, "gina", 1000).text == "back again";
	    },
	    10000));

	auto kick = adm({"kick", "gina", "enough"});
	EXPECT_EQ(kick.code, 0) << kick.err;
	EXPECT_EQ(until(gina, LOCAL_PACKET_KICKED).type, LOCAL_PACKET_KICKED);
	EXPECT_TRUE(next(gina, 5000).raw.empty()) << "the kicked session stayed open";
	EXPECT_TRUE(until(frank, LOCAL_PACKET_USER_OFFLINE, "gina").ok);
}

// kill -9 of one server: its users go offline elsewhere in time, unless they have sessions
// elsewhere, and come back after a restart.
TEST_F(BusTest, KilledServerUsersGoOfflineAndComeBack)
{
	int hank = login(0, "hank");
	int ivy = login(1, "ivy");
	int ivy2 = login(2, "ivy");
	int jack = login(1, "jack");
	(void)ivy;
	ASSERT_EQ(wait_list(hank, 4).entries.size(), 4u);
	(void)jack;

	servers_[1].proc.kill_now(SIGKILL);
	ASSERT_TRUE(servers_[1].proc.wait(5000));
	std::vector<DecodedPacket> skipped;
	DecodedPacket off = until(hank, LOCAL_PACKET_USER_OFFLINE, "jack", OFFLINE_WITHIN_MS, &skipped);
	EXPECT_TRUE(off.ok) << "jack still online " << OFFLINE_WITHIN_MS << " ms after his server died";
	for (const auto &p : skipped)
		EXPECT_FALSE(p.type == LOCAL_PACKET_USER_OFFLINE && p.name == "ivy") << "ivy has a session left";
	ASSERT_EQ(wait_list(ivy2, 2).entries.size(), 2u);
	// Posted while ivy's first server is down: it finds it in its history when it is back.
	post(hank, "GLOBAL", "while you were away");

	start(1);
	int jack2 = login(1, "jack");
	EXPECT_TRUE(until(hank, LOCAL_PACKET_USER_ONLINE, "jack", 15000).ok);
	EXPECT_EQ(wait_list(jack2, 3).entries.size(), 3u);
	post(jack2, "hank", "back");
	EXPECT_EQ(until(hank, LOCAL_PACKET_RECEIVE_MESSAGE, "", 15000).text, "back");
	EXPECT_EQ(history_of(jack2), std::vector<std::string>{"while you were away"});
}

// One NATS node killed and restarted while every server posts: every session connected
// throughout gets every message from the other servers once, in each sender's order.
TEST_F(BusTest, NatsNodeDiesWhileMessagesFlow)
{
	constexpr int PER_SENDER = 500;
	int senders[SERVERS], readers[SERVERS];
	for (int i = 0; i < SERVERS; i++) {
		senders[i] = login(i, "poster" + std::to_string(i + 1));
		readers[i] = login(i, "reader" + std::to_string(i + 1));
	}
	ASSERT_EQ(wait_list(readers[0], 2 * SERVERS).entries.size(), (size_t)(2 * SERVERS));
	// Everybody reads while the posts go out, so that no session falls behind and is dropped.
	std::vector<std::thread> reading;
	std::vector<std::vector<DecodedPacket>> received(SERVERS);
	for (int r = 0; r < SERVERS; r++) {
		reading.emplace_back([&, r] {
			for (size_t got = 0; got < (size_t)(SERVERS * PER_SENDER);) {
				DecodedPacket p = until(readers[r], LOCAL_PACKET_RECEIVE_MESSAGE, "", 30000);
				if (p.raw.empty())
					return;
				received[r].push_back(p);
				got++;
			}
		});
		reading.emplace_back([&, r] {
			while (!next(senders[r], 60000).raw.empty()) {
			}
		});
	}
	std::thread posting([&] {
		for (int n = 0; n < PER_SENDER; n++) {
			for (int i = 0; i < SERVERS; i++)
				post(senders[i], "GLOBAL", std::to_string(n));
			usleep(10 * 1000);
		}
	});
	// Two nodes in turn, so that some server's connection and the stream's leader are hit.
	// (Nodes are restarted by the thread that started them.)
	for (size_t node = 0; node < 2; node++) {
		usleep(500 * 1000);
		tt::kill_nats_node(&nats_, node);
		usleep(1500 * 1000);
		EXPECT_TRUE(tt::restart_nats_node(&nats_, node)) << tt::nats_logs(nats_);
	}
	posting.join();
	for (int r = 0; r < SERVERS; r++) {
		reading[2 * r].join();
		std::map<std::string, int> next_of;
		for (const DecodedPacket &p : received[r]) {
			int &expected = next_of[p.from];
			ASSERT_EQ(p.text, std::to_string(expected)) << "from " << p.from << " at " << name_of(r);
			expected++;
		}
		for (int i = 0; i < SERVERS; i++)
			EXPECT_EQ(next_of["poster" + std::to_string(i + 1)], PER_SENDER) << "at " << name_of(r);
	}
	EXPECT_GE(log_->count("bus: connection lost"), 1u) << "no server lost its NATS node";
	// Nothing twice: no message after the last.
	post(senders[0], "GLOBAL", "end");
	for (int r = 0; r < SERVERS; r++)
		EXPECT_EQ(until(readers[r], LOCAL_PACKET_RECEIVE_MESSAGE, "", 20000).text, "end");
	for (int i = 0; i < SERVERS; i++)
		shutdown(senders[i], SHUT_RDWR);
	for (int r = 0; r < SERVERS; r++)
		reading[2 * r + 1].join();
}

// A server whose only NATS node goes: its own sessions chat on, the others see its users go
// and come back, and what was posted meanwhile reaches them, in order.
TEST_F(BusTest, ServerThatLosesTheBusChatsOnAndCatchesUp)
{
	tt::stop_server(&servers_[0]);
	start(0, nats_.url(0));
	int kate = login(0, "kate");
	int liam = login(0, "liam");
	int mia = login(1, "mia");
	EXPECT_TRUE(until(mia, LOCAL_PACKET_USER_ONLINE, "liam", 15000).ok);

	tt::kill_nats_node(&nats_, 0);
	ASSERT_TRUE(log_->wait_for("bus: connection lost", LOG_WARNING, tt::scaled_ms(10000)));
	for (int i = 0; i < 5; i++)
		post(kate, "GLOBAL", "meanwhile " + std::to_string(i));
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(until(liam, LOCAL_PACKET_RECEIVE_MESSAGE, "kate").text, "meanwhile " + std::to_string(i));
	EXPECT_TRUE(until(mia, LOCAL_PACKET_USER_OFFLINE, "kate", OFFLINE_WITHIN_MS).ok);

	// Presence and messages travel apart: the messages may come before kate is back.
	ASSERT_TRUE(tt::restart_nats_node(&nats_, 0)) << tt::nats_logs(nats_);
	std::vector<DecodedPacket> before;
	EXPECT_TRUE(until(mia, LOCAL_PACKET_USER_ONLINE, "kate", 20000, &before).ok);
	std::vector<std::string> texts;
	for (const DecodedPacket &p : before)
		if (p.type == LOCAL_PACKET_RECEIVE_MESSAGE)
			texts.push_back(p.text);
	while (texts.size() < 5) {
		DecodedPacket p = until(mia, LOCAL_PACKET_RECEIVE_MESSAGE, "kate", 30000);
		ASSERT_FALSE(p.raw.empty()) << texts.size() << " messages came";
		texts.push_back(p.text);
	}
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(texts[i], "meanwhile " + std::to_string(i));
	EXPECT_EQ(wait_list(mia, 3).entries.size(), 3u);
}

}  // namespace
