// The whole road: real keys registered with tolvaradm, a real sshd on a free loopback port,
// the service account with tolvard as its login shell, the real server, and ssh clients in
// the three modes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/tolvar-api-client.h"
#include "testing/proc-files.h"
#include "testing/sshd.h"
#include "testing/support.h"

namespace {

// API framing, as a program writes and reads it.
std::string api_packet(uint8_t type, const std::string &fields)
{
	std::string p(4, '\0');
	uint32_t n = htonl((uint32_t)(fields.size() + 1));
	memcpy(&p[0], &n, 4);
	p += (char)type;
	return p + fields;
}

std::string api_hello(char version = 1) { return api_packet(1, std::string("TOLVAR\0", 7) + version); }

std::string api_send(const std::string &to, uint8_t kind, const std::string &text)
{
	std::string f;
	f += (char)to.size();
	f += to;
	f += (char)kind;
	uint32_t n = htonl((uint32_t)text.size());
	f.append(reinterpret_cast<const char *>(&n), 4);
	return api_packet(3, f + text);
}

// Reads one API packet (length field, type and fields).
bool api_read(int fd, std::string *p, int timeout_ms = 10000)
{
	p->clear();
	if (!tt::read_exact(fd, 4, timeout_ms, p))
		return false;
	uint32_t n;
	memcpy(&n, p->data(), 4);
	n = ntohl(n);
	return n > 0 && n < (8u << 20) && tt::read_exact(fd, n, timeout_ms, p);
}

struct ApiMessage {
	std::string from, to, text;
	int kind = 0;
};

// Reads packets until a RECEIVE_MESSAGE (0x82) arrives.
bool api_read_message(int fd, ApiMessage *m, int timeout_ms = 10000)
{
	std::string p;
	while (api_read(fd, &p, timeout_ms)) {
		if ((uint8_t)p[4] != 0x82)
			continue;
		size_t o = 13;
		size_t f = (uint8_t)p[o++];
		m->from = p.substr(o, f);
		o += f;
		size_t t = (uint8_t)p[o++];
		m->to = p.substr(o, t);
		o += t;
		m->kind = (uint8_t)p[o++];
		uint32_t x;
		memcpy(&x, p.data() + o, 4);
		o += 4;
		m->text = p.substr(o, ntohl(x));
		return true;
	}
	return false;
}

// Reads packets until a USER_STATE (0x83) for name with the given flag arrives.
bool api_wait_user_state(int fd, const std::string &name, bool online, int timeout_ms)
{
	std::string p;
	while (api_read(fd, &p, timeout_ms)) {
		if ((uint8_t)p[4] == 0x83 && (uint8_t)p[5] == (online ? 1 : 0) &&
		    p.substr(7, (uint8_t)p[6]) == name)
			return true;
	}
	return false;
}

// Reads packets until an ERROR (0x84) arrives; its code and text.
bool api_read_error(int fd, uint32_t *code, std::string *text, int timeout_ms = 10000)
{
	std::string p;
	while (api_read(fd, &p, timeout_ms)) {
		if ((uint8_t)p[4] != 0x84)
			continue;
		uint32_t c, n;
		memcpy(&c, p.data() + 5, 4);
		memcpy(&n, p.data() + 9, 4);
		*code = ntohl(c);
		*text = p.substr(13, ntohl(n));
		return true;
	}
	return false;
}

// Runs tolvaradm as root; its exit code, with what it printed in *out and *err.
int adm(const std::vector<std::string> &args, std::string *out = nullptr, std::string *err = nullptr)
{
	tt::Spec s;
	s.argv = {tt::tolvaradm_path()};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
	std::string o, e;
	int code = tt::run(s, &o, &e);
	if (out != nullptr)
		*out = o;
	if (err != nullptr)
		*err = e;
	return code;
}

// What sshd would apply to a connection of user, one "keyword value" line each, as sshd -T
// prints them.
std::string sshd_settings(const std::string &config, const std::string &user)
{
	tt::Spec s;
	s.argv = {"/usr/sbin/sshd", "-T", "-f", config, "-C", "user=" + user + ",host=x,addr=127.0.0.1"};
	s.env = {"PATH=/usr/sbin:/usr/bin:/bin"};
	std::string out, err;
	EXPECT_EQ(tt::run(s, &out, &err), 0) << err;
	return out;
}

// The values of keyword in sshd -T output, one per line that has it.
std::vector<std::string> values(const std::string &settings, const std::string &keyword)
{
	std::vector<std::string> v;
	std::istringstream in(settings);
	std::string line;
	while (std::getline(in, line))
		if (line.compare(0, keyword.size() + 1, keyword + " ") == 0)
			v.push_back(line.substr(keyword.size() + 1));
	return v;
}

using Values = std::vector<std::string>;

class EndToEnd : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		tt::Syslog::instance();
		dir_ = tt::make_scratch_dir("tolvar-e2e");
		ASSERT_FALSE(dir_.empty());
		ASSERT_TRUE(tt::create_account("tolvar", &account_, tt::tolvard_path()));
		ASSERT_TRUE(tt::unlock_for_ssh("tolvar"));
		// The server as it runs on a host: flood control at its defaults.
		ASSERT_TRUE(tt::start_server(account_, &server_, "", tt::FLOOD_DEFAULT));
		for (const char *u : {"alice", "bob", "carol", "dave", "latin", "erin", "frank"}) {
			std::string key = dir_ + "/" + u, err;
			ASSERT_TRUE(tt::make_key(key, u));
			ASSERT_TRUE(tt::register_key(key + ".pub", u, &err)) << err;
		}
		ASSERT_TRUE(tt::start_sshd(dir_, "tolvar", &sshd_)) << "sshd did not start";
	}

	static void TearDownTestSuite()
	{
		tt::stop_sshd(&sshd_);
		tt::stop_server(&server_);
		tt::remove_account(account_);
		tt::remove_tree(dir_);
	}

	// An ssh client for user u asking for command; with pty, on a pseudo-terminal (-tt).
	static bool ssh(const std::string &u, const std::string &command, tt::Process *p, bool pty = false,
			const std::string &lang = "en_US.UTF-8")
	{
		tt::Spec s;
		s.argv = tt::ssh_argv(dir_ + "/" + u, sshd_.port);
		for (const char *a : {"-o", "SendEnv=LANG", pty ? "-tt" : "-T", "tolvar@127.0.0.1"})
			s.argv.push_back(a);
		if (!command.empty())
			s.argv.push_back(command);
		s.env = {"PATH=/usr/bin:/bin", "HOME=" + dir_, "LANG=" + lang, "TERM=xterm"};
		s.pty = pty;
		return tt::spawn(s, p);
	}

	// An API session of u that has made its handshake (offering version); *pass is the PASS
	// packet.
	static bool api_session(const std::string &u, tt::Process *p, std::string *pass = nullptr,
				const std::string &lang = "en_US.UTF-8", char version = 1)
	{
		if (!ssh(u, "api", p, false, lang) || !tt::write_all(p->in, api_hello(version)))
			return false;
		std::string got;
		if (!api_read(p->out, &got) || (uint8_t)got[4] != 0x80)
			return false;
		if (pass != nullptr)
			*pass = got;
		return true;
	}

	static std::string dir_;
	static tt::Account account_;
	static tt::Server server_;
	static tt::Sshd sshd_;
};

std::string EndToEnd::dir_;
tt::Account EndToEnd::account_;
tt::Server EndToEnd::server_;
tt::Sshd EndToEnd::sshd_;

}  // namespace

TEST_F(EndToEnd, ApiProgramGetsPassWithTheNameItsKeyForces)
{
	tt::Process p;
	std::string pass;
	ASSERT_TRUE(api_session("alice", &p, &pass)) << tt::Syslog::instance().dump();
	EXPECT_EQ(pass.substr(5, 8), std::string("TOLVAR\0\1", 8));
	EXPECT_EQ((uint8_t)pass[13], 5);
	EXPECT_EQ(pass.substr(14), "alice");
	p.close_in();
	EXPECT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0);
}

TEST_F(EndToEnd, MessagesBetweenAnApiProgramALogViewAndATerminal)
{
	tt::Process alice, bob_log, bob_cli;
	ASSERT_TRUE(api_session("alice", &alice));
	ASSERT_TRUE(ssh("bob", "log", &bob_log));
	ASSERT_TRUE(ssh("bob", "cli", &bob_cli, true));
	ASSERT_TRUE(api_wait_user_state(alice.out, "bob", true, 15000));
	std::string screen;
	// The terminal session is up once it shows something of its own (its first line).
	tt::read_for(bob_cli.out, 1500, &screen);

	ASSERT_TRUE(tt::write_all(alice.in, api_send("bob", 1, "psst bob")));
	std::string log_out;
	EXPECT_TRUE(tt::read_until(bob_log.out, "psst bob", 10000, &log_out)) << log_out;
	EXPECT_NE(log_out.find("alice"), std::string::npos) << log_out;
	// The terminal shows colours, and its own name in the message as a mention.
	EXPECT_TRUE(tt::read_until(bob_cli.out, "psst \033[7mbob\033[0m", 10000, &screen)) << screen;

	ASSERT_TRUE(tt::write_all(bob_cli.in, "hello everybody\r"));
	ApiMessage m;
	do	// alice's own copy of "psst bob" comes first
		ASSERT_TRUE(api_read_message(alice.out, &m));
	while (m.from == "alice");
	EXPECT_EQ(m.from, "bob");
	EXPECT_EQ(m.to, "GLOBAL");
	EXPECT_EQ(m.kind, 1);
	EXPECT_EQ(m.text, "hello everybody");
	EXPECT_TRUE(tt::read_until(bob_log.out, "hello everybody", 10000, &log_out)) << log_out;

	// /quit ends the terminal session, and with it the ssh client.
	ASSERT_TRUE(tt::write_all(bob_cli.in, "/quit\r"));
	EXPECT_TRUE(bob_cli.wait(15000));
	EXPECT_EQ(bob_cli.exit_code(), 0);
}

TEST_F(EndToEnd, Latin1SessionReachesUtf8SessionConverted)
{
	tt::Process alice, latin;
	ASSERT_TRUE(api_session("alice", &alice));
	ASSERT_TRUE(api_session("latin", &latin, nullptr, "en_US.ISO-8859-1"));
	ASSERT_TRUE(tt::write_all(latin.in, api_send("alice", 1, "caf\xe9 cr\xe8me")));
	ApiMessage m;
	ASSERT_TRUE(api_read_message(alice.out, &m));
	EXPECT_EQ(m.from, "latin");
	EXPECT_EQ(m.text, "caf\xc3\xa9 cr\xc3\xa8me");
	// And back: alice's UTF-8 reaches the Latin-1 session as Latin-1.
	ASSERT_TRUE(tt::write_all(alice.in, api_send("latin", 1, "\xc3\xa0 bient\xc3\xb4t")));
	do
		ASSERT_TRUE(api_read_message(latin.out, &m));
	while (m.from != "alice");
	EXPECT_EQ(m.text, "\xe0 bient\xf4t");
}

TEST_F(EndToEnd, KillingTheSshClientEndsTheSessionAndAnnouncesTheUserOffline)
{
	tt::Process alice, carol;
	ASSERT_TRUE(api_session("alice", &alice));
	ASSERT_TRUE(ssh("carol", "log", &carol));
	ASSERT_TRUE(api_wait_user_state(alice.out, "carol", true, 15000));
	carol.kill_now(SIGKILL);
	ASSERT_TRUE(carol.wait(5000));
	// The session notices its vanished parent within a minute.
	EXPECT_TRUE(api_wait_user_state(alice.out, "carol", false, 75000)) << tt::Syslog::instance().dump();
}

TEST_F(EndToEnd, RemovedUserIsDisconnectedAndCannotLogInAgain)
{
	tt::Process d;
	ASSERT_TRUE(api_session("dave", &d));

	std::string out, err;
	ASSERT_EQ(adm({"removeuser", "-f", "dave"}, &out, &err), 0) << err;
	EXPECT_EQ(err, "Ended 1 sessions of user dave\n");
	// A program of version 1 sees what it sees when the server goes away.
	uint32_t code = 0;
	std::string text;
	ASSERT_TRUE(api_read_error(d.out, &code, &text)) << tt::Syslog::instance().dump();
	EXPECT_EQ(code, 1u);
	EXPECT_EQ(text, "Server closed connection");
	EXPECT_TRUE(d.wait(15000));
	EXPECT_EQ(d.exit_code(), 0);

	tt::Process again;
	ASSERT_TRUE(ssh("dave", "api", &again));
	std::string got;
	tt::read_to_eof(again.out, 15000, &got);
	EXPECT_TRUE(again.wait(15000));
	EXPECT_EQ(again.exit_code(), 255);	// ssh: permission denied
	EXPECT_TRUE(got.empty());
}

TEST_F(EndToEnd, WhoListsTheSessionsAndKickEndsThemWithTheAdministratorsMessage)
{
	tt::Process bob_cli, bob_api, bob_v2, carol;
	ASSERT_TRUE(ssh("bob", "cli", &bob_cli, true));
	ASSERT_TRUE(api_session("bob", &bob_api));
	ASSERT_TRUE(api_session("bob", &bob_v2, nullptr, "en_US.UTF-8", 2));
	ASSERT_TRUE(api_session("carol", &carol));
	std::string screen;
	tt::read_for(bob_cli.out, 1500, &screen);

	std::string out, err;
	ASSERT_EQ(adm({"who", "-t"}, &out, &err), 0) << err;
	std::vector<std::string> users;
	std::istringstream rows(out);
	std::string row;
	while (std::getline(rows, row)) {
		std::vector<std::string> f;
		std::istringstream fields(row);
		std::string field;
		while (std::getline(fields, field, '\t'))
			f.push_back(field);
		ASSERT_EQ(f.size(), 7u) << out;
		EXPECT_EQ(f[2], "127.0.0.1") << out;
		EXPECT_EQ(f[3], "UTF-8") << out;
		users.push_back(f[1]);
	}
	EXPECT_EQ(users, (Values{"bob", "bob", "bob", "carol"})) << out;

	ASSERT_EQ(adm({"kick", "bob", "maintenance at noon"}, &out, &err), 0) << err;
	EXPECT_EQ(err, "Ended 3 sessions of user bob\n");
	// The terminal shows why, and the session ends.
	EXPECT_TRUE(tt::read_until(bob_cli.out, "Disconnected by the administrator: maintenance at noon", 10000, &screen))
	    << screen;
	EXPECT_TRUE(bob_cli.wait(15000));
	EXPECT_EQ(bob_cli.exit_code(), 0);
	// Version 1: the end of the connection, as when the server goes away.
	uint32_t code = 0;
	std::string text;
	ASSERT_TRUE(api_read_error(bob_api.out, &code, &text));
	EXPECT_EQ(code, 1u);
	EXPECT_TRUE(bob_api.wait(15000));
	// Version 2 and later: error 8 with the message, then the end.
	ASSERT_TRUE(api_read_error(bob_v2.out, &code, &text));
	EXPECT_EQ(code, (uint32_t)TOLVAR_API_ERROR_DISCONNECTED);
	EXPECT_EQ(text, "Disconnected by the administrator: maintenance at noon");
	std::string rest;
	EXPECT_TRUE(tt::read_to_eof(bob_v2.out, 10000, &rest));
	EXPECT_TRUE(bob_v2.wait(15000));
	EXPECT_EQ(bob_v2.exit_code(), 0);
	// The others see the user go offline.
	EXPECT_TRUE(api_wait_user_state(carol.out, "bob", false, 10000));
	EXPECT_EQ(adm({"kick", "bob"}, &out, &err), 1);
}

TEST_F(EndToEnd, AMutedUserIsToldAndNobodyReceivesThePost)
{
	tt::Process frank, frank_v2, carol;
	ASSERT_TRUE(api_session("carol", &carol));
	ASSERT_TRUE(ssh("frank", "cli", &frank, true));
	ASSERT_TRUE(api_session("frank", &frank_v2, nullptr, "en_US.UTF-8", 2));
	ASSERT_TRUE(api_wait_user_state(carol.out, "frank", true, 15000));
	std::string screen, out, err;
	tt::read_for(frank.out, 1500, &screen);
	ASSERT_EQ(adm({"mute", "frank", "5m"}, &out, &err), 0) << err;

	ASSERT_TRUE(tt::write_all(frank.in, "anyone there?\r"));
	EXPECT_TRUE(tt::read_until(frank.out, "more; your message was not delivered", 10000, &screen)) << screen;
	EXPECT_NE(screen.find("You are muted for "), std::string::npos) << screen;
	ASSERT_TRUE(tt::write_all(frank_v2.in, api_send("carol", 1, "psst")));
	uint32_t code = 0;
	std::string text;
	ASSERT_TRUE(api_read_error(frank_v2.out, &code, &text));
	EXPECT_EQ(code, (uint32_t)TOLVAR_API_ERROR_MUTED);
	EXPECT_EQ(text.rfind("You are muted for ", 0), 0u) << text;

	ASSERT_EQ(adm({"unmute", "frank"}, &out, &err), 0) << err;
	ASSERT_TRUE(tt::write_all(frank.in, "back again\r"));
	// The first message carol gets from frank is the one after the mute.
	ApiMessage m;
	do
		ASSERT_TRUE(api_read_message(carol.out, &m));
	while (m.from != "frank");
	EXPECT_EQ(m.text, "back again");
	ASSERT_TRUE(tt::write_all(frank.in, "/quit\r"));
	EXPECT_TRUE(frank.wait(15000));
}

TEST_F(EndToEnd, TheSeventeenthSessionOfAUserIsRefusedWithItsReason)
{
	// Sixteen sessions of erin straight on the server's socket, then a terminal over ssh.
	std::vector<int> held;
	for (int i = 0; i < 16; i++) {
		int fd = tt::connect_socket(server_.socket_path);
		ASSERT_GE(fd, 0);
		held.push_back(fd);
		ASSERT_TRUE(tt::write_all(fd, tt::login_packet("erin", "192.0.2.9", "UTF-8")));
	}
	for (int waited = 0; tt::Syslog::instance().count("user erin login from 192.0.2.9") < 16; waited += 10) {
		ASSERT_LT(waited, 10000) << tt::Syslog::instance().dump();
		usleep(10000);
	}
	tt::Process erin;
	ASSERT_TRUE(ssh("erin", "cli", &erin, true));
	std::string screen;
	EXPECT_TRUE(tt::read_until(erin.out, "Too many sessions of user erin (at most 16); login refused", 15000, &screen))
	    << screen << tt::Syslog::instance().dump();
	EXPECT_TRUE(erin.wait(15000));
	EXPECT_EQ(erin.exit_code(), 1);
	for (int fd : held)
		close(fd);
}

TEST_F(EndToEnd, EchoBotAnswersOverSsh)
{
	// The example bot, connected as a program would be: it runs the ssh command itself.
	tt::Spec s;
	s.argv = tt::ssh_argv(dir_ + "/bob", sshd_.port);
	s.argv.insert(s.argv.begin(), tt::program_path(TOLVAR_ECHO_BOT_PATH));
	for (const char *a : {"-T", "tolvar@127.0.0.1", "api"})
		s.argv.push_back(a);
	s.env = {"PATH=/usr/bin:/bin", "HOME=" + dir_, "LANG=en_US.UTF-8"};
	tt::Process bot, alice;
	ASSERT_TRUE(api_session("alice", &alice));
	ASSERT_TRUE(tt::spawn(s, &bot));
	ASSERT_TRUE(api_wait_user_state(alice.out, "bob", true, 15000));
	ASSERT_TRUE(tt::write_all(alice.in, api_send("bob", 1, "ping")));
	ApiMessage m;
	do
		ASSERT_TRUE(api_read_message(alice.out, &m));
	while (m.from != "bob");
	EXPECT_EQ(m.to, "alice");
	EXPECT_EQ(m.text, "echo: ping");
}

TEST_F(EndToEnd, PythonClientLibraryAgainstRealSessions)
{
	// The Python library's tests of real sessions, through this suite's sshd, server and keys.
	const std::string python = std::string(TOLVAR_SOURCE_DIR) + "/clients/python";
	tt::Spec s;
	s.argv = {"/usr/bin/python3", "-B", "-m", "unittest", "-v", "test_sessions"};
	s.cwd = python + "/tests";
	s.env = {"PATH=/usr/bin:/bin", "HOME=" + dir_, "LANG=en_US.UTF-8", "PYTHONPATH=" + python,
		 "TOLVAR_TEST_SSH_PORT=" + std::to_string(sshd_.port), "TOLVAR_TEST_KEYS=" + dir_,
		 "TOLVAR_TEST_TOLVARADM=" + tt::tolvaradm_path()};
	s.merge_stderr = true;
	std::string out, err;
	EXPECT_EQ(tt::run(s, &out, &err, 180000), 0) << out << err;
	EXPECT_EQ(out.find("skipped"), std::string::npos) << out;
}

TEST(ShippedSshdSettings, ReachTheServiceAccountAloneAndOnlyItsKeyFile)
{
	std::string dir = tt::make_scratch_dir("tolvar-sshd");
	ASSERT_FALSE(dir.empty());
	ASSERT_TRUE(tt::make_key(dir + "/host_key", "host"));
	const std::string src = TOLVAR_SOURCE_DIR;

	// The system's sshd as Debian sets it up: the drop-ins first, then the host's own settings.
	std::ofstream(dir + "/system") << "HostKey " << dir << "/host_key\nInclude " << src
				       << "/dist/sshd-tolvar.conf\nAcceptEnv LANG LC_*\nX11Forwarding yes\n";
	std::string other = sshd_settings(dir + "/system", "alice");
	EXPECT_EQ(values(other, "acceptenv"), (Values{"LANG", "LC_*"})) << other;
	EXPECT_EQ(values(other, "authorizedkeysfile"), (Values{".ssh/authorized_keys .ssh/authorized_keys2"}));
	EXPECT_EQ(values(other, "x11forwarding"), (Values{"yes"}));
	EXPECT_EQ(values(other, "passwordauthentication"), (Values{"yes"}));
	EXPECT_EQ(values(other, "clientaliveinterval"), (Values{"0"}));
	std::string account = sshd_settings(dir + "/system", "tolvar");
	EXPECT_EQ(values(account, "acceptenv"), (Values{"LANG", "LC_*", "TZ"})) << account;
	EXPECT_EQ(values(account, "authorizedkeysfile"), (Values{".ssh/authorized_keys"}));
	EXPECT_EQ(values(account, "x11forwarding"), (Values{"no"}));
	EXPECT_EQ(values(account, "passwordauthentication"), (Values{"no"}));
	EXPECT_EQ(values(account, "permituserrc"), (Values{"no"}));
	EXPECT_EQ(values(account, "allowtcpforwarding"), (Values{"no"}));
	EXPECT_EQ(values(account, "clientaliveinterval"), (Values{"15"}));
	EXPECT_EQ(values(account, "clientalivecountmax"), (Values{"4"}));

	// The private daemon's whole configuration as run.sh fills it in, with a host key of ours.
	std::string private_config;
	ASSERT_TRUE(tt::read_file(src + "/dist/sshd_config.private", &private_config));
	std::istringstream in(private_config);
	std::ofstream priv(dir + "/private");
	priv << "HostKey " << dir << "/host_key\n";
	std::string line;
	while (std::getline(in, line)) {
		if (line.compare(0, 8, "HostKey ") == 0)
			continue;
		for (auto [from, to] : {std::pair<std::string, std::string>{"@PORT@", "2222"}, {"@ACCOUNT@", "tolvar"}})
			if (line.find(from) != std::string::npos)
				line.replace(line.find(from), from.size(), to);
		priv << line << "\n";
	}
	priv.close();
	account = sshd_settings(dir + "/private", "tolvar");
	EXPECT_EQ(values(account, "allowusers"), (Values{"tolvar"})) << account;
	EXPECT_EQ(values(account, "acceptenv"), (Values{"LANG", "LC_*", "TZ"}));
	EXPECT_EQ(values(account, "authorizedkeysfile"), (Values{".ssh/authorized_keys"}));
	EXPECT_EQ(values(account, "clientaliveinterval"), (Values{"15"}));
	EXPECT_EQ(values(account, "maxstartups"), (Values{"10:30:60"}));
	EXPECT_EQ(values(account, "persourcemaxstartups"), (Values{"10"}));
	tt::remove_tree(dir);
}

TEST_F(EndToEnd, HistoryAfterTheMotdOnATerminalAndOnRequestForVersionTwo)
{
	{
		std::ofstream motd(account_.home + "/motd");
		motd << "history day\n";
	}
	tt::Process alice;
	ASSERT_TRUE(api_session("alice", &alice));
	for (const char *t : {"e2e history one", "e2e history two"}) {
		ASSERT_TRUE(tt::write_all(alice.in, api_send("*", 1, t)));
		ApiMessage m;
		do
			ASSERT_TRUE(api_read_message(alice.out, &m));
		while (m.text != t);
	}

	// A terminal: the replay comes after the message of the day, closed by one status line.
	tt::Process dave;
	ASSERT_TRUE(ssh("dave", "cli", &dave, true));
	std::string screen;
	ASSERT_TRUE(tt::read_until(dave.out, "End of history (", 15000, &screen)) << screen;
	size_t motd = screen.find("history day"), one = screen.find("e2e history one"),
	       two = screen.find("e2e history two"), end = screen.find("End of history (");
	ASSERT_NE(motd, std::string::npos) << screen;
	EXPECT_LT(motd, one) << screen;
	EXPECT_LT(one, two) << screen;
	EXPECT_LT(two, end) << screen;
	ASSERT_TRUE(tt::write_all(dave.in, "/quit\r"));
	EXPECT_TRUE(dave.wait(15000));

	// A program that says version 2 gets the last two on request.
	tt::Process bot;
	std::string pass;
	ASSERT_TRUE(api_session("bob", &bot, &pass, "en_US.UTF-8", 2));
	EXPECT_EQ(pass.substr(5, 8), std::string("TOLVAR\0\2", 8));
	ASSERT_TRUE(tt::write_all(bot.in, api_packet(5, std::string("\0\2", 2))));
	std::vector<std::string> texts;
	std::string p;
	while (api_read(bot.out, &p)) {
		uint8_t type = (uint8_t)p[4];
		if (type == 0x87) {
			EXPECT_EQ(p, std::string("\0\0\0\3\x87\0\2", 7));
			break;
		}
		if (type != 0x86)
			continue;
		size_t f = (uint8_t)p[13], t = (uint8_t)p[14 + f];
		EXPECT_EQ(p.substr(14, f), "alice");
		EXPECT_EQ(p.substr(15 + f, t), "*");
		texts.push_back(p.substr(20 + f + t));
	}
	EXPECT_EQ(texts, (std::vector<std::string>{"e2e history one", "e2e history two"}));

	// One that says version 1 gets version 1 and nothing new: type 5 is ignored.
	tt::Process old;
	ASSERT_TRUE(api_session("carol", &old, &pass));
	EXPECT_EQ(pass.substr(5, 8), std::string("TOLVAR\0\1", 8));
	ASSERT_TRUE(tt::write_all(old.in, api_packet(5, std::string("\0\2", 2)) + api_packet(4, "")));
	do
		ASSERT_TRUE(api_read(old.out, &p));
	while ((uint8_t)p[4] == 0x83);
	EXPECT_EQ((uint8_t)p[4], 0x85);	// the motd answer, with nothing before it
	unlink((account_.home + "/motd").c_str());
}
