// The kept conversation of the real server: what is kept and sent on request, across a restart,
// from a damaged file, and converted for the asking session.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <iterator>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

class ServerHistory : public st::ServerTest {
protected:
	// Asks for at most max messages on fd; returns them and checks the end packet's count.
	std::vector<Packet> history(int fd, uint32_t max = 0)
	{
		std::string payload(4, '\0');
		memcpy(&payload[0], &max, 4);
		std::string request(20, '\0');
		uint64_t length = 12;
		int32_t type = LOCAL_PACKET_GET_HISTORY;
		memcpy(&request[0], &length, 8);
		memcpy(&request[8], &type, 4);
		memcpy(&request[12], payload.data(), 4);
		send_raw(fd, request);
		std::vector<Packet> got;
		for (;;) {
			Packet p = next(fd);
			EXPECT_TRUE(p.ok) << log_->dump();
			if (!p.ok)
				return got;
			if (p.type == LOCAL_PACKET_HISTORY_END) {
				EXPECT_EQ(p.count, got.size());
				return got;
			}
			EXPECT_EQ(p.type, LOCAL_PACKET_HISTORY_MESSAGE);
			got.push_back(p);
		}
	}

	std::string history_file() { return account_.home + "/history"; }

	std::string read_file(const std::string &path)
	{
		std::ifstream in(path, std::ios::binary);
		return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	}

	// Posts texts to everybody from fd and waits until fd has its own copies back.
	void say_all(int fd, const std::vector<std::string> &texts, const std::string &to = "GLOBAL")
	{
		for (const std::string &t : texts)
			post(fd, to, t);
		for (size_t i = 0; i < texts.size(); i++)
			expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE);
	}
};

TEST_F(ServerHistory, EarlierMessagesToEverybodyComeOldestFirstWithTheirTimes)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain(alice);
	int64_t before = (int64_t)time(nullptr);
	// Each waited for, so that the server receives them in this order.
	post(alice, "GLOBAL", "first");
	post(alice, "bob", "private, never kept");
	for (int i = 0; i < 2; i++)
		expect(alice, LOCAL_PACKET_RECEIVE_MESSAGE);
	post(bob, "*", "<b>second</b>", MESSAGE_KIND_HTML);
	expect(alice, LOCAL_PACKET_RECEIVE_MESSAGE);
	post(alice, "GLOBAL", std::string("nul\0byte", 8));
	expect(alice, LOCAL_PACKET_RECEIVE_MESSAGE);
	int64_t after = (int64_t)time(nullptr);

	// A session that starts now asks, and sees nothing unasked.
	int carol = quiet_login("carol");
	std::vector<Packet> h = history(carol);
	ASSERT_EQ(h.size(), 3u);
	EXPECT_EQ(h[0].from, "alice");
	EXPECT_EQ(h[0].to, "GLOBAL");
	EXPECT_EQ(h[0].text, "first");
	EXPECT_EQ(h[0].kind, MESSAGE_KIND_PLAIN);
	EXPECT_EQ(h[1].from, "bob");
	EXPECT_EQ(h[1].to, "*");
	EXPECT_EQ(h[1].kind, MESSAGE_KIND_HTML);
	EXPECT_EQ(h[2].text, std::string("nul\xff" "byte", 8));
	for (const Packet &p : h) {
		EXPECT_GE(p.time, before);
		EXPECT_LE(p.time, after);
		EXPECT_EQ(p.length, 96u + p.text.size());
	}
	EXPECT_LE(h[0].time, h[1].time);

	// The last N, still oldest first; a later message is live, not history.
	std::vector<Packet> last = history(carol, 2);
	ASSERT_EQ(last.size(), 2u);
	EXPECT_EQ(last[0].from, "bob");
	EXPECT_EQ(last[1].text, h[2].text);
	expect_quiet(carol);

	// Only a logged-in session is answered; a request of the wrong size is dropped.
	int stranger = connect_client();
	send_raw(stranger, std::string("\x0c\0\0\0\0\0\0\0\x08\0\0\0\0\0\0\0\0\0\0\0", 20));
	EXPECT_TRUE(wait_log("asking for history without login", LOG_NOTICE));
	EXPECT_TRUE(tt::read_local_packet(stranger, 200).empty());
	send_raw(carol, tt::empty_packet(LOCAL_PACKET_GET_HISTORY));
	EXPECT_TRUE(wait_log("malformed get-history packet", LOG_WARNING));
	expect_quiet(carol);
}

TEST_F(ServerHistory, ARestartedServerStillHasItsHistoryAndTheFileIsPrivate)
{
	int alice = quiet_login("alice");
	say_all(alice, {"before the restart", "and one more"});
	struct stat st;
	ASSERT_EQ(stat(history_file().c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);

	restart_server();
	EXPECT_TRUE(wait_log("history: 2 messages loaded", LOG_INFO)) << log_->dump();
	int bob = quiet_login("bob");
	std::vector<Packet> h = history(bob);
	ASSERT_EQ(h.size(), 2u);
	EXPECT_EQ(h[0].text, "before the restart");
	EXPECT_EQ(h[1].text, "and one more");
}

TEST_F(ServerHistory, ADamagedFileLoadsItsWholeRecordsAndLogsTheRest)
{
	int alice = quiet_login("alice");
	say_all(alice, {"one", "two", "three"});
	std::string whole = read_file(history_file());
	ASSERT_GT(whole.size(), 8u);

	// A record torn by a crash: the last one loses its final bytes.
	{
		std::ofstream out(history_file(), std::ios::binary | std::ios::trunc);
		out << whole.substr(0, whole.size() - 3);
	}
	restart_server();
	EXPECT_TRUE(wait_log("broken record at offset", LOG_WARNING)) << log_->dump();
	int bob = quiet_login("bob");
	std::vector<Packet> h = history(bob);
	ASSERT_EQ(h.size(), 2u);
	EXPECT_EQ(h[1].text, "two");
	// The broken tail is gone from the file, and new records follow the whole ones.
	say_all(bob, {"four"});

	// Random bytes appended, some of them posing as a record's length.
	{
		std::ofstream out(history_file(), std::ios::binary | std::ios::app);
		out << std::string("\0\0\0\x20\x12\x34\x56\x78garbage that is no record at all", 41);
	}
	restart_server();
	EXPECT_TRUE(wait_log("bytes dropped", LOG_WARNING)) << log_->dump();
	int carol = quiet_login("carol");
	h = history(carol);
	ASSERT_EQ(h.size(), 3u);
	EXPECT_EQ(h[2].text, "four");

	// Not a history file at all.
	{
		std::ofstream out(history_file(), std::ios::binary | std::ios::trunc);
		out << "just some text\n";
	}
	restart_server();
	EXPECT_TRUE(wait_log("is not a history file", LOG_WARNING)) << log_->dump();
	int dave = quiet_login("dave");
	EXPECT_TRUE(history(dave).empty());
	EXPECT_TRUE(server_alive());
}

TEST_F(ServerHistory, ALatin1SessionGetsItsHistoryConverted)
{
	int alice = quiet_login("alice", "UTF-8");
	say_all(alice, {"gr\xc3\xbc\xc3\x9f" "e", "\xe2\x82\xac 5"});
	int bob = quiet_login("bob", "ISO-8859-1");
	std::vector<Packet> h = history(bob);
	ASSERT_EQ(h.size(), 2u);
	EXPECT_EQ(h[0].text, "gr\xfc\xdf" "e");
	// A character Latin-1 lacks: the text as it was, and the failure logged, as live.
	EXPECT_EQ(h[1].text, "\xe2\x82\xac 5");
	EXPECT_TRUE(wait_log("send_history: failed to convert text encoding from UTF-8 to ISO-8859-1", LOG_ERR));
	// The same session spelled alike gets the bytes unchanged.
	int carol = quiet_login("carol", "utf8");
	EXPECT_EQ(history(carol)[0].text, "gr\xc3\xbc\xc3\x9f" "e");
}

TEST_F(ServerHistory, TheLimitsComeFromTheEnvironment)
{
	restart_server({"TOLVAR_HISTORY_MESSAGES=3", "TOLVAR_HISTORY_BYTES=400"});
	int alice = quiet_login("alice");
	say_all(alice, {"m1", "m2", "m3", "m4", std::string(101, 'x'), std::string(100, 'y')});
	std::vector<Packet> h = history(alice);
	// At most 3; one above a quarter of 400 bytes is not kept.
	ASSERT_EQ(h.size(), 3u);
	EXPECT_EQ(h[0].text, "m3");
	EXPECT_EQ(h[2].text, std::string(100, 'y'));

	// Enough messages to make the file rewritten: it stays small and loads the same.
	for (int i = 0; i < 20; i++)
		say_all(alice, {"n" + std::to_string(i)});
	EXPECT_LT(read_file(history_file()).size(), 2000u);
	restart_server({"TOLVAR_HISTORY_MESSAGES=3", "TOLVAR_HISTORY_BYTES=400"});
	int bob = quiet_login("bob");
	h = history(bob);
	ASSERT_EQ(h.size(), 3u);
	EXPECT_EQ(h[2].text, "n19");

	restart_server({"TOLVAR_HISTORY_MESSAGES=0"});
	int carol = quiet_login("carol");
	say_all(carol, {"not kept"});
	EXPECT_TRUE(history(carol).empty());
}

}  // namespace
