// An api session against a scripted server: packets in pieces, malformed and unknown
// packets, and broken streams that the real server never produces.
#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "api/tolvar-api-client.h"
#include "protocol/local-protocol.h"
#include "tests/client/session-harness.h"

namespace api = tolvarapi;

namespace {

class ApiScripted : public ::testing::Test {
protected:
	void SetUp() override
	{
		tt::Syslog::instance();
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvapi"), &acct_));
		ASSERT_TRUE(server_.start(acct_));
		ASSERT_TRUE(st::start_session(acct_, "alice", tt::ssh_env(acct_, "api"), &p_));
		conn_ = server_.accept_one();
		ASSERT_GE(conn_, 0);
		ASSERT_EQ(tt::packet_type(tt::read_local_packet(conn_)), LOCAL_PACKET_LOGIN);
		ASSERT_TRUE(st::api_handshake(p_));
	}
	void TearDown() override
	{
		if (conn_ >= 0)
			close(conn_);
		p_.kill_now();
		p_.wait(5000);
		tt::remove_account(acct_);
	}

	void send(const std::string &bytes) { ASSERT_TRUE(tt::write_all(conn_, bytes)); }

	// Sends a user-online packet and expects it through: proof that the frontend goes on.
	void expect_alive(const std::string &name)
	{
		send(name_packet(LOCAL_PACKET_USER_ONLINE, name));
		std::string got;
		ASSERT_TRUE(st::api_read(p_.out, &got));
		api::Packet v;
		api::UserState s;
		ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
		ASSERT_EQ(api::parse_user_state(v, &s), api::OK);
		EXPECT_EQ(s.user, name);
	}

	static std::string name_packet(int32_t type, const std::string &payload)
	{
		std::string p(16 + payload.size() + 1, '\0');
		uint64_t length = payload.size() + 1 + 8;
		memcpy(&p[0], &length, 8);
		memcpy(&p[8], &type, 4);
		memcpy(&p[12], payload.data(), payload.size());
		return p;
	}

	static std::string raw(uint64_t length, int32_t type, const std::string &body)
	{
		std::string p(12, '\0');
		memcpy(&p[0], &length, 8);
		memcpy(&p[8], &type, 4);
		return p + body;
	}

	tt::Account acct_;
	st::FakeServer server_;
	tt::Process p_;
	int conn_ = -1;
};

}  // namespace

TEST_F(ApiScripted, PacketInPiecesIsAssembled)
{
	std::string m = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "bob", "*", 9, std::string(3000, 'z'));
	send(m.substr(0, 50));
	usleep(100000);
	send(m.substr(50, 1000));
	usleep(100000);
	send(m.substr(1050));
	std::string got;
	ASSERT_TRUE(st::api_read(p_.out, &got));
	api::Packet v;
	api::Message msg;
	ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
	ASSERT_EQ(api::parse_message(v, &msg), api::OK);
	EXPECT_EQ(msg.from, "bob");
	EXPECT_EQ(msg.to, "GLOBAL");
	EXPECT_EQ(msg.kind, 9);
	EXPECT_EQ(msg.text, std::string(3000, 'z'));
}

TEST_F(ApiScripted, MalformedAndUnknownServerPacketsAreDropped)
{
	// A text length beyond the packet.
	std::string m = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "bob", "alice", 1, "abc");
	uint64_t huge = 1000;
	memcpy(&m[84], &huge, 8);
	send(m);
	// A list whose count runs past its entries.
	std::string list(16 + 8 + 164, '\0');
	uint64_t length = 8 + 8 + 164;
	int32_t type = LOCAL_PACKET_ONLINE_USERS, id = 3, count = 2;
	memcpy(&list[0], &length, 8);
	memcpy(&list[8], &type, 4);
	memcpy(&list[12], &id, 4);
	memcpy(&list[16], &count, 4);
	send(list);
	// A length too small for the type field, and an unknown type.
	send(raw(4, 0, "").substr(0, 8) + "abcd");
	send(raw(8, 99, "rsvd"));
	expect_alive("carol");
	// The records travel apart from the packets: wait for the last one.
	EXPECT_TRUE(tt::Syslog::instance().wait_for("Unknown local packet type 99", LOG_WARNING));
	EXPECT_EQ(tt::Syslog::instance().count("Malformed local packet type 4 dropped"), 1u) << tt::Syslog::instance().dump();
	EXPECT_TRUE(tt::Syslog::instance().contains("Malformed local packet type 5 dropped", LOG_WARNING));
	EXPECT_TRUE(tt::Syslog::instance().contains("Malformed local packet dropped", LOG_WARNING));
	EXPECT_TRUE(tt::Syslog::instance().contains("Unknown local packet type 99", LOG_WARNING));
}

// Names that fill their whole field carry no NUL: they are taken to the field's end (32
// bytes, hosts 128), not dropped. Ids keep their low 16 bits.
TEST_F(ApiScripted, NamesThatFillTheirFieldAreTakenWhole)
{
	std::string name(32, 's'), host(128, 'h');
	send(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, name, "alice", 1, "hi"));
	std::string list(8, '\0');
	int32_t your_id = 70000, id = 65541, count = 1;	// ids keep their low 16 bits
	memcpy(&list[0], &your_id, 4);
	memcpy(&list[4], &count, 4);
	list.append((const char *)&id, 4).append(name).append(host);
	send(raw(8 + list.size(), LOCAL_PACKET_ONLINE_USERS, list + "rsvd"));
	send(raw(8 + 40, LOCAL_PACKET_USER_ONLINE, std::string(40, 'u') + "rsvd"));

	std::string got;
	api::Packet v;
	api::Message m;
	ASSERT_TRUE(st::api_read(p_.out, &got));
	ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
	ASSERT_EQ(api::parse_message(v, &m), api::OK);
	EXPECT_EQ(m.from, name);
	EXPECT_EQ(m.to, "alice");
	EXPECT_EQ(m.text, "hi");
	api::OnlineUsers users;
	api::UserEntry e;
	ASSERT_TRUE(st::api_read(p_.out, &got));
	ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
	ASSERT_EQ(api::parse_online_users(v, &users), api::OK);
	EXPECT_EQ(users.your_id, 70000 & 0xffff);
	ASSERT_EQ(users.count, 1);
	ASSERT_EQ(api::next_user(&users.entries, &e), api::OK);
	EXPECT_EQ(e.id, 5);
	EXPECT_EQ(e.user, name);
	EXPECT_EQ(e.host, host);
	api::UserState s;
	ASSERT_TRUE(st::api_read(p_.out, &got));
	ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
	ASSERT_EQ(api::parse_user_state(v, &s), api::OK);
	EXPECT_EQ(s.user, std::string(32, 'u'));
}

TEST_F(ApiScripted, UserNotFoundTextIsCutTo255Bytes)
{
	send(name_packet(LOCAL_PACKET_USER_NOT_FOUND, std::string(300, 'n')));
	std::string got;
	ASSERT_TRUE(st::api_read(p_.out, &got));
	EXPECT_EQ(st::api_type(got), TOLVAR_API_ERROR);
	EXPECT_EQ(st::be32(got, 5), 6u);
	EXPECT_EQ(st::be32(got, 9), 255u);
	EXPECT_EQ(got.substr(13), ("User " + std::string(300, 'n')).substr(0, 255));
}

TEST_F(ApiScripted, BrokenServerStreamsAreReportedBeforeTheEnd)
{
	struct Case {
		std::string bytes;
		uint32_t code;
		std::string text;
		int status;
	} cases[] = {
		{raw(2097153, 4, ""), 3, "Received local packet too large", 1},
		{std::string("\x10\0\0\0\0", 5), 2, "Local packet short read", 1},
		{raw(200, 4, "only part of it"), 1, "Server closed connection", 0},
		{"", 1, "Server closed connection", 0},
	};
	bool first = true;
	for (const Case &c : cases) {
		if (!first) {
			// A fresh session for each case.
			p_.kill_now();
			p_.wait(5000);
			tt::Process p;
			ASSERT_TRUE(st::start_session(acct_, "alice", tt::ssh_env(acct_, "api"), &p));
			p_ = std::move(p);
			conn_ = server_.accept_one();
			ASSERT_GE(conn_, 0);
			tt::read_local_packet(conn_);
			ASSERT_TRUE(st::api_handshake(p_));
		}
		first = false;
		send(c.bytes);
		close(conn_);
		conn_ = -1;
		std::string got;
		ASSERT_TRUE(st::api_read(p_.out, &got)) << c.text;
		api::Packet v;
		api::Error e;
		ASSERT_EQ(api::open_packet(got.data(), got.size(), &v), api::OK);
		ASSERT_EQ(api::parse_error(v, &e), api::OK);
		EXPECT_EQ(e.code, c.code);
		EXPECT_EQ(e.text, c.text);
		ASSERT_TRUE(p_.wait(10000));
		EXPECT_EQ(p_.exit_code(), c.status) << c.text;
	}
}
