// Session set-up as the SSH daemon starts it: tolvard -c NAME as a real account, with the
// daemon's environment, on pipes and pseudo-terminals, against a scripted server socket.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/client/session-harness.h"

namespace {

class ClientSetup : public ::testing::Test {
protected:
	void SetUp() override
	{
		tt::Syslog::instance();
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvapi"), &acct_));
	}
	void TearDown() override { tt::remove_account(acct_); }

	std::vector<std::string> env(const std::string &command = "api") { return tt::ssh_env(acct_, command); }

	// Runs a session that is expected to fail during set-up; returns its status and stderr.
	int fail(const std::string &user, const std::vector<std::string> &e, std::string *err)
	{
		std::string out;
		return st::run_session(acct_, user, e, &out, err);
	}

	bool has_record(const std::string &ident, const std::string &text, int level)
	{
		for (const auto &r : tt::Syslog::instance().records())
			if (r.ident == ident && r.text == text && r.level == level)
				return true;
		return false;
	}

	tt::Account acct_;
};

struct Login {
	uint64_t length = 0;
	std::string user, host, encoding;
};

// The login packet of one session started with env.
bool login_of(const tt::Account &a, const std::string &user, const std::vector<std::string> &env, Login *out)
{
	st::FakeServer server;
	if (!server.start(a))
		return false;
	tt::Process p;
	if (!st::start_session(a, user, env, &p))
		return false;
	int fd = server.accept_one();
	if (fd < 0)
		return false;
	std::string packet = tt::read_local_packet(fd);
	// Let the session reach its frontend before it is killed, so that its start is logged.
	for (int i = 0; i < 500; i++) {
		bool started = false;
		for (const auto &r : tt::Syslog::instance().records())
			started = started || (r.pid == p.pid && r.text == "API server started");
		if (started)
			break;
		usleep(10000);
	}
	close(fd);
	if (packet.size() < 173 || tt::packet_type(packet) != 0)
		return false;
	out->length = tt::packet_length(packet);
	out->user = std::string(packet.c_str() + 12);
	out->host = std::string(packet.c_str() + 44);
	out->encoding = std::string(packet.c_str() + 172);
	return true;
}

}  // namespace

TEST_F(ClientSetup, RefusesToRunOutsideAnSshSession)
{
	std::string err;
	EXPECT_EQ(fail("alice", st::with_env(env(), "SSH_CLIENT", "", true), &err), 1);
	EXPECT_EQ(err, "client mode can only be used in a SSH session\n");
}

TEST_F(ClientSetup, RefusesInvalidUserNames)
{
	std::string err;
	EXPECT_EQ(fail("a/b", env(), &err), 1);
	EXPECT_EQ(err, "Invalid user name 'a/b'\n");
	err.clear();
	EXPECT_EQ(fail(std::string(33, 'x'), env(), &err), 1);
	EXPECT_EQ(err, "Invalid user name '" + std::string(33, 'x') + "'\n");
}

TEST_F(ClientSetup, RefusesUnknownAndEmptyCommands)
{
	for (const char *command : {"CLI", "cli ", "", "shell", "api\n"}) {
		std::string err;
		EXPECT_EQ(fail("alice", st::with_env(env(), "SSH_ORIGINAL_COMMAND", command), &err), 1) << command;
		EXPECT_EQ(err, std::string("Command '") + command + "' is not recognized\n");
	}
}

TEST_F(ClientSetup, ReportsAMissingServer)
{
	std::string err;
	EXPECT_EQ(fail("alice", env(), &err), 1);
	EXPECT_EQ(err, "connect: No such file or directory\n");
}

TEST_F(ClientSetup, LogIdentityNamesUserAndModeAndTzIsSanitised)
{
	struct Case {
		const char *command;	// nullptr: no SSH_ORIGINAL_COMMAND
		const char *tz;
		const char *message;	// on standard error; nullptr: none
		const char *record;	// warning record; nullptr: none
	} cases[] = {
		{nullptr, "/usr/share/zoneinfo/UTC", "Ignoring absolute path name in TZ\n",
		 "TZ contains absolute path name '/usr/share/zoneinfo/UTC', ignored"},
		{"log", ":/etc/localtime", "Ignoring absolute path name in TZ\n",
		 "TZ contains absolute path name ':/etc/localtime', ignored"},
		{"api", "Europe/../../x", "Ignoring TZ\n", "TZ='Europe/../../x', ignored"},
		{"api", "/../x", "Ignoring absolute path name in TZ\n", "TZ contains absolute path name '/../x', ignored"},
		{"api", ":UTC", nullptr, nullptr},
		{"api", "Europe/Paris", nullptr, nullptr},
	};
	for (const Case &c : cases) {
		tt::Syslog::instance().clear();
		auto e = st::with_env(c.command == nullptr ? env("") : env(c.command), "TZ", c.tz);
		std::string err;
		EXPECT_EQ(fail("alice", e, &err), 1);	// no server
		std::string want = std::string(c.message == nullptr ? "" : c.message) + "connect: No such file or directory\n";
		EXPECT_EQ(err, want) << c.tz;
		std::string ident = std::string("tolvard:alice:") + (c.command == nullptr ? "cli" : c.command);
		if (c.record != nullptr) {
			EXPECT_TRUE(tt::Syslog::instance().wait_for(c.record, LOG_WARNING, 5000)) << tt::Syslog::instance().dump();
			EXPECT_TRUE(has_record(ident, c.record, LOG_WARNING)) << tt::Syslog::instance().dump();
		} else {
			EXPECT_FALSE(tt::Syslog::instance().contains("TZ")) << tt::Syslog::instance().dump();
		}
	}
}

TEST_F(ClientSetup, SshClientStartingWithASpaceHasNoHost)
{
	st::FakeServer server;
	ASSERT_TRUE(server.start(acct_));
	std::string err;
	EXPECT_EQ(fail("alice", st::with_env(env(), "SSH_CLIENT", " 192.0.2.7 40000 22"), &err), 1);
	EXPECT_EQ(err, "send_login: Invalid argument\n");
}

TEST_F(ClientSetup, LoginCarriesUserHostAndEncoding)
{
	std::string enc23 = "abcdefghijklmnopqrstuvw", enc24 = enc23 + "x";
	struct Case {
		std::string user, ssh_client, lc_ctype, lang;
		std::string want_user, want_host, want_encoding;
	} cases[] = {
		{"alice", "192.0.2.7 40000 22", "", "en_US.UTF-8", "alice", "192.0.2.7", "UTF-8"},
		{"alice", "hostonly", "", "en_US.UTF-8", "alice", "hostonly", "UTF-8"},
		{"alice", std::string(200, 'h') + " 1 2", "", "C", "alice", std::string(127, 'h'), ""},
		{"alice", "::1 5 22", "POSIX", "en_US.UTF-8", "alice", "::1", ""},
		{"alice", "::1 5 22", "", "ja_JP.eucJP", "alice", "::1", "eucJP"},
		{"alice", "::1 5 22", "de_DE.ISO-8859-15@euro", "en_US.UTF-8", "alice", "::1", "ISO-8859-15@euro"},
		{"alice", "::1 5 22", "", "xx." + enc23, "alice", "::1", enc23},
		{"alice", "::1 5 22", "", "xx." + enc24, "alice", "::1", ""},
		{std::string(32, 'u'), "::1 5 22", "", "", std::string(31, 'u'), "::1", ""},
	};
	for (const Case &c : cases) {
		auto e = st::with_env(env(), "SSH_CLIENT", c.ssh_client);
		e = st::with_env(e, "LANG", c.lang, c.lang.empty());
		e = st::with_env(e, "LC_CTYPE", c.lc_ctype, c.lc_ctype.empty());
		Login l;
		ASSERT_TRUE(login_of(acct_, c.user, e, &l)) << c.lang;
		EXPECT_EQ(l.user, c.want_user);
		EXPECT_EQ(l.host, c.want_host);
		EXPECT_EQ(l.encoding, c.want_encoding) << c.lc_ctype << " " << c.lang;
		EXPECT_EQ(l.length, 169 + c.want_encoding.size());
	}
	EXPECT_TRUE(tt::Syslog::instance().wait_for("Text encoding name '" + enc24 + "' too long", LOG_WARNING));
	EXPECT_FALSE(tt::Syslog::instance().contains("Text encoding name '" + enc23 + "'"));
	// The log identity keeps the whole 32-byte name.
	EXPECT_TRUE(tt::Syslog::instance().wait_for("API server started", LOG_INFO));
	EXPECT_TRUE(has_record("tolvard:" + std::string(32, 'u') + ":api", "API server started", LOG_INFO))
		<< tt::Syslog::instance().dump();
}

TEST_F(ClientSetup, OwnTerminalBecomesPrivate)
{
	st::FakeServer server;
	ASSERT_TRUE(server.start(acct_));
	tt::Process p;
	ASSERT_TRUE(st::start_session(acct_, "alice", env(), &p, true));
	std::string name = ptsname(p.in);
	int fd = server.accept_one();
	ASSERT_GE(fd, 0);	// set-up got past the terminal
	struct stat sb;
	ASSERT_EQ(stat(name.c_str(), &sb), 0);
	EXPECT_EQ(sb.st_mode & 0777, 0600u);
	EXPECT_EQ(sb.st_uid, acct_.uid);
	close(fd);
}

TEST_F(ClientSetup, TerminalOfAnotherOwnerEndsTheSession)
{
	// The terminal stays root's; the session itself runs as the account.
	tt::Spec s;
	s.argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(acct_.uid), "--regid=" + std::to_string(acct_.gid),
		  "--clear-groups", tt::tolvard_path(), "-c", "alice"};
	s.env = env();
	s.cwd = acct_.home;
	s.pty = true;
	tt::Process p;
	ASSERT_TRUE(tt::spawn(s, &p));
	std::string name = ptsname(p.in);
	ASSERT_TRUE(p.wait(20000));
	EXPECT_EQ(p.exit_code(), 1);
	EXPECT_TRUE(tt::Syslog::instance().wait_for("stdout terminal " + name + " isn't owned by me", LOG_ERR))
		<< tt::Syslog::instance().dump();
}
