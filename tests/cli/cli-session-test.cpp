// The terminal frontend on pipes against the real server: what a user sees and sends.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "tests/cli/cli-fixture.h"

using namespace ct;

namespace {

class CliPipes : public CliTest {};

// A session sees its own user come online first; that line is taken away here.
void ready(Session *s, const std::string &user)
{
	std::string line = "User " + user + " is online\n";
	ASSERT_TRUE(s->wait_out(line)) << s->out;
	size_t at = s->out.find(line);
	size_t start = s->out.rfind('\r', at);
	ASSERT_NE(start, std::string::npos);
	s->out.erase(start, at + line.size() - start);
}

}  // namespace

TEST_F(CliPipes, MessagesInAndOut)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	say(alice, "GLOBAL", "hello bob");
	ASSERT_TRUE(bob.wait_out("hello bob\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: hello bob\n");
	say(alice, "bob", "just you");
	say(alice, "*", "star");
	ASSERT_TRUE(bob.wait_out("star\n")) << bob.out;
	EXPECT_NE(strip_times(bob.out).find("\r[T] alice to bob: just you\n\r[T] alice: star\n"), std::string::npos)
		<< bob.out;

	bob.type("hi there\r\n");
	Packet p = message_from(alice, "bob");
	EXPECT_EQ(p.from, "bob");
	EXPECT_EQ(p.to, "GLOBAL");
	EXPECT_EQ(p.text, "hi there");
	EXPECT_EQ(p.kind, MESSAGE_KIND_PLAIN);
	// bob sees his own line come back from the server.
	ASSERT_TRUE(bob.wait_out("bob: hi there\n")) << bob.out;
	// One CR on standard error per terminator.
	ASSERT_TRUE(bob.wait_err("\r\r"));
	EXPECT_EQ(bob.err, "\r\r");

	bob.type("/msg alice 'two  spaces' and more\n");
	p = message_from(alice, "bob");
	EXPECT_EQ(p.to, "alice");
	EXPECT_EQ(p.text, "two  spaces and more");
	bob.type("/quit\n");
	EXPECT_EQ(bob.finish(), 0);
	expect(announcer_, LOCAL_PACKET_USER_OFFLINE, "bob");
}

TEST_F(CliPipes, EveryEscapeCaseWithoutAndWithColour)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	// Continuation lines are indented: none can pass for the header of another message.
	std::string nasty = "a\033[2Jb\033]0;owned\007c\r\nd\re\x08\x7f\x04\x01\tf\xc2\x9b" "2Jg\r\n"
			    "[12:00:00] carol: hi\n\ng\n";
	say(alice, "GLOBAL", nasty);
	ASSERT_TRUE(bob.wait_out("g\n\n")) << bob.out;
	std::string plain_body = "a\\x1b[2Jb\\x1b]0;owned\\x07c\n  d\\x0de\\x08\\x7f\\x04\x01\tf\\xc2\\x9b2Jg\n"
				 "  [T] carol: hi\n\n  g\n\n";
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: " + plain_body);
	// color auto on a pipe: no sequence anywhere.
	EXPECT_EQ(bob.out.find('\033'), std::string::npos);

	bob.out.clear();
	bob.type("/color on\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/color on\n/backlog 20\n")) << bob.out;
	bob.out.clear();
	say(alice, "GLOBAL", "x\033y");
	say(alice, "bob", "to me");
	ASSERT_TRUE(bob.wait_out("to me\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] \033[1;34malice\033[0m: x\033[1m\\x1b\033[0my\n"
					"\r[T] \033[1;34malice\033[0m to \033[1;32mbob\033[0m: to me\n");
	bob.out.clear();
	bob.type("own\n");
	ASSERT_TRUE(bob.wait_out("own\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] \033[1;32mbob\033[0m: own\n");
	EXPECT_EQ(read_home_file(prefs_path("bob")), "color=1\n");
}

TEST_F(CliPipes, EightBitControlsInALatin1Session)
{
	int alice = peer("alice");	// UTF-8
	Session bob;
	SessionOptions o;
	o.lang = "en_US.ISO-8859-1";
	start(&bob, "bob", o);
	ready(&bob, "bob");
	// U+009B (CSI) and U+009D (OSC) reach bob as the bytes 0x9B and 0x9D; U+00E9 as 0xE9.
	say(alice, "GLOBAL", "caf\xc3\xa9 \xc2\x9b" "2J \xc2\x9d" "0;t\a");
	ASSERT_TRUE(bob.wait_out("0;t")) << bob.out;
	ASSERT_TRUE(bob.wait_out("\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: caf\xe9 \\x9b2J \\x9d0;t\\x07\n");
}

TEST_F(CliPipes, EightBitControlsInAnEucJpSession)
{
	int alice = peer("alice");	// UTF-8
	Session bob;
	SessionOptions o;
	o.lang = "ja_JP.EUC-JP";
	start(&bob, "bob", o);
	ready(&bob, "bob");
	// Converted text arrives as EUC-JP characters and passes; bytes that are no character of
	// the set (the text cannot be converted, so it arrives as sent) are escaped.
	say(alice, "GLOBAL", "\xe6\x97\xa5\xe6\x9c\xac");
	say(alice, "GLOBAL", "\x9b" "2J \x9d" "0;t\a \x8e");
	ASSERT_TRUE(bob.wait_out("0;t")) << bob.out;
	ASSERT_TRUE(bob.wait_out("\n", 2000)) << bob.out;
	tt::read_for(bob.proc.out, 300, &bob.out);
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: \xc6\xfc\xcb\xdc\n"
					"\r[T] alice: \\x9b2J \\x9d0;t\\x07 \\x8e\n");
}

TEST_F(CliPipes, OnlineListPresenceAndUnknownUsers)
{
	Session bob, bob2;
	start(&bob, "bob");
	start(&bob2, "bob");
	int carol = peer("carol");
	ASSERT_TRUE(bob.wait_out("User carol is online\n")) << bob.out;
	EXPECT_NE(strip_times(bob.out).find("\r[T] User carol is online\n"), std::string::npos) << bob.out;
	bob.type("/who\n");
	ASSERT_TRUE(bob.wait_out("carol")) << bob.out;
	// The list: one line per session, each with a tab; wait for all four.
	auto list_lines = [&]() {
		std::vector<std::string> lines;
		std::string rest = bob.out.substr(bob.out.find("User carol is online\n") + 21);
		for (size_t at = 0, nl; (nl = rest.find('\n', at)) != std::string::npos; at = nl + 1)
			if (rest.find('\t', at) < nl)
				lines.push_back(rest.substr(at, nl - at));
		return lines;
	};
	for (int i = 0; i < 100 && list_lines().size() < 4; i++)
		bob.read_for(50);
	std::vector<std::string> lines = list_lines();
	ASSERT_EQ(lines.size(), 4u) << bob.out;	// announcer, bob twice, carol
	int stars = 0, bobs = 0;
	for (const std::string &line : lines) {
		ASSERT_GT(line.size(), 6u);
		int id = atoi(line.substr(2, 3).c_str());
		std::string user = line.substr(6, line.find(' ', 6) - 6);
		std::string host = line.substr(line.find('\t') + 1);
		char want[256];
		snprintf(want, sizeof want, "%c %3d %-16s\t%s", line[0], id, user.c_str(), host.c_str());
		EXPECT_EQ(line, want);
		EXPECT_TRUE(line[0] == '*' || line[0] == ' ') << line;
		if (line[0] == '*') {
			stars++;
			EXPECT_EQ(user, "bob");
			EXPECT_EQ(host, "192.0.2.7");
		}
		bobs += user == "bob";
		if (user == "announcer" || user == "carol") {
			EXPECT_EQ(host, "198.51.100.9");
		}
	}
	EXPECT_EQ(stars, 1) << bob.out;
	EXPECT_EQ(bobs, 2) << bob.out;

	bob.type("/msg nobody hello\n");
	ASSERT_TRUE(bob.wait_out("User nobody not found\n")) << bob.out;
	close(carol);
	peers_.erase(std::find(peers_.begin(), peers_.end(), carol));
	ASSERT_TRUE(bob.wait_out("User carol is offline\n")) << bob.out;
}

TEST_F(CliPipes, ServerGoneEndsWithStatusZero)
{
	Session bob;
	start(&bob, "bob");
	server_.proc.kill_now(SIGKILL);
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_TRUE(ends_with(strip_times(bob.out), "\r[T] Server closed connection\n")) << bob.out;
}

TEST_F(CliPipes, AlertRingsOutsideLogMode)
{
	write_home_file("motd", "Welcome!\n");
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	EXPECT_EQ(strip_times(bob.out), "\r[T] Message of the day:\nWelcome!\n");
	bob.type("/alert on\n");
	bob.type("/nope\n");
	ASSERT_TRUE(bob.wait_out("Unknown command 'nope'\n")) << bob.out;
	EXPECT_NE(strip_times(bob.out).find("\a\r[T] Error: Unknown command 'nope'\n"), std::string::npos) << bob.out;
	bob.type("/bell off\n/nope\n");
	bob.out.clear();
	ASSERT_TRUE(bob.wait_out("Unknown command 'nope'\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] Error: Unknown command 'nope'\n");
	EXPECT_EQ(read_home_file(prefs_path("bob")), "alert=0\n");
}

TEST_F(CliPipes, LogModeShowsOutputOnlyWithoutFraming)
{
	write_home_file("motd", "Hi");
	ASSERT_EQ(system(("mkdir -p " + account_.home + "/users-preferences").c_str()), 0);
	write_home_file("users-preferences/bob", "alert=1\ncolor=1\nbogus\n");
	ASSERT_EQ(chown((account_.home + "/users-preferences").c_str(), account_.uid, account_.gid), 0);
	int alice = peer("alice");
	Session bob;
	SessionOptions o;
	o.mode = "log";
	start(&bob, "bob", o);
	ASSERT_TRUE(bob.wait_out("User bob is online\n")) << bob.out;
	bob.out.erase(bob.out.find("[", bob.out.find("Hi\n")), std::string::npos);
	// Standard input is the null device: what is typed goes nowhere (the pipe may be gone).
	signal(SIGPIPE, SIG_IGN);
	std::string typed = "/msg alice typed\nline\n";
	(void)!write(bob.proc.in, typed.data(), typed.size());
	say(alice, "GLOBAL", "seen\033");
	ASSERT_TRUE(bob.wait_out("seen")) << bob.out;
	ASSERT_TRUE(bob.wait_out("\n", 2000));
	tt::read_for(bob.proc.out, 300, &bob.out);
	// No bell, no CR, even with alert on; colours as the file says.
	EXPECT_EQ(strip_times(bob.out), "[T] Message of the day:\nHi\n"
					"[T] \033[1;34malice\033[0m: seen\033[1m\\x1b\033[0m\n");
	EXPECT_EQ(bob.err, "Unrecognized option 'bogus', removing\n");
	EXPECT_EQ(read_home_file(prefs_path("bob")), "alert=1\ncolor=1\n");
	// Input is never read: nothing reached alice.
	say(alice, "alice", "ping");
	for (;;) {
		Packet p = expect(alice, LOCAL_PACKET_RECEIVE_MESSAGE);
		ASSERT_NE(p.type, -1);
		EXPECT_NE(p.from, "bob") << p.text;
		if (p.text == "ping")
			break;
	}
	server_.proc.kill_now(SIGKILL);
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_NE(strip_times(bob.out).find("[T] Server closed connection\n"), std::string::npos);
}

// A TZ naming a zone file is emptied before anything can load it: the times shown are UTC.
TEST_F(CliPipes, IgnoredZoneFileIsNeverLoaded)
{
	int alice = peer("alice");
	Session bob;
	SessionOptions o;
	o.mode = "log";
	o.env = {"TZ=/usr/share/zoneinfo/Asia/Tokyo"};
	start(&bob, "bob", o);
	ASSERT_TRUE(bob.wait_out("User bob is online\n")) << bob.out;
	EXPECT_EQ(bob.err, "Ignoring absolute path name in TZ\n");
	bob.out.clear();
	time_t before = time(nullptr);
	say(alice, "GLOBAL", "what time is it");
	ASSERT_TRUE(bob.wait_out("what time is it\n")) << bob.out;
	time_t after = time(nullptr);
	struct tm utc_before, utc_after;
	gmtime_r(&before, &utc_before);
	gmtime_r(&after, &utc_after);
	int hour = -1;
	ASSERT_EQ(sscanf(bob.out.c_str(), "[%d:", &hour), 1) << bob.out;
	EXPECT_TRUE(hour == utc_before.tm_hour || hour == utc_after.tm_hour) << bob.out;
}

TEST_F(CliPipes, RawInputTerminatorsAndTheFullBuffer)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob");
	bob.type(std::string("one\0two\rthree\n", 14));
	EXPECT_EQ(message_from(alice, "bob").text, "one");
	EXPECT_EQ(message_from(alice, "bob").text, "two");
	EXPECT_EQ(message_from(alice, "bob").text, "three");
	bob.type("par");
	usleep(100000);
	bob.type("tial\n");
	EXPECT_EQ(message_from(alice, "bob").text, "partial");

	// 2048 bytes without a terminator fill the buffer; the LF after them is lost.
	std::string line = "L" + std::string(2047, 'x');
	bob.type(line);
	usleep(200000);
	bob.type("\n");
	usleep(200000);
	bob.type("\x7f\x7f\x7f\n");	// erases three bytes; this LF is lost too
	usleep(200000);
	bob.type("\n");
	Packet p = message_from(alice, "bob");
	EXPECT_EQ(p.text, line.substr(0, 2045));
	bob.type("after\n");
	EXPECT_EQ(message_from(alice, "bob").text, "after");
	bob.proc.close_in();
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_TRUE(ends_with(strip_times(bob.out), "\r[T] Exiting ...\n")) << bob.out;
}

TEST_F(CliPipes, InterruptWithoutReadlineEndsTheClient)
{
	Session bob;
	start(&bob, "bob");
	bob.proc.kill_now(SIGINT);
	EXPECT_EQ(bob.finish(), 128 + SIGINT);
}

TEST_F(CliPipes, ForcedReadlineOnAPipe)
{
	int alice = peer("alice");
	Session bob;
	SessionOptions o;
	o.env = {"RL_FORCE_ENABLE=1", "TERM=dumb"};
	start(&bob, "bob", o);
	// Up arrow brings the last line back: that is readline at work.
	bob.type("first\r");
	EXPECT_EQ(message_from(alice, "bob").text, "first");
	bob.type("\033[A\r");
	EXPECT_EQ(message_from(alice, "bob").text, "first");
	bob.type("\004");
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_NE(bob.out.find("Exiting ...\n"), std::string::npos);

	// Empty means unset: raw input, where the arrow is just bytes.
	Session carl;
	o.env = {"RL_FORCE_ENABLE=", "TERM=dumb"};
	start(&carl, "carl", o);
	carl.type("x\033[Ay\n");
	EXPECT_EQ(message_from(alice, "carl").text, "x\033[Ay");
}

TEST_F(CliPipes, CommandsAsTheUserMeetsThem)
{
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	bob.type("/help\n");
	ASSERT_TRUE(bob.wait_out("End of list\n\n")) << bob.out;
	std::string help = bob.out.substr(bob.out.find("Supported commands:\n"));
	EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 22);	// the header, nineteen commands, the end
	bob.out.clear();
	bob.type("/motd\n");
	ASSERT_TRUE(bob.wait_out("No MOTD available\n")) << bob.out;
	write_home_file("motd", "");
	bob.out.clear();
	bob.type("/motd\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/backlog 20\n")) << bob.out;
	EXPECT_EQ(bob.out, "/alert off\n/showhtml off\n/color auto\n/backlog 20\n");
	std::string big;
	for (int i = 0; i < 3000; i++)
		big += (char)('A' + i % 26);
	write_home_file("motd", big);
	bob.out.clear();
	bob.type("/motd\n/listoptions\n");
	ASSERT_TRUE(bob.wait_out("Backlog at start-up:    20\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] Message of the day:\n" + big.substr(0, 1024) +
						"\nMessage alert:          off\n"
						"Showing HTML message:   off\n"
						"Use colorized output:   automatic (if terminal)\n"
						"Backlog at start-up:    20\n");
	bob.type("/tell bob\n/color\n");
	ASSERT_TRUE(bob.wait_err("Usage: color off|on|auto\n")) << bob.err;
	EXPECT_NE(bob.err.find("\rUsage: tell <user> <message> [<message> ...]\n\rUsage: color off|on|auto\n"),
		  std::string::npos)
		<< bob.err;
}

TEST_F(CliPipes, HtmlMessagesByShowhtml)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	const std::string doc = "<h1>Title</h1><p>Some <b>bold</b> text, <a href=\"&#27;[2J\">a link</a>.\033[5m</p>";
	say(alice, "GLOBAL", doc, MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_out("[HTML]\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: [HTML]\n");

	bob.type("/showhtml plain\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/showhtml plain\n/color auto\n/backlog 20\n")) << bob.out;
	bob.out.clear();
	say(alice, "GLOBAL", doc, MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_out("Visible links")) << bob.out;
	bob.read_for(300);
	std::string plain = strip_times(bob.out);
	EXPECT_EQ(plain.substr(0, 13), "\r[T] alice: \n") << plain;
	EXPECT_NE(plain.find("Title"), std::string::npos) << plain;
	EXPECT_NE(plain.find("Some bold text, [1]a link."), std::string::npos) << plain;
	// The document's escape characters are shown, not obeyed: no sequence at all in plain mode.
	EXPECT_EQ(plain.find('\033'), std::string::npos) << plain;
	EXPECT_NE(plain.find("\\x1b[2J"), std::string::npos) << plain;

	bob.type("/showhtml color\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/showhtml color\n/color auto\n/backlog 20\n")) << bob.out;
	bob.out.clear();
	say(alice, "GLOBAL", doc, MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_out("Visible links")) << bob.out;
	bob.read_for(300);
	std::string colour = bob.out;
	// Colours of the rendering (whatever color says), the final reset, and nothing else.
	EXPECT_NE(colour.find("\033[0;"), std::string::npos) << colour;
	EXPECT_EQ(colour.substr(colour.size() - 4), "\033[0m") << colour;
	std::string rest = strip_colours(colour);
	EXPECT_EQ(rest.find('\033'), std::string::npos) << rest;
	EXPECT_NE(rest.find("\\x1b[2J"), std::string::npos) << rest;

	bob.type("/showhtml raw\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/showhtml raw\n/color auto\n/backlog 20\n")) << bob.out;
	bob.out.clear();
	say(alice, "GLOBAL", "<i>\033]0;x\007</i>", MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_out("</i>\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: <i>\\x1b]0;x\\x07</i>\n");
}

TEST_F(CliPipes, RendererTroubleCostsOnlyAReport)
{
	// An "elinks" that dies of a signal once it has read the document.
	std::string bin = account_.home + "/bin";
	ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
	write_home_file("bin/elinks", "#!/bin/sh\ncat >/dev/null\necho half a rendering\nkill -9 $$\n");
	ASSERT_EQ(chmod((bin + "/elinks").c_str(), 0755), 0);
	int alice = peer("alice");
	Session bob;
	SessionOptions o;
	o.path = bin + ":/usr/bin:/bin";
	start(&bob, "bob", o);
	ready(&bob, "bob");
	bob.type("/showhtml plain\n/listoptions -e\n");
	ASSERT_TRUE(bob.wait_out("/showhtml plain\n")) << bob.out;
	say(alice, "GLOBAL", "<p>x</p>", MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_err("child process terminated by signal 9\n")) << bob.err;
	ASSERT_TRUE(bob.wait_out("half a rendering\n")) << bob.out;
	// The session goes on.
	say(alice, "GLOBAL", "plain again");
	ASSERT_TRUE(bob.wait_out("alice: plain again\n")) << bob.out;
}

TEST_F(CliPipes, TheLastMessagesAreShownAfterTheMessageOfTheDay)
{
	write_home_file("motd", "Welcome\n");
	int alice = peer("alice");
	for (const char *t : {"one", "two", "three"}) {
		say(alice, "GLOBAL", t);
		message_from(alice, "alice");
	}
	say(alice, "bob", "private, never shown again");
	expect(alice, LOCAL_PACKET_USER_NOT_FOUND);

	// Two of them at start-up, as the preference says.
	std::string dir = account_.home + "/users-preferences";
	ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
	ASSERT_EQ(chown(dir.c_str(), account_.uid, account_.gid), 0);
	write_home_file("users-preferences/bob", "backlog=2\n");
	Session bob;
	start(&bob, "bob");
	ready(&bob, "bob");
	ASSERT_TRUE(bob.wait_out("End of history (2 messages)\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] Message of the day:\nWelcome\n"
					"\r[T] alice: two\n\r[T] alice: three\n"
					"\r[T] End of history (2 messages)\n");

	// On demand, and live messages as always after it.
	bob.out.clear();
	bob.type("/history 1\n");
	ASSERT_TRUE(bob.wait_out("End of history (1 message)\n")) << bob.out;
	EXPECT_EQ(strip_times(bob.out), "\r[T] alice: three\n\r[T] End of history (1 message)\n");
	bob.out.clear();
	bob.type("/history 0\n/backlog 0\n/history\n");
	ASSERT_TRUE(bob.wait_out("End of history (3 messages)\n")) << bob.out;
	EXPECT_NE(bob.err.find("Usage: history [<count>]\n"), std::string::npos) << bob.err;
	EXPECT_EQ(read_home_file(prefs_path("bob")), "backlog=0\n");

	// With the preference 0 nothing is shown at start-up.
	Session again;
	start(&again, "bob");
	again.type("/listoptions -e\n");
	ASSERT_TRUE(again.wait_out("/backlog 0\n")) << again.out;
	EXPECT_EQ(again.out.find("End of history"), std::string::npos) << again.out;
}
