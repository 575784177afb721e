// API sessions as programs meet them: tolvard -c as a real account on pipes with the SSH
// daemon's environment, against the real server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "api/tolvar-api-client.h"
#include "tests/client/session-harness.h"

namespace api = tolvarapi;

namespace {

class ApiSession : public ::testing::Test {
protected:
	void SetUp() override
	{
		tt::Syslog::instance();
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvapi"), &acct_));
		ASSERT_TRUE(tt::start_server(acct_, &server_));
	}
	void TearDown() override
	{
		server_.proc.kill_now();
		server_.proc.wait(5000);
		tt::remove_account(acct_);
	}

	bool start(const std::string &user, tt::Process *p)
	{
		return st::start_session(acct_, user, tt::ssh_env(acct_, "api"), p);
	}

	// A session that has shaken hands and seen its own user come online.
	bool start_ready(const std::string &user, tt::Process *p)
	{
		std::string state;
		return start(user, p) && st::api_handshake(*p) && st::api_read_type(p->out, TOLVAR_API_USER_STATE, &state);
	}

	void write_motd(const std::string &text)
	{
		std::ofstream f(acct_.home + "/motd", std::ios::binary);
		f << text;
	}

	// The frontend ends without writing anything; returns its exit code.
	int ends_silently(tt::Process &p)
	{
		std::string out;
		EXPECT_TRUE(tt::read_to_eof(p.out, 10000, &out));
		EXPECT_EQ(out, "");
		EXPECT_TRUE(p.wait(10000));
		return p.exit_code();
	}

	api::Packet open(const std::string &p)
	{
		api::Packet v{};
		EXPECT_EQ(api::open_packet(p.data(), p.size(), &v), api::OK);
		return v;
	}

	// Reads the next message that reaches p.
	api::Message next_message(tt::Process &p, std::string *buf)
	{
		api::Message m{};
		EXPECT_TRUE(st::api_read_type(p.out, TOLVAR_API_RECEIVE_MESSAGE, buf));
		EXPECT_EQ(api::parse_message(open(*buf), &m), api::OK);
		return m;
	}

	tt::Account acct_;
	tt::Server server_;
};

}  // namespace

TEST_F(ApiSession, HandshakeAgreesOnTheLowerVersion)
{
	for (uint16_t version : {1, 2, 5, 0xffff}) {
		tt::Process p;
		ASSERT_TRUE(start("alice", &p));
		std::string pass;
		ASSERT_TRUE(st::api_handshake(p, &pass, version));
		char agreed = version == 1 ? '\x01' : '\x02';
		EXPECT_EQ(pass, std::string("\0\0\0\x0f\x80TOLVAR\0", 12) + agreed + std::string("\x05" "alice", 6));
		EXPECT_TRUE(tt::Syslog::instance().wait_for("TOLVAR_API_HELLO: client API version " + std::to_string(version),
							    LOG_INFO));
	}
	tt::LogRecord r;
	ASSERT_TRUE(tt::Syslog::instance().wait_for("API server started", LOG_INFO, 5000, &r));
	EXPECT_EQ(r.ident, "tolvard:alice:api");
}

TEST_F(ApiSession, BadHandshakesEndTheFrontendWithoutAnswer)
{
	struct Case {
		std::string first;
		const char *record;
	} cases[] = {
		{st::api_hello(0), "TOLVAR_API_HELLO: handshake failed, invalid API version 0"},
		{st::api_packet(1, std::string("TOLVAR\0\1\0", 9)),
		 "TOLVAR_API_HELLO: handshake failed, packet length mismatch (10 != 9)"},
		{st::api_packet(1, std::string("TOLVAR\0", 7)),
		 "TOLVAR_API_HELLO: handshake failed, packet length mismatch (8 != 9)"},
		{st::api_packet(1, std::string("tolvar\0\1", 8)), "TOLVAR_API_HELLO: handshake failed, magic mismatch"},
		{st::api_get_motd(), "Received API packet type 4 before handshake"},
		{st::api_send("alice", 1, "hi"), "Received API packet type 3 before handshake"},
	};
	write_motd("there is a motd\n");
	for (const Case &c : cases) {
		tt::Process p;
		ASSERT_TRUE(start("alice", &p));
		ASSERT_TRUE(tt::write_all(p.in, c.first));
		EXPECT_EQ(ends_silently(p), 1) << c.record;
		EXPECT_TRUE(tt::Syslog::instance().wait_for(c.record, LOG_WARNING)) << tt::Syslog::instance().dump();
	}
}

TEST_F(ApiSession, MotdFollowsThePassAndAnswersEveryRequest)
{
	write_motd("Welcome\n");
	tt::Process p;
	ASSERT_TRUE(start("alice", &p));
	std::string pass, motd;
	ASSERT_TRUE(st::api_handshake(p, &pass));
	ASSERT_TRUE(st::api_read(p.out, &motd));	// right after the pass, before anything else
	EXPECT_EQ(motd, std::string("\0\0\0\x0d\x85\0\0\0\x08Welcome\n", 17));

	// Five requests in one write, with the file changed in between: each gets its answer.
	std::string requests;
	for (int i = 0; i < 5; i++)
		requests += st::api_get_motd();
	ASSERT_TRUE(tt::write_all(p.in, requests));
	for (int i = 0; i < 5; i++) {
		ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_MOTD, &motd)) << i;
		EXPECT_EQ(motd.substr(9), "Welcome\n");
	}
	std::string big(5000, 'm');
	big[4095] = 'L';
	write_motd(big);
	ASSERT_TRUE(tt::write_all(p.in, st::api_get_motd()));
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_MOTD, &motd));
	EXPECT_EQ(st::be32(motd, 5), 4096u);
	EXPECT_EQ(motd.substr(9), big.substr(0, 4096));
}

TEST_F(ApiSession, MissingOrEmptyMotdIsErrorSeven)
{
	for (bool empty : {false, true}) {
		if (empty)
			write_motd("");
		tt::Process p;
		ASSERT_TRUE(start("alice", &p));
		ASSERT_TRUE(st::api_handshake(p));
		ASSERT_TRUE(tt::write_all(p.in, st::api_get_motd()));
		// Nothing came between the pass and the answer but presence.
		std::string got;
		do
			ASSERT_TRUE(st::api_read(p.out, &got));
		while (st::api_type(got) == TOLVAR_API_USER_STATE);
		EXPECT_EQ(got, std::string("\0\0\0\x1a\x84\0\0\0\x07\0\0\0\x11No MOTD available", 30)) << empty;
	}
	// A motd that cannot be read is reported with the system's text.
	ASSERT_EQ(unlink((acct_.home + "/motd").c_str()), 0);
	ASSERT_EQ(mkdir((acct_.home + "/motd").c_str(), 0755), 0);
	tt::Process p;
	ASSERT_TRUE(start_ready("alice", &p));
	ASSERT_TRUE(tt::write_all(p.in, st::api_get_motd()));
	std::string got;
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_ERROR, &got));
	EXPECT_EQ(st::be32(got, 5), 7u);
	EXPECT_EQ(got.substr(13), "Is a directory");
	EXPECT_TRUE(tt::Syslog::instance().wait_for("send_api_motd: read: Is a directory", LOG_WARNING));
}

TEST_F(ApiSession, OnlineUsersLayout)
{
	tt::Process alice, bob;
	ASSERT_TRUE(start_ready("alice", &alice));
	ASSERT_TRUE(start_ready("bob", &bob));
	ASSERT_TRUE(tt::write_all(alice.in, st::api_get_online_users()));
	std::string got;
	ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_ONLINE_USERS, &got));
	api::OnlineUsers list;
	ASSERT_EQ(api::parse_online_users(open(got), &list), api::OK);
	ASSERT_EQ(list.count, 2);
	// length = 5 + the sum of 4 + U + H; highest id first (ids are the server's descriptors,
	// so the newer session may have the lower one).
	EXPECT_EQ(st::be32(got, 0), 5u + (4 + 3 + 9) + (4 + 5 + 9));
	api::UserEntry first, second;
	ASSERT_EQ(api::next_user(&list.entries, &first), api::OK);
	ASSERT_EQ(api::next_user(&list.entries, &second), api::OK);
	EXPECT_GT(first.id, second.id);
	const api::UserEntry &a = first.user == "alice" ? first : second;
	const api::UserEntry &b = first.user == "alice" ? second : first;
	EXPECT_EQ(a.user, "alice");
	EXPECT_EQ(b.user, "bob");
	EXPECT_EQ(a.host, "192.0.2.7");
	EXPECT_EQ(b.host, "192.0.2.7");
	EXPECT_EQ(list.your_id, a.id);
}

TEST_F(ApiSession, MessagesPresenceAndUnknownRecipients)
{
	tt::Process alice, bob;
	ASSERT_TRUE(start_ready("alice", &alice));
	ASSERT_TRUE(start_ready("bob", &bob));
	std::string state;
	ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_USER_STATE, &state));
	EXPECT_EQ(state, std::string("\0\0\0\x06\x83\x01\x03" "bob", 10));

	std::string buf;
	uint64_t before = (uint64_t)time(nullptr);
	ASSERT_TRUE(tt::write_all(bob.in, st::api_send("alice", TOLVAR_API_KIND_PLAIN, "psst")));
	api::Message m = next_message(alice, &buf);
	EXPECT_EQ(m.from, "bob");
	EXPECT_EQ(m.to, "alice");
	EXPECT_EQ(m.kind, 1);
	EXPECT_EQ(m.text, "psst");
	EXPECT_GE(m.time, before);
	EXPECT_LE(m.time, (uint64_t)time(nullptr));
	EXPECT_EQ(st::be32(buf, 0), 16u + 3 + 5 + 4);
	m = next_message(bob, &buf);	// the sender's own copy
	EXPECT_EQ(m.to, "alice");

	ASSERT_TRUE(tt::write_all(bob.in, st::api_send("*", TOLVAR_API_KIND_HTML, "<b>all</b>")));
	m = next_message(alice, &buf);
	EXPECT_EQ(m.to, "GLOBAL");
	EXPECT_EQ(m.kind, 2);
	ASSERT_TRUE(tt::write_all(bob.in, st::api_send("alice", 9, std::string("x\0y", 3))));
	m = next_message(alice, &buf);
	EXPECT_EQ(m.kind, 9);
	EXPECT_EQ(m.text, std::string("x\0y", 3));	// not plain text: the server keeps its bytes

	// A recipient of 40 bytes is posted as its first 31.
	ASSERT_TRUE(tt::write_all(alice.in, st::api_send(std::string(40, 'n'), 1, "hello?")));
	ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_ERROR, &buf));
	api::Error e;
	ASSERT_EQ(api::parse_error(open(buf), &e), api::OK);
	EXPECT_EQ(e.code, 6u);
	EXPECT_EQ(e.text, "User " + std::string(31, 'n') + " not found");
	// The frontend goes on (bob first sees his own copies of what he sent).
	ASSERT_TRUE(tt::write_all(alice.in, st::api_send("bob", 1, "still here")));
	for (const char *text : {"<b>all</b>", "x", "still here"})
		EXPECT_EQ(next_message(bob, &buf).text.substr(0, strlen(text)), text);

	bob.close_in();
	EXPECT_TRUE(bob.wait(10000));
	EXPECT_EQ(bob.exit_code(), 0);
	ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_USER_STATE, &state));
	EXPECT_EQ(state, std::string("\0\0\0\x06\x83\x00\x03" "bob", 10));
}

TEST_F(ApiSession, MalformedSendMessagesAreDroppedAndTheFrontendGoesOn)
{
	tt::Process alice, bob;
	ASSERT_TRUE(start_ready("alice", &alice));
	ASSERT_TRUE(start_ready("bob", &bob));
	std::string bad[] = {
		st::api_packet(3, ""),						// type byte only
		st::api_packet(3, std::string("\x05" "bob", 4)),		// name runs past the end
		st::api_packet(3, std::string("\x03" "bob\x01\0\0", 7)),	// text length cut
		st::api_packet(3, std::string("\x03" "bob\x01\0\0\0\x09" "short", 14)),
		st::api_packet(3, std::string("\x03" "bob\x01\xff\xff\xff\xff", 9)),
	};
	for (const auto &p : bad)
		ASSERT_TRUE(tt::write_all(alice.in, p));
	ASSERT_TRUE(tt::write_all(alice.in, st::api_packet(0, "")));
	ASSERT_TRUE(tt::write_all(alice.in, st::api_packet(0x85, "zz")));
	ASSERT_TRUE(tt::write_all(alice.in, st::api_send("bob", 1, "after")));
	std::string buf;
	EXPECT_EQ(next_message(bob, &buf).text, "after");	// nothing of the bad ones arrived
	EXPECT_TRUE(tt::Syslog::instance().wait_for("Received unknown API packet type 133", LOG_WARNING));
	EXPECT_EQ(tt::Syslog::instance().count("post_message_from_raw_api_data failed"), 5u)
		<< tt::Syslog::instance().dump();
	EXPECT_TRUE(tt::Syslog::instance().contains("Received unknown API packet type 0", LOG_WARNING));
	EXPECT_TRUE(tt::Syslog::instance().contains("Received unknown API packet type 133", LOG_WARNING));
	// Bytes after the text are ignored.
	std::string with_tail = st::api_packet(3, std::string("\x03" "bob\x01\0\0\0\x04" "tail" "junk", 17));
	ASSERT_TRUE(tt::write_all(alice.in, with_tail));
	EXPECT_EQ(next_message(bob, &buf).text, "tail");
}

TEST_F(ApiSession, FramingFaultsEndOnlyThatFrontend)
{
	struct Case {
		std::string bytes;
		bool close_after;
		int status;
		const char *record;	// nullptr: none expected
	} cases[] = {
		{std::string("\0\0\0\0", 4), false, 1, "Received API packet too small"},
		{std::string("\0\x10\0\x01", 4), false, 1, "Received API packet too large (1048577 bytes)"},
		{"", true, 0, nullptr},						// end between packets
		{std::string("\0\0", 2), true, 0, nullptr},			// inside a length field
		{std::string("\0\0\0\x20\x03\x03" "bob", 9), true, 0, nullptr},	// inside a body
	};
	tt::Process bob;
	ASSERT_TRUE(start_ready("bob", &bob));
	for (const Case &c : cases) {
		tt::Process alice;
		ASSERT_TRUE(start_ready("alice", &alice));
		ASSERT_TRUE(tt::write_all(alice.in, c.bytes));
		if (c.close_after)
			alice.close_in();
		ASSERT_TRUE(alice.wait(10000));
		EXPECT_EQ(alice.exit_code(), c.status);
		if (c.record != nullptr) {
			EXPECT_TRUE(tt::Syslog::instance().wait_for(c.record, LOG_WARNING)) << tt::Syslog::instance().dump();
		}
		// The other session saw alice leave and still works.
		std::string got;
		ASSERT_TRUE(st::api_read_type(bob.out, TOLVAR_API_USER_STATE, &got));
		ASSERT_TRUE(st::api_read_type(bob.out, TOLVAR_API_USER_STATE, &got));
		EXPECT_EQ(got, std::string("\0\0\0\x08\x83\x00\x05" "alice", 12));
	}
	ASSERT_TRUE(tt::write_all(bob.in, st::api_send("bob", 1, "alone")));
	std::string buf;
	EXPECT_EQ(next_message(bob, &buf).text, "alone");
}

TEST_F(ApiSession, NothingBeforeTheHandshakeAndEverythingAfter)
{
	tt::Process alice, bob;
	ASSERT_TRUE(start("alice", &alice));
	ASSERT_TRUE(tt::Syslog::instance().wait_for("user alice login", LOG_INFO));
	ASSERT_TRUE(start_ready("bob", &bob));
	ASSERT_TRUE(tt::write_all(bob.in, st::api_send("alice", 1, "early")));
	std::string buf;
	ASSERT_TRUE(st::api_read_type(bob.out, TOLVAR_API_RECEIVE_MESSAGE, &buf));	// bob's copy: the server sent it
	std::string out;
	tt::read_for(alice.out, 1500, &out);
	EXPECT_EQ(out, "");

	std::string pass;
	ASSERT_TRUE(st::api_handshake(alice, &pass));
	std::string got;
	ASSERT_TRUE(st::api_read(alice.out, &got));
	EXPECT_EQ(got, std::string("\0\0\0\x08\x83\x01\x05" "alice", 12));
	ASSERT_TRUE(st::api_read(alice.out, &got));
	EXPECT_EQ(got, std::string("\0\0\0\x06\x83\x01\x03" "bob", 10));
	api::Message m = next_message(alice, &buf);
	EXPECT_EQ(m.from, "bob");
	EXPECT_EQ(m.text, "early");
}

TEST_F(ApiSession, RepeatedHandshakesAreAnsweredAndABadOneEnds)
{
	write_motd("m\n");
	tt::Process p;
	ASSERT_TRUE(start("alice", &p));
	std::string got;
	ASSERT_TRUE(st::api_handshake(p));
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_MOTD, &got));
	ASSERT_TRUE(tt::write_all(p.in, st::api_hello(3)));
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_PASS, &got));
	EXPECT_EQ(st::be16(got, 11), 2);
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_MOTD, &got));
	ASSERT_TRUE(tt::write_all(p.in, st::api_hello(0)));
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 1);
}

TEST_F(ApiSession, ServerGoingAwayIsErrorOne)
{
	tt::Process p;
	ASSERT_TRUE(start_ready("alice", &p));
	server_.proc.kill_now();
	std::string got;
	ASSERT_TRUE(st::api_read_type(p.out, TOLVAR_API_ERROR, &got, 10000));
	EXPECT_EQ(got, std::string("\0\0\0\x21\x84\0\0\0\x01\0\0\0\x18Server closed connection", 37));
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0);
}

TEST_F(ApiSession, VersionTwoGetsTheHistoryOnRequestAndVersionOneNothingNew)
{
	tt::Process alice;
	ASSERT_TRUE(start_ready("alice", &alice));
	std::string buf;
	int64_t before = (int64_t)time(nullptr);
	for (const char *t : {"one", "two", "three"}) {
		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("*", TOLVAR_API_KIND_PLAIN, t)));
		next_message(alice, &buf);
	}
	ASSERT_TRUE(tt::write_all(alice.in, st::api_send("bob", TOLVAR_API_KIND_PLAIN, "private")));
	ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_ERROR, &buf));

	tt::Process bot;
	ASSERT_TRUE(start("bot", &bot));
	ASSERT_TRUE(st::api_handshake(bot, nullptr, 2));
	// The last two, oldest first, with the time the server received them; then the end.
	size_t size = 0;
	unsigned char *ask = api::build_get_history(2, &size);
	ASSERT_TRUE(tt::write_all(bot.in, std::string(reinterpret_cast<char *>(ask), size)));
	free(ask);
	std::vector<std::string> texts;
	for (;;) {
		ASSERT_TRUE(st::api_read(bot.out, &buf));
		api::Packet p = open(buf);
		api::Message m{};
		api::HistoryEnd end{};
		if (api::parse_history_end(p, &end) == api::OK) {
			EXPECT_EQ(buf.size(), 7u);
			EXPECT_EQ(end.count, texts.size());
			break;
		}
		if (p.type == TOLVAR_API_USER_STATE)
			continue;
		ASSERT_EQ(api::parse_history_message(p, &m), api::OK) << (int)p.type;
		EXPECT_EQ(m.from, "alice");
		EXPECT_EQ(m.to, "*");	// in version 2 as it was sent
		EXPECT_GE((int64_t)m.time, before);
		texts.emplace_back(m.text);
	}
	EXPECT_EQ(texts, (std::vector<std::string>{"two", "three"}));
	// 0 asks for all; extra bytes are ignored; a request without its count is dropped.
	ASSERT_TRUE(tt::write_all(bot.in, st::api_packet(TOLVAR_API_GET_HISTORY, std::string("\0", 1))));
	ASSERT_TRUE(tt::write_all(bot.in, st::api_packet(TOLVAR_API_GET_HISTORY, std::string("\0\0extra", 7))));
	ASSERT_TRUE(st::api_read_type(bot.out, TOLVAR_API_HISTORY_END, &buf));
	EXPECT_EQ(st::be16(buf, 5), 3u);
	EXPECT_TRUE(tt::Syslog::instance().wait_for("TOLVAR_API_GET_HISTORY: packet too short (length 2)", LOG_WARNING));

	// A program that says version 1 sees version 1: the request is an unknown type.
	tt::Process old;
	ASSERT_TRUE(start("old", &old));
	std::string pass;
	ASSERT_TRUE(st::api_handshake(old, &pass, 1));
	EXPECT_EQ(st::be16(pass, 11), 1u);
	ASSERT_TRUE(tt::write_all(old.in, st::api_packet(TOLVAR_API_GET_HISTORY, std::string("\0\0", 2))));
	ASSERT_TRUE(tt::write_all(old.in, st::api_get_motd()));
	do
		ASSERT_TRUE(st::api_read(old.out, &buf));
	while (st::api_type(buf) == TOLVAR_API_USER_STATE);
	EXPECT_EQ(st::api_type(buf), TOLVAR_API_ERROR);	// the answer to the motd request, nothing before it
	EXPECT_TRUE(tt::Syslog::instance().wait_for("Received unknown API packet type 5", LOG_WARNING));
}
