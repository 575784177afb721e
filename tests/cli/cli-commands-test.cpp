// The command interpreter, against a socket that stands in for the server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli-commands.h"
#include "cli/cli-complete.h"
#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "protocol/local-protocol.h"
#include "testing/support.h"
#include "tests/cli/capture.h"

namespace {

class CliCommands : public ::testing::Test {
protected:
	void SetUp() override
	{
		cli_state = CLI_STATE_INITIAL;
		cli_state.log_mode = true;	// plain timestamps: no CR, no bell
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
		char tmpl[] = "/tmp/tolvar-cmd-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
		ASSERT_EQ(chdir(dir_.c_str()), 0);
	}
	void TearDown() override
	{
		close(fds_[0]);
		close(fds_[1]);
		ASSERT_EQ(chdir(cwd_), 0);
		ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
		cli_state = CLI_STATE_INITIAL;
	}
	// Runs line; returns standard output and error.
	void run(const std::string &line, std::string *out = nullptr, std::string *err = nullptr)
	{
		Capture o(1), e(2);
		do_command(fds_[0], line.c_str());
		std::string es = e.text(), os = o.text();
		if (out != nullptr)
			*out = os;
		if (err != nullptr)
			*err = es;
	}
	// The next packet the "server" received, or "" when none is there.
	std::string sent(int timeout_ms = 200) { return tt::read_local_packet(fds_[1], timeout_ms); }
	struct Posted {
		int32_t type = -1;
		std::string to, text;
		int32_t kind = 0;
	};
	Posted posted()
	{
		Posted p;
		std::string packet = sent();
		if (packet.empty())
			return p;
		LocalPacketView v;
		MessageView m;
		EXPECT_EQ(local_packet_open(reinterpret_cast<const unsigned char *>(packet.data()), &v), 0);
		p.type = v.type;
		if (v.type == LOCAL_PACKET_POST_MESSAGE && local_parse_message(v, &m) == 0) {
			p.to = std::string(m.to_user);
			p.text = std::string(m.text);
			p.kind = m.kind;
		}
		return p;
	}
	void write_file(const char *name, const std::string &content)
	{
		FILE *f = fopen(name, "w");
		fwrite(content.data(), 1, content.size(), f);
		fclose(f);
	}
	int fds_[2];
	std::string dir_;
	char cwd_[4096];
};

std::string strip_time(const std::string &s)
{
	// "[hh:mm:ss] " at the start of each timestamped line
	std::string r;
	size_t i = 0;
	while (i < s.size()) {
		if (s.compare(i, 1, "[") == 0 && i + 11 <= s.size() && s[i + 3] == ':' && s[i + 6] == ':' &&
		    s[i + 9] == ']') {
			r += "[T] ";
			i += 11;
			continue;
		}
		r += s[i++];
	}
	return r;
}

}  // namespace

TEST_F(CliCommands, ChatLinesGoToEverybody)
{
	run("hello");
	Posted p = posted();
	EXPECT_EQ(p.type, LOCAL_PACKET_POST_MESSAGE);
	EXPECT_EQ(p.to, "GLOBAL");
	EXPECT_EQ(p.text, "hello");
	EXPECT_EQ(p.kind, MESSAGE_KIND_PLAIN);
	run("  spaced");
	EXPECT_EQ(posted().text, "  spaced");
	std::string out, err;
	run("", &out, &err);
	run("/", &out, &err);
	run("/   ", &out, &err);
	EXPECT_EQ(out + err, "");
	EXPECT_EQ(sent(), "");
}

TEST_F(CliCommands, LookupIsExactAndUnknownWordsAreReported)
{
	run("/ who");
	EXPECT_EQ(tt::packet_type(sent()), LOCAL_PACKET_GET_ONLINE_USERS);
	run("/list extra args");
	EXPECT_EQ(sent(), tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
	std::string out;
	run("/WHO", &out);
	EXPECT_EQ(strip_time(out), "[T] Error: Unknown command 'WHO'\n");
	run("/Who", &out);
	EXPECT_EQ(strip_time(out), "[T] Error: Unknown command 'Who'\n");
	run("/hel", &out);
	EXPECT_EQ(strip_time(out), "[T] Error: Unknown command 'hel'\n");
	EXPECT_EQ(sent(), "");
}

TEST_F(CliCommands, MsgJoinsWordsWithOneSpace)
{
	run("/msg bob hello    world");
	Posted p = posted();
	EXPECT_EQ(p.to, "bob");
	EXPECT_EQ(p.text, "hello world");
	run("/tell bob 'hello    world'");
	EXPECT_EQ(posted().text, "hello    world");
	run("/msg bob \"\"");
	p = posted();
	EXPECT_EQ(p.type, LOCAL_PACKET_POST_MESSAGE);
	EXPECT_EQ(p.text, "");
	run("/msg bob 'no closing quote  ");
	EXPECT_EQ(posted().text, "no closing quote  ");
	run("/msg " + std::string(40, 'n') + " x");
	EXPECT_EQ(posted().to, std::string(31, 'n'));
}

TEST_F(CliCommands, UsageLines)
{
	struct {
		const char *line, *usage;
	} cases[] = {
		{"/msg bob", "Usage: msg <user> <message> [<message> ...]\n"},
		{"/tell bob", "Usage: tell <user> <message> [<message> ...]\n"},
		{"/alert On", "Usage: alert off|on\n"},
		{"/bell on extra", "Usage: bell off|on\n"},
		{"/alert", "Usage: alert off|on\n"},
		{"/showhtml html", "Usage: showhtml off|color|plain|raw\n"},
		{"/color yes", "Usage: color off|on|auto\n"},
		{"/pasteimage", "Usage: pasteimage <user>\n"},
	};
	for (const auto &c : cases) {
		std::string out, err;
		run(c.line, &out, &err);
		EXPECT_EQ(err, c.usage) << c.line;
		EXPECT_EQ(out, "") << c.line;
	}
	EXPECT_EQ(sent(), "");
	EXPECT_EQ(cli_state.alert, 0);
	EXPECT_EQ(cli_state.showhtml, 0);
	EXPECT_EQ(cli_state.color, 2);
}

TEST_F(CliCommands, ListOptionsForms)
{
	std::string out;
	run("/listoptions -e", &out);
	EXPECT_EQ(out, "/alert off\n/showhtml off\n/color auto\n/backlog 20\n");
	run("/listoptions -x", &out);
	EXPECT_EQ(out, "Message alert:          off\n"
		       "Showing HTML message:   off\n"
		       "Use colorized output:   automatic (if terminal)\n"
		       "Backlog at start-up:    20\n");
	cli_state.showhtml = 1;
	cli_state.color = 1;
	cli_state.backlog = 0;
	run("/listoptions", &out);
	EXPECT_EQ(out, "Message alert:          off\n"
		       "Showing HTML message:   colorized text\n"
		       "Use colorized output:   on\n"
		       "Backlog at start-up:    0\n");
	// Values only a hand-edited file can give: shown as what they do.
	cli_state.showhtml = 'x' - '0';
	cli_state.color = 9;
	cli_state.alert = 5;
	run("/listoptions -e", &out);
	EXPECT_EQ(out, "/alert on\n/showhtml raw\n/color off\n/backlog 0\n");
}

TEST_F(CliCommands, HelpListsEveryCommand)
{
	std::string out;
	run("/help", &out);
	EXPECT_EQ(out, "Supported commands:\n"
		       "/who \n/list \n/alert off|on\n/bell off|on\n/showhtml off|color|plain|raw\n"
		       "/color off|on|auto\n/msg <user> <message> [<message> ...]\n"
		       "/tell <user> <message> [<message> ...]\n/motd \n/pasteimage <user>\n"
		       "/history [<count>]\n/backlog <count>\n"
		       "/listoptions [-e]\n/version \n/quit \n/help \n/ignore [<user>]\n/unignore <user>\n"
		       "/clearhistory \nEnd of list\n\n");
}

TEST_F(CliCommands, Version)
{
	std::string out;
	run("/version", &out);
	std::string banner = std::string("TOLVAR 1.3.0 (built on ") + __DATE__ + " ";
	EXPECT_EQ(out.compare(0, banner.size(), banner), 0) << out;
	EXPECT_NE(out.find(")\nCommand line interface frontend\n"), std::string::npos) << out;
	EXPECT_NE(out.find("the tolvar team\n"), std::string::npos) << out;
	EXPECT_NE(out.find("\nProject page: README.md in the tolvar repository\n"), std::string::npos) << out;
}

TEST_F(CliCommands, Motd)
{
	std::string out, err;
	run("/motd", &out, &err);
	EXPECT_EQ(strip_time(out), "[T] No MOTD available\n");
	{
		Capture o(1);
		print_motd(1);
		EXPECT_EQ(o.text(), "");
	}
	write_file("motd", "");
	run("/motd", &out, &err);
	EXPECT_EQ(out + err, "");
	write_file("motd", "Welcome\n\033[1mbold\033[0m\n");
	run("/motd", &out, &err);
	EXPECT_EQ(strip_time(out), "[T] Message of the day:\nWelcome\n\033[1mbold\033[0m\n");
	std::string big;
	for (int i = 0; i < 3000; i++)
		big += (char)('a' + i % 26);
	write_file("motd", big);
	run("/motd", &out, &err);
	EXPECT_EQ(strip_time(out), "[T] Message of the day:\n" + big.substr(0, 1024) + "\n");
	big[1023] = '\n';
	write_file("motd", big);
	run("/motd", &out, &err);
	EXPECT_EQ(strip_time(out), "[T] Message of the day:\n" + big.substr(0, 1024));
	ASSERT_EQ(unlink("motd"), 0);
	ASSERT_EQ(mkdir("motd", 0700), 0);
	run("/motd", &out, &err);
	EXPECT_EQ(out, "");
	EXPECT_EQ(err, "read: motd: Is a directory\n");
	{
		Capture o(1), e(2);
		print_motd(1);
		EXPECT_EQ(e.text(), "read: motd: Is a directory\n");
	}
}

TEST(CliCompletion, CommandNames)
{
	auto all = [](const char *word) {
		std::vector<std::string> r;
		for (int state = 0;; state++) {
			char *m = command_name_generator(word, state);
			if (m == nullptr)
				break;
			r.push_back(m);
			free(m);
		}
		return r;
	};
	using V = std::vector<std::string>;
	EXPECT_EQ(all("/s"), V{"/showhtml"});
	EXPECT_EQ(all("/m"), (V{"/msg", "/motd"}));
	EXPECT_EQ(all("/"), (V{"/who", "/list", "/alert", "/bell", "/showhtml", "/color", "/msg", "/tell", "/motd",
			       "/pasteimage", "/history", "/backlog", "/listoptions", "/version", "/quit", "/help",
			       "/ignore", "/unignore", "/clearhistory"}));
	EXPECT_EQ(all("/x"), V{});
	EXPECT_EQ(all("s"), V{});
	EXPECT_EQ(all("/quit"), V{"/quit"});
}
