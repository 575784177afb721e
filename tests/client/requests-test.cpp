// The requests a frontend sends, read back from the other end of a socket pair.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "client/requests.h"
#include "common/holders.h"
#include "testing/support.h"

namespace {

class ClientRequests : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
	void TearDown() override
	{
		close(fds_[0]);
		if (fds_[1] >= 0)
			close(fds_[1]);
	}

	// Reads one whole local packet from the peer end.
	std::string read_packet() { return tt::read_local_packet(fds_[1]); }

	int fds_[2] = {-1, -1};
};

uint64_t u64_at(const std::string &p, size_t off)
{
	uint64_t v;
	memcpy(&v, p.data() + off, 8);
	return v;
}

int32_t i32_at(const std::string &p, size_t off)
{
	int32_t v;
	memcpy(&v, p.data() + off, 4);
	return v;
}

}  // namespace

TEST_F(ClientRequests, OnlineUsersRequestIsSixteenBytes)
{
	ASSERT_EQ(client_send_request_get_online_users(fds_[0]), 0);
	std::string p = read_packet();
	ASSERT_EQ(p.size(), 16u);
	EXPECT_EQ(u64_at(p, 0), 8u);
	EXPECT_EQ(i32_at(p, 8), LOCAL_PACKET_GET_ONLINE_USERS);
}

TEST_F(ClientRequests, PlainTextCutsTheRecipientAndCarriesTheTextWithoutNul)
{
	std::string forty(40, 'r');
	ASSERT_EQ(client_post_plain_text(fds_[0], forty.c_str(), "hello there"), 0);
	std::string p = read_packet();
	ASSERT_EQ(p.size(), 16u + 80 + 11);
	EXPECT_EQ(u64_at(p, 0), 88u + 11);
	EXPECT_EQ(i32_at(p, 8), LOCAL_PACKET_POST_MESSAGE);
	EXPECT_EQ(std::string(p.data() + 44), std::string(31, 'r'));
	EXPECT_EQ(i32_at(p, 76), MESSAGE_KIND_PLAIN);
	EXPECT_EQ(u64_at(p, 84), 11u);
	EXPECT_EQ(p.substr(92, 11), "hello there");

	ASSERT_EQ(client_post_plain_text(fds_[0], "GLOBAL", ""), 0);
	p = read_packet();
	ASSERT_EQ(p.size(), 96u);
	EXPECT_EQ(u64_at(p, 84), 0u);
	EXPECT_EQ(std::string(p.data() + 44), "GLOBAL");
}

TEST_F(ClientRequests, MessageKeepsItsKindAndRefusesWhatCannotBeSent)
{
	MallocPtr<MessageRecord> r(message_record_new(3));
	ASSERT_NE(r, nullptr);
	strcpy(r->to_user, "bob");
	r->kind = 9;
	memcpy(message_record_text(r.get()), "a\0b", 3);
	ASSERT_EQ(client_post_message(fds_[0], r.get()), 0);
	std::string p = read_packet();
	EXPECT_EQ(i32_at(p, 76), 9);
	EXPECT_EQ(p.substr(92, 3), std::string("a\0b", 3));

	// Lengths that no packet can carry fail before anything is allocated or written.
	MessageRecord huge = {};
	huge.text_length = SIZE_MAX - 10;
	errno = 0;
	EXPECT_EQ(client_post_message(fds_[0], &huge), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	huge.text_length = LOCAL_MESSAGE_TEXT_MAX + 1;
	EXPECT_EQ(client_post_message(fds_[0], &huge), -1);
	EXPECT_EQ(errno, EMSGSIZE);

	// Nothing was sent for them.
	ASSERT_EQ(client_send_request_get_online_users(fds_[0]), 0);
	EXPECT_EQ(read_packet().size(), 16u);
}

TEST_F(ClientRequests, FailedWritesAreReported)
{
	close(fds_[1]);
	fds_[1] = -1;
	signal(SIGPIPE, SIG_IGN);
	errno = 0;
	EXPECT_EQ(client_send_request_get_online_users(fds_[0]), -1);
	EXPECT_EQ(errno, EPIPE);
	EXPECT_EQ(client_post_plain_text(fds_[0], "bob", "x"), -1);
	EXPECT_EQ(errno, EPIPE);
}
