// The terminal frontend against a scripted server: packet types and reader results that the
// real server never produces.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "tests/cli/cli-fixture.h"

using namespace ct;

namespace {

class CliScripted : public CliTest {
protected:
	CliScripted() { start_real_server_ = false; }
	void SetUp() override
	{
		CliTest::SetUp();
		std::string path = account_.home + "/socket";
		listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
		struct sockaddr_un a = {};
		a.sun_family = AF_UNIX;
		strcpy(a.sun_path, path.c_str());
		ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
		ASSERT_EQ(chown(path.c_str(), account_.uid, account_.gid), 0);
		ASSERT_EQ(listen(listener_, 4), 0);
	}
	void TearDown() override
	{
		if (conn_ >= 0)
			close(conn_);
		close(listener_);
		CliTest::TearDown();
	}
	// Starts bob on pipes and takes his connection and login.
	void start_bob(Session *s, const SessionOptions &o = SessionOptions())
	{
		start(s, "bob", o);
		struct pollfd p = {listener_, POLLIN, 0};
		ASSERT_EQ(poll(&p, 1, 10000), 1);
		conn_ = accept(listener_, nullptr, nullptr);
		ASSERT_GE(conn_, 0);
		std::string login = tt::read_local_packet(conn_);
		ASSERT_EQ(tt::packet_type(login), LOCAL_PACKET_LOGIN);
		// After the message of the day the session asks for the last 20 messages.
		std::string ask = tt::read_local_packet(conn_);
		ASSERT_EQ(tt::packet_type(ask), LOCAL_PACKET_GET_HISTORY);
		ASSERT_EQ(ask.size(), 20u);
		EXPECT_EQ(ask[12], 20);
	}
	void send(const std::string &bytes) { ASSERT_TRUE(tt::write_all(conn_, bytes)); }
	int listener_ = -1;
	int conn_ = -1;
};

std::string raw_length(uint64_t length)
{
	std::string s(8, '\0');
	memcpy(&s[0], &length, 8);
	return s;
}

}  // namespace

TEST_F(CliScripted, UnknownTypesAreReportedAndTheSessionGoesOn)
{
	Session bob;
	start_bob(&bob);
	send(tt::empty_packet(99));
	send(tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
	send(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", MESSAGE_KIND_PLAIN, "still here"));
	ASSERT_TRUE(bob.wait_out("still here\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] Unknown packet type 99\n\r[T] Unknown packet type 2\n\r[T] alice: still here\n");
	// A packet that comes in pieces is shown once it is whole.
	std::string p = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "bob", MESSAGE_KIND_PLAIN, "in pieces");
	send(p.substr(0, 20));
	usleep(100000);
	send(p.substr(20, 60));
	usleep(100000);
	bob.out.clear();
	send(p.substr(80));
	ASSERT_TRUE(bob.wait_out("in pieces\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice to bob: in pieces\n");
	// A malformed packet is dropped without a word.
	std::string bad = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", 1, "x");
	uint64_t huge = 1u << 20;
	memcpy(&bad[84], &huge, 8);
	send(bad);
	send(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", 1, "after"));
	bob.out.clear();
	ASSERT_TRUE(bob.wait_out("after\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: after\n");
}

TEST_F(CliScripted, ClosedConnectionEndsWithStatusZero)
{
	Session bob;
	start_bob(&bob);
	close(conn_);
	conn_ = -1;
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_EQ(strip_times(bob.out), "\r[T] Server closed connection\n");
	// A zero length counts as the end too.
	Session carl;
	start_bob(&carl);
	send(raw_length(0));
	EXPECT_EQ(carl.finish(), 0);
	EXPECT_EQ(strip_times(carl.out), "\r[T] Server closed connection\n");
}

TEST_F(CliScripted, BrokenStreamsEndWithStatusOne)
{
	struct {
		std::string bytes, message;
	} cases[] = {
		{raw_length(0x200001) + std::string(8, '\0'), "Packet too large"},
		{std::string(5, '\1'), "Packet short read"},
	};
	for (const auto &c : cases) {
		Session bob;
		start_bob(&bob);
		send(c.bytes);
		if (c.message == "Packet short read") {
			shutdown(conn_, SHUT_WR);
		}
		EXPECT_EQ(bob.finish(), 1) << c.message;
		EXPECT_EQ(strip_times(bob.out), "\r[T] " + c.message + "\n");
		close(conn_);
		conn_ = -1;
	}
	{
		// A server that goes away with our request unread: the read fails.
		Session bob;
		start_bob(&bob);
		bob.type("unread\n");
		struct pollfd p = {conn_, POLLIN, 0};
		ASSERT_EQ(poll(&p, 1, 10000), 1);
		close(conn_);
		conn_ = -1;
		EXPECT_EQ(bob.finish(), 1);
		EXPECT_EQ(bob.out, "");
		EXPECT_EQ(bob.err, "\rread: Connection reset by peer\n");
	}
	// Exactly 2 MiB is accepted: a message of the largest text is shown.
	Session bob;
	start_bob(&bob);
	std::string text(LOCAL_MESSAGE_TEXT_MAX, 'm');
	send(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", MESSAGE_KIND_PLAIN, text));
	ASSERT_TRUE(bob.wait_out(std::string(1000, 'm') + "\n", 20000));
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: " + text + "\n");
}
