// The server's side of moderation that the administration tool cannot reach: who may make
// administrator's requests, and the cap on sessions per user.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <thread>

#include "common/holders.h"
#include "protocol/admin-protocol.h"
#include "tests/server/server-fixture.h"

namespace {

constexpr uid_t OTHER_UID = 65534;

std::string request_packet(int32_t type)
{
	AdminRequest request = {type, 0, {}, {}, 0};
	size_t size = 0;
	MallocPtr<unsigned char> p(admin_build_request(request, &size));
	return p != nullptr ? std::string(reinterpret_cast<char *>(p.get()), size) : std::string();
}

// In a child running as uid, connects to path, asks who is online and reads the answer.
// Returns the child's status: 0 when the server refused with EPERM.
int ask_as(uid_t uid, const std::string &path, const std::string &request)
{
	pid_t pid = fork();
	if (pid == 0) {
		if (setgroups(0, nullptr) < 0 || setgid(uid) < 0 || setuid(uid) < 0)
			_exit(2);
		int fd = socket(AF_UNIX, SOCK_STREAM, 0);
		struct sockaddr_un a = {};
		a.sun_family = AF_UNIX;
		memcpy(a.sun_path, path.c_str(), path.size() + 1);
		if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || !tt::write_all(fd, request))
			_exit(3);
		std::string answer = tt::read_local_packet(fd, 10000);
		if (answer.empty() || tt::packet_type(answer) != LOCAL_PACKET_ADMIN_RESULT || answer.size() != 20)
			_exit(4);
		int32_t result;
		memcpy(&result, answer.data() + 12, 4);
		_exit(result == -EPERM ? 0 : 5);
	}
	int status = -1;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class ModerationTest : public st::ServerTest {
protected:
	// The server's counters, asked for on a connection of root's that has not logged in.
	std::vector<uint64_t> counters()
	{
		int admin = connect_client();
		send_raw(admin, request_packet(LOCAL_PACKET_ADMIN_STATS));
		std::string raw = tt::read_local_packet(admin);
		std::vector<uint64_t> values(COUNTER_COUNT, 0);
		LocalPacketView v;
		uint32_t sent = 0;
		EXPECT_EQ(local_packet_open(reinterpret_cast<const unsigned char *>(raw.data()), &v), 0);
		EXPECT_EQ(admin_parse_counters(v, values.data(), COUNTER_COUNT, &sent), 0);
		close_client(admin);
		return values;
	}
};

// A budget that a test can exhaust in a moment and that refills within seconds.
class FloodTest : public ModerationTest {
protected:
	FloodTest()
	{
		server_env_ = {"TOLVAR_FLOOD_POSTS_PER_SECOND=4000", "TOLVAR_FLOOD_POST_BURST=100",
			       "TOLVAR_FLOOD_BYTES_PER_SECOND=1000000", "TOLVAR_FLOOD_BYTE_BURST=65536"};
	}
};

}  // namespace

TEST_F(ModerationTest, AdministratorsRequestsAreRefusedFromSessionsAndFromOtherUids)
{
	int alice = quiet_login("alice");
	std::string who = request_packet(LOCAL_PACKET_ADMIN_WHO);
	send_raw(alice, who);
	send_raw(alice, request_packet(LOCAL_PACKET_ADMIN_STATS));
	expect_quiet(alice);
	EXPECT_EQ(log_count("admin request who refused: logged in as alice"), 1u);
	EXPECT_EQ(log_count("admin request stats refused: logged in as alice"), 1u);

	// A peer of another account, let in by a socket opened to everybody.
	ASSERT_EQ(chmod(server_.socket_path.c_str(), 0666), 0);
	EXPECT_EQ(ask_as(OTHER_UID, server_.socket_path, who), 0);
	EXPECT_TRUE(wait_log("admin request who refused: peer uid 65534", LOG_WARNING)) << log_->dump();

	// Root, not logged in, is answered; alice's session was not disturbed by any of it.
	int admin = connect_client();
	send_raw(admin, who);
	st::Packet answer = next(admin);
	ASSERT_EQ(tt::packet_type(answer.raw), LOCAL_PACKET_ADMIN_SESSIONS);
	LocalPacketView v;
	AdminListView list;
	SessionEntry e;
	ASSERT_EQ(local_packet_open(reinterpret_cast<const unsigned char *>(answer.raw.data()), &v), 0);
	ASSERT_EQ(admin_parse_sessions(v, &list), 0);
	ASSERT_EQ(list.count, 1u);
	ASSERT_EQ(admin_session_entry(list, 0, &e), 0);
	EXPECT_EQ(e.user, "alice");
	EXPECT_EQ(e.id, id_of(alice));
}

TEST_F(ModerationTest, TheSeventeenthSessionOfAUserIsRefusedAndTheSixteenthGoesOn)
{
	std::vector<int> bob;
	for (int i = 0; i < 16; i++)
		bob.push_back(quiet_login("bob"));
	int gone = id_of(bob.back());
	int carol = quiet_login("carol");
	int extra = login("bob");
	std::string refused = tt::read_local_packet(extra);
	ASSERT_EQ(refused.size(), 24u);
	EXPECT_EQ(tt::packet_type(refused), LOCAL_PACKET_LOGIN_REFUSED);
	uint32_t reason, limit;
	memcpy(&reason, refused.data() + 12, 4);
	memcpy(&limit, refused.data() + 16, 4);
	EXPECT_EQ(reason, (uint32_t)LOGIN_REFUSED_TOO_MANY_SESSIONS);
	EXPECT_EQ(limit, 16u);
	EXPECT_TRUE(wait_log("user bob login from 192.0.2.7 fd " + std::to_string(id_of(extra)) +
			     " refused: 16 sessions already", LOG_WARNING));
	// Not a session: the others hear nothing and the list holds sixteen of bob.
	expect_quiet(carol);
	EXPECT_EQ(online_list(carol).entries.size(), 17u);

	// Once one of them has gone, the next login is let in.
	close_client(bob.back());
	ASSERT_TRUE(wait_log("user bob logout fd " + std::to_string(gone) + " dup 1"));
	send_raw(extra, tt::login_packet("bob", "192.0.2.7", "UTF-8"));
	st::Packet list = online_list(extra);
	EXPECT_EQ(list.entries.size(), 17u);
	EXPECT_EQ(log_count("refused"), 1u);
}

TEST_F(FloodTest, AFloodIsHeldBackButDeliveredWholeAndInOrderWhileOthersAreServed)
{
	int flooder = quiet_login("flooder");
	int bob = quiet_login("bob");
	int carol = quiet_login("carol");
	drain_all({flooder, bob});
	constexpr int N = 10000;
	std::string flood;
	for (int i = 0; i < N; i++)
		flood += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "bob", MESSAGE_KIND_PLAIN, "flood " + std::to_string(i));
	// As fast as the socket takes it; the server reads it as the budget allows.
	bool written = false;
	std::thread writer([&] { written = tt::write_all(flooder, flood); });
	// The recipient and the flooder's own copies: every message, once, in order.
	int at_bob = 0, at_flooder = 0;
	auto reader = [](int fd, int *in_order) {
		for (int i = 0; i < N; i++) {
			st::Packet p = tt::decode_packet(tt::read_local_packet(fd, 20000));
			if (!p.ok || p.type != LOCAL_PACKET_RECEIVE_MESSAGE || p.text != "flood " + std::to_string(i))
				return;
			++*in_order;
		}
	};
	std::thread bob_reader(reader, bob, &at_bob);
	std::thread copy_reader(reader, flooder, &at_flooder);
	// Meanwhile carol's messages to herself go round.
	for (int i = 0; i < 20; i++) {
		post(carol, "carol", "ping " + std::to_string(i));
		st::Packet p = expect(carol, LOCAL_PACKET_RECEIVE_MESSAGE);
		EXPECT_EQ(p.text, "ping " + std::to_string(i));
	}
	writer.join();
	bob_reader.join();
	copy_reader.join();
	EXPECT_TRUE(written);
	EXPECT_EQ(at_bob, N);
	EXPECT_EQ(at_flooder, N);

	// Online-user requests spend the budget too, and every one is answered.
	std::string asks;
	for (int i = 0; i < 300; i++)
		asks += tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS);
	uint64_t delayed_before = counters()[COUNTER_POSTS_DELAYED];
	send_raw(carol, asks);
	for (int i = 0; i < 300; i++)
		ASSERT_EQ(expect(carol, LOCAL_PACKET_ONLINE_USERS).entries.size(), 3u);
	std::vector<uint64_t> c = counters();
	EXPECT_GT(delayed_before, 0u);
	EXPECT_GT(c[COUNTER_POSTS_DELAYED], delayed_before);
	EXPECT_EQ(c[COUNTER_POSTS], (uint64_t)N + 20);
	EXPECT_EQ(c[COUNTER_CLIENTS_DROPPED], 0u);
	EXPECT_EQ(log_count("dropped"), 0u);
	for (int fd : {flooder, bob, carol})
		expect_quiet(fd);
}
