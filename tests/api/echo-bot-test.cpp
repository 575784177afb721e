// The example echo bot, running tolvard -c as its command, chatting with a real api session
// through the real server.
#include <gtest/gtest.h>

#include <string>

#include "api/tolvar-api-client.h"
#include "tests/client/session-harness.h"

namespace api = tolvarapi;

namespace {

// The next message from "echo" that reaches p.
bool echo_reply(tt::Process &p, std::string *text, int timeout_ms = 5000)
{
	std::string buf;
	while (st::api_read_type(p.out, TOLVAR_API_RECEIVE_MESSAGE, &buf, timeout_ms)) {
		api::Packet v;
		api::Message m;
		if (api::open_packet(buf.data(), buf.size(), &v) != api::OK || api::parse_message(v, &m) != api::OK)
			return false;
		if (m.from == "echo") {
			EXPECT_EQ(m.to, "alice");
			*text = std::string(m.text);
			return true;
		}
	}
	return false;
}

}  // namespace

TEST(EchoBot, AnswersPrivateMessagesOnly)
{
	tt::Syslog::instance();
	tt::Account acct;
	ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvapi"), &acct));
	{
		tt::Server server;
		ASSERT_TRUE(tt::start_server(acct, &server));
		tt::Process alice;
		ASSERT_TRUE(st::start_session(acct, "alice", tt::ssh_env(acct, "api"), &alice));
		ASSERT_TRUE(st::api_handshake(alice));
		// Said before the bot came: it asks for the last messages and prints them.
		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("*", TOLVAR_API_KIND_PLAIN, "before the bot")));
		std::string own;
		ASSERT_TRUE(st::api_read_type(alice.out, TOLVAR_API_RECEIVE_MESSAGE, &own));

		tt::Spec s;
		s.argv = {ECHO_BOT_PATH, "-v", "-H", "5", "/usr/bin/setpriv", "--reuid=" + std::to_string(acct.uid),
			  "--regid=" + std::to_string(acct.gid), "--clear-groups", tt::tolvard_path(), "-c", "echo"};
		s.env = tt::ssh_env(acct, "api");
		s.cwd = acct.home;
		s.stdin_null = true;
		tt::Process bot;
		ASSERT_TRUE(tt::spawn(s, &bot));
		std::string note;
		ASSERT_TRUE(tt::read_until(bot.err, "1 earlier messages\n", 10000, &note)) << note;
		EXPECT_NE(note.find("logged in as echo"), std::string::npos) << note;
		EXPECT_NE(note.find("echo-bot: earlier alice: before the bot\n"), std::string::npos) << note;

		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("echo", TOLVAR_API_KIND_PLAIN, "hello")));
		std::string text;
		ASSERT_TRUE(echo_reply(alice, &text));
		EXPECT_EQ(text, "echo: hello");

		// Neither an echo nor a message to everybody is answered.
		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("echo", TOLVAR_API_KIND_PLAIN, "echo: loop")));
		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("GLOBAL", TOLVAR_API_KIND_PLAIN, "hi all")));
		ASSERT_TRUE(tt::write_all(alice.in, st::api_send("echo", TOLVAR_API_KIND_HTML, "<p>second</p>")));
		ASSERT_TRUE(echo_reply(alice, &text));
		EXPECT_EQ(text, "echo: <p>second</p>");

		// The bot ends with its session.
		server.proc.kill_now();
		ASSERT_TRUE(bot.wait(10000));
		EXPECT_EQ(bot.exit_code(), 0);
	}
	tt::remove_account(acct);
}
