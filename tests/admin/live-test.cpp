// tolvaradm and the running server: who, kick, mute and stats through the server's socket,
// removeuser ending the removed user's sessions, and what the tool says when no server runs.
// Sessions are raw clients of the local protocol.
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/admin-protocol.h"
#include "tests/admin/admin-fixture.h"

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		lines.push_back(line);
	return lines;
}

std::vector<std::string> split(const std::string &line, char sep)
{
	std::vector<std::string> fields;
	std::istringstream in(line);
	std::string f;
	while (std::getline(in, f, sep))
		fields.push_back(f);
	return fields;
}

class LiveAdminTest : public AdminTest {
protected:
	void TearDown() override
	{
		for (int fd : fds_)
			close(fd);
		stop_server();
		AdminTest::TearDown();
	}

	void start_server()
	{
		log_ = &tt::Syslog::instance();
		ASSERT_TRUE(tt::start_server(account_, &server_)) << log_->dump();
	}

	void stop_server()
	{
		if (server_.proc.pid > 0 && !server_.proc.reaped) {
			server_.proc.kill_now(SIGKILL);
			server_.proc.wait(10000);
		}
	}

	// A raw session of user, logged in and quiet: its announcements have been read.
	int session(const std::string &user, const std::string &encoding = "UTF-8", const std::string &host = "192.0.2.7")
	{
		int fd = tt::connect_socket(server_.socket_path);
		EXPECT_GE(fd, 0);
		fds_.push_back(fd);
		EXPECT_TRUE(tt::write_all(fd, tt::login_packet(user, host, encoding)));
		sync(fd);
		return fd;
	}

	// Reads fd's packets up to the answer of an online-users request made now; returns the
	// types of those that came before it.
	std::vector<int32_t> sync(int fd)
	{
		std::vector<int32_t> before;
		EXPECT_TRUE(tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)));
		for (;;) {
			std::string p = tt::read_local_packet(fd, 10000);
			EXPECT_FALSE(p.empty()) << log_->dump();
			if (p.empty() || tt::packet_type(p) == LOCAL_PACKET_ONLINE_USERS)
				return before;
			before.push_back(tt::packet_type(p));
		}
	}

	void post(int fd, const std::string &to, const std::string &text)
	{
		EXPECT_TRUE(tt::write_all(fd, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", to, MESSAGE_KIND_PLAIN, text)));
	}

	// The next packet on fd, which must be of type; its payload.
	std::string expect_packet(int fd, int32_t type)
	{
		std::string p = tt::read_local_packet(fd, 10000);
		EXPECT_EQ(p.empty() ? -1 : tt::packet_type(p), type) << log_->dump();
		return p.size() >= 16 ? p.substr(12, p.size() - 16) : std::string();
	}

	bool ended(int fd)
	{
		std::string rest;
		return tt::read_to_eof(fd, 10000, &rest) && rest.empty();
	}

	tt::Syslog *log_ = nullptr;
	tt::Server server_;
	std::vector<int> fds_;
};

}  // namespace

TEST_F(LiveAdminTest, WithoutAServerTheLiveSubcommandsSaySoAndRemoveuserWorksAsBefore)
{
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		 {"who"}, {"kick", "alice"}, {"mute"}, {"mute", "alice", "10m"}, {"unmute", "alice"}, {"stats"}}) {
		AdmResult r = adm(args);
		EXPECT_EQ(r.code, 1) << args[0];
		EXPECT_EQ(r.err, "The chat server is not running\n") << args[0];
		EXPECT_EQ(r.out, "");
	}
	write_file(".ssh/authorized_keys", entry("alice", fake_key("ssh-ed25519", 1)));
	AdmResult r = adm({"removeuser", "-f", "alice"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(keys(), "");
}

TEST_F(LiveAdminTest, WhoListsTheLiveSessionsSortedByUserThenId)
{
	start_server();
	int bob1 = session("bob", "UTF-8", "192.0.2.2");
	int alice = session("alice", "ISO-8859-1", "192.0.2.1");
	int bob2 = session("bob", "", "198.51.100.20");
	int lurker = tt::connect_socket(server_.socket_path);	// never logs in: not a session
	fds_.push_back(lurker);
	post(alice, "GLOBAL", "one");
	post(alice, "bob", "two");
	sync(alice);
	(void)bob1;
	(void)bob2;

	AdmResult t = adm({"who", "-t"});
	ASSERT_EQ(t.code, 0) << t.err;
	std::vector<std::string> rows = lines_of(t.out);
	ASSERT_EQ(rows.size(), 3u) << t.out;
	std::vector<std::vector<std::string>> f;
	for (const std::string &row : rows)
		f.push_back(split(row, '\t'));
	for (const auto &fields : f)
		ASSERT_EQ(fields.size(), 7u);
	EXPECT_EQ(f[0][1], "alice");
	EXPECT_EQ(f[0][2], "192.0.2.1");
	EXPECT_EQ(f[0][3], "ISO-8859-1");
	EXPECT_EQ(f[0][6], "2");
	EXPECT_EQ(f[1][1], "bob");
	EXPECT_EQ(f[1][3], "UTF-8");
	EXPECT_EQ(f[1][6], "0");
	EXPECT_EQ(f[2][1], "bob");
	EXPECT_EQ(f[2][2], "198.51.100.20");
	EXPECT_EQ(f[2][3], "-");
	EXPECT_LT(std::stol(f[1][0]), std::stol(f[2][0]));
	long now = (long)time(nullptr);
	EXPECT_LE(now - std::stol(f[0][4]), 60);
	EXPECT_LE(std::stol(f[0][5]), std::stol(f[1][5]));

	// For people: a header, then the same rows with every column starting where its header does.
	AdmResult h = adm({"who"});
	ASSERT_EQ(h.code, 0) << h.err;
	std::vector<std::string> screen = lines_of(h.out);
	ASSERT_EQ(screen.size(), 4u) << h.out;
	size_t host_column = screen[0].find("HOST");
	size_t posts_column = screen[0].find("POSTS");
	ASSERT_NE(host_column, std::string::npos) << h.out;
	EXPECT_EQ(screen[1].find("192.0.2.1"), host_column) << h.out;
	EXPECT_EQ(screen[3].find("198.51.100.20"), host_column) << h.out;
	EXPECT_EQ(screen[1].substr(posts_column), "2") << h.out;
	EXPECT_NE(screen[1].find("alice"), std::string::npos);
}

TEST_F(LiveAdminTest, KickAndRemoveuserEndEverySessionOfTheUserAndTellThemWhy)
{
	start_server();
	int alice1 = session("alice");
	int alice2 = session("alice");
	int bob = session("bob");
	sync(alice1);
	sync(alice2);
	write_file(".ssh/authorized_keys", entry("bob", fake_key("ssh-ed25519", 2)));

	AdmResult r = adm_root({"kick", "alice", "back at noon"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "Ended 2 sessions of user alice\n");
	for (int fd : {alice1, alice2}) {
		EXPECT_EQ(expect_packet(fd, LOCAL_PACKET_KICKED), "back at noon");
		EXPECT_TRUE(ended(fd));
	}
	// The others see the usual announcement, once.
	EXPECT_EQ(expect_packet(bob, LOCAL_PACKET_USER_OFFLINE), std::string("alice\0", 6));
	EXPECT_TRUE(sync(bob).empty());
	EXPECT_TRUE(log_->wait_for("user alice kicked by uid 0 (peer uid " + std::to_string(account_.uid) +
				   "): 2 sessions ended", LOG_NOTICE))
	    << log_->dump();

	r = adm({"kick", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "User alice has no session\n");

	// Removing a user's keys ends the user's sessions too.
	r = adm({"removeuser", "-f", "bob"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "Ended 1 sessions of user bob\n");
	EXPECT_EQ(expect_packet(bob, LOCAL_PACKET_KICKED), "your keys have been removed");
	EXPECT_TRUE(ended(bob));
	EXPECT_EQ(keys(), "");
}

TEST_F(LiveAdminTest, AMutedUsersPostsReachNobodyAndTheMuteOutlivesARestart)
{
	start_server();
	int alice = session("alice");
	int bob = session("bob");
	sync(alice);
	AdmResult r = adm({"mute", "alice", "10m"});
	ASSERT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err.rfind("User alice muted until ", 0), 0u) << r.err;

	post(alice, "GLOBAL", "can you hear me");
	post(alice, "bob", "psst");
	for (int i = 0; i < 2; i++) {
		std::string notice = expect_packet(alice, LOCAL_PACKET_MUTED);
		ASSERT_EQ(notice.size(), 8u);
		uint64_t left;
		memcpy(&left, notice.data(), 8);
		EXPECT_GT(left, 590u);
		EXPECT_LE(left, 600u);
	}
	EXPECT_TRUE(sync(bob).empty());
	EXPECT_TRUE(sync(alice).empty());

	r = adm({"mute"});
	EXPECT_EQ(r.code, 0) << r.err;
	ASSERT_EQ(lines_of(r.out).size(), 1u) << r.out;
	EXPECT_EQ(r.out.rfind("alice ", 0), 0u) << r.out;
	EXPECT_TRUE(r.out.find("  9m ") != std::string::npos || r.out.find("  10m 0s") != std::string::npos) << r.out;
	EXPECT_EQ(mode_of("mutes"), 0600u);

	// A new server reads the mute back.
	stop_server();
	start_server();
	alice = session("alice");
	bob = session("bob");
	sync(alice);
	post(alice, "bob", "still there?");
	expect_packet(alice, LOCAL_PACKET_MUTED);
	EXPECT_TRUE(sync(bob).empty());

	r = adm({"unmute", "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "User alice unmuted\n");
	post(alice, "bob", "free again");
	std::string p = expect_packet(bob, LOCAL_PACKET_RECEIVE_MESSAGE);
	EXPECT_NE(p.find("free again"), std::string::npos);
	r = adm({"unmute", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "User alice is not muted\n");
	r = adm({"mute"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "No user is muted\n");

	for (const char *bad : {"0s", "10x", "m", "400d", "-5m"}) {
		r = adm({"mute", "alice", bad});
		EXPECT_EQ(r.code, 255) << bad;
	}
}

TEST_F(LiveAdminTest, StatsCountWhatHappenedAndParseAsPrometheusText)
{
	start_server();
	int alice = session("alice", "UTF-8");
	int latin = session("latin", "ISO-8859-1");
	post(alice, "GLOBAL", "caf\xc3\xa9");
	post(alice, "latin", "na\xc3\xafve");
	sync(alice);
	sync(latin);
	ASSERT_EQ(adm({"kick", "latin"}).code, 0);

	AdmResult r = adm({"stats"});
	ASSERT_EQ(r.code, 0) << r.err;
	auto line = [](std::string label, const std::string &value) {
		label.resize(36, ' ');
		return "\n" + label + " " + value + "\n";
	};
	EXPECT_NE(r.out.find(line("posts", "2")), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(line("conversions", "2")), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(line("kicks", "1")), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(line("sessions at most", "2")), std::string::npos) << r.out;

	r = adm({"stats", "--prometheus"});
	ASSERT_EQ(r.code, 0) << r.err;
	std::string file = key_dir_ + "/metrics.prom";
	std::ofstream(file) << r.out;
	// The Python client's parser of the text format, as the node exporter's collector reads it.
	std::string script =
	    "import sys\n"
	    "from prometheus_client.parser import text_string_to_metric_families as parse\n"
	    "for f in parse(open(sys.argv[1]).read()):\n"
	    "    assert f.name.startswith('tolvar_') and f.documentation, f.name\n"
	    "    for s in f.samples:\n"
	    "        print(f.type, s.name, int(s.value))\n";
	std::ofstream(key_dir_ + "/parse.py") << script;
	tt::Spec s;
	s.argv = {"/usr/bin/python3", key_dir_ + "/parse.py", file};
	s.env = {"PATH=/usr/bin:/bin"};
	std::string out, err;
	ASSERT_EQ(tt::run(s, &out, &err), 0) << err << r.out;
	EXPECT_NE(out.find("counter tolvar_posts_total 2\n"), std::string::npos) << out;
	EXPECT_NE(out.find("counter tolvar_deliveries_total 4\n"), std::string::npos) << out;
	EXPECT_NE(out.find("counter tolvar_kicks_total 1\n"), std::string::npos) << out;
	EXPECT_NE(out.find("gauge tolvar_sessions 1\n"), std::string::npos) << out;
	EXPECT_NE(out.find("gauge tolvar_uptime_seconds "), std::string::npos) << out;
	EXPECT_EQ(lines_of(out).size(), 16u) << out;
}
