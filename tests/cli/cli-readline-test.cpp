// The terminal frontend on a real pseudo-terminal: readline editing, history, completion, ^C, ^D,
// mentions, ignored users, pasted blocks.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/cli/cli-fixture.h"

using namespace ct;

namespace {

class CliTerminal : public CliTest {
protected:
	// Starts user on a pty and waits until readline is set up (the message of the day is
	// shown after that).
	void start_tty(Session *s, const std::string &user, std::vector<std::string> env = {})
	{
		write_home_file("motd", "ready\n");
		SessionOptions o;
		o.pty = true;
		o.env = {"TERM=xterm"};
		for (const auto &e : env) {
			if (e.rfind("PATH=", 0) == 0)
				o.path = e.substr(5);
			else
				o.env.push_back(e);
		}
		start(s, user, o);
		ASSERT_TRUE(s->wait_out("ready\r\n")) << s->out;
	}
	// Types keys and the Enter key, and waits until readline has taken the terminal back
	// after running the line (keys typed before that meet the terminal's own line editing).
	void enter(Session *s, const std::string &keys)
	{
		size_t before = count(s->out, PREPARED);
		s->type(keys + "\r");
		for (int i = 0; i < 200 && count(s->out, PREPARED) <= before; i++)
			s->read_for(50);
		ASSERT_GT(count(s->out, PREPARED), before) << s->out;
	}
	static size_t count(const std::string &s, const std::string &needle)
	{
		size_t n = 0;
		for (size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + 1))
			n++;
		return n;
	}
	// Readline switches bracketed paste on each time it prepares the terminal for a line.
	const std::string PREPARED = "\033[?2004h";
};

}  // namespace

TEST_F(CliTerminal, EnterSendsAndInterruptDiscardsTheLine)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	enter(&bob, "hello");
	EXPECT_EQ(message_from(alice, "bob").text, "hello");
	bob.type("half");
	ASSERT_TRUE(bob.wait_out("half"));
	bob.type("\003");
	ASSERT_TRUE(bob.wait_out("half^C\r\n")) << bob.out;
	enter(&bob, "whole");
	EXPECT_EQ(message_from(alice, "bob").text, "whole");
	// An empty line is neither sent nor remembered.
	enter(&bob, "");
	enter(&bob, "\033[A");
	EXPECT_EQ(message_from(alice, "bob").text, "whole");
	bob.type("\004");
	EXPECT_EQ(bob.finish(), 0);
	EXPECT_TRUE(ends_with(strip_times(bob.out), "\r[T] Exiting ...\r\n")) << bob.out;
}

TEST_F(CliTerminal, InterruptLeavesAnIncrementalSearch)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	enter(&bob, "hello");
	EXPECT_EQ(message_from(alice, "bob").text, "hello");
	bob.type("\022hel");
	ASSERT_TRUE(bob.wait_out("\033[7mhel")) << bob.out;	// the match, highlighted
	bob.type("\003");
	ASSERT_TRUE(bob.wait_out("^C\r\n")) << bob.out;
	enter(&bob, "x");
	EXPECT_EQ(message_from(alice, "bob").text, "x");
}

TEST_F(CliTerminal, IncomingLinesKeepTheHalfTypedInput)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	ASSERT_TRUE(bob.wait_out("User bob is online\r\n")) << bob.out;
	bob.type("half");
	ASSERT_TRUE(bob.wait_out("half"));
	size_t mark = bob.out.size();
	say(alice, "GLOBAL", "interrupting");
	ASSERT_TRUE(bob.wait_out("interrupting\r\nhalf")) << bob.out;
	// color auto on a terminal: the sender is coloured.
	EXPECT_NE(bob.out.find("\033[1;34malice\033[0m: interrupting", mark), std::string::npos) << bob.out;
	enter(&bob, " done");
	EXPECT_EQ(message_from(alice, "bob").text, "half done");
}

TEST_F(CliTerminal, HistoryHoldsNoRepeats)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	for (const char *line : {"A", "B", "B"}) {
		enter(&bob, line);
		EXPECT_EQ(message_from(alice, "bob").text, line);
	}
	enter(&bob, "\033[A\033[A");	// two entries back: A, had B gone in twice it would be B
	EXPECT_EQ(message_from(alice, "bob").text, "A");
	// Now A, B, A: two back is B.
	enter(&bob, "\033[A\033[A");
	EXPECT_EQ(message_from(alice, "bob").text, "B");
}

TEST_F(CliTerminal, CompletionOfCommandNamesOnly)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	bob.type("/s\t");
	ASSERT_TRUE(bob.wait_out("/showhtml ")) << bob.out;
	enter(&bob, "raw");
	EXPECT_EQ(read_home_file(prefs_path("bob")), "showhtml=3\n");
	enter(&bob, "/listoptions -e");
	EXPECT_NE(bob.out.find("/alert off\r\n/showhtml raw\r\n"), std::string::npos) << bob.out;

	size_t mark = bob.out.size();
	bob.type("/m\t\t");
	ASSERT_TRUE(bob.wait_out("/motd")) << bob.out;
	ASSERT_TRUE(bob.wait_out("/msg")) << bob.out;
	EXPECT_EQ(bob.out.find("/who", mark), std::string::npos) << bob.out;
	bob.type("\025");	// kill the line

	// Neither a first word without "/" nor a later word completes; file names never do.
	enter(&bob, "mo\t");
	EXPECT_EQ(message_from(alice, "bob").text, "mo");
	enter(&bob, "/msg alice /s\t");
	EXPECT_EQ(message_from(alice, "bob").text, "/s");
}

TEST_F(CliTerminal, ViModeOnlyForTheExactWord)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob", {"RL_EDITING_MODE=vi"});
	// Insert mode takes ^A as a character.
	enter(&bob, "abc\001x");
	EXPECT_EQ(message_from(alice, "bob").text, "abc\001x");
	// Escape to command mode (the cursor steps back), go to the start, delete a character.
	bob.type("def\033");
	ASSERT_TRUE(bob.wait_out("def\b")) << bob.out;
	enter(&bob, "0x");
	EXPECT_EQ(message_from(alice, "bob").text, "ef");

	for (const char *mode : {"RL_EDITING_MODE=VI", "RL_EDITING_MODE=vim", "RL_EDITING_MODE=emacs"}) {
		Session carl;
		start_tty(&carl, "carl", {mode});
		// In emacs mode ^A goes to the start of the line.
		enter(&carl, "abc\001x");
		EXPECT_EQ(message_from(alice, "carl").text, "xabc") << mode;
		carl.type("\004");
		EXPECT_EQ(carl.finish(), 0);
	}
}

TEST_F(CliTerminal, WindowSizeChangesAreTakenAtTheNextKey)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	struct winsize ws = {};
	ws.ws_row = 20;
	ws.ws_col = 40;
	ASSERT_EQ(ioctl(bob.proc.in, TIOCSWINSZ, &ws), 0);	// the terminal sends SIGWINCH
	enter(&bob, std::string(60, 'w'));
	EXPECT_EQ(message_from(alice, "bob").text, std::string(60, 'w'));
	EXPECT_FALSE(bob.proc.wait(0));
}


TEST_F(CliTerminal, InterruptDuringARenderingIsNotLost)
{
	// A slow "elinks": the ^C comes while the session waits for it, not in the loop's wait.
	std::string bin = account_.home + "/bin";
	ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
	write_home_file("bin/elinks", "#!/bin/sh\ncat >/dev/null\nsleep 0.5\necho rendered\n");
	ASSERT_EQ(chmod((bin + "/elinks").c_str(), 0755), 0);
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob", {"PATH=" + bin + ":/usr/bin:/bin"});
	enter(&bob, "/showhtml plain");
	bob.type("half");
	ASSERT_TRUE(bob.wait_out("half"));
	say(alice, "GLOBAL", "<p>x</p>", MESSAGE_KIND_HTML);
	ASSERT_TRUE(bob.wait_out("alice\033[0m: \r\n")) << bob.out;
	bob.proc.kill_now(SIGINT);	// to the session alone, not to its renderer
	ASSERT_TRUE(bob.wait_out("rendered\r\n")) << bob.out;
	ASSERT_TRUE(bob.wait_out("^C\r\n", 5000)) << bob.out;
	enter(&bob, "whole");
	EXPECT_EQ(message_from(alice, "bob").text, "whole");
}

TEST_F(CliTerminal, MentionsAreHighlightedAndRing)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	enter(&bob, "/alert on");
	size_t mark = bob.out.size();
	say(alice, "GLOBAL", "hey @Bob, bobby and malice are not BOB_ but bob.");
	ASSERT_TRUE(bob.wait_out("m.\r\n")) << bob.out;
	std::string seen = bob.out.substr(mark);
	EXPECT_NE(seen.find("\a\r["), std::string::npos) << seen;
	EXPECT_NE(seen.find("\033[1;34malice\033[0m: hey @\033[7mBob\033[0m, bobby and malice are not BOB_ but "
			    "\033[7mbob\033[0m."),
		  std::string::npos)
		<< seen;
	// Without colour the line is that of any other message; control bytes stay escaped.
	enter(&bob, "/color off");
	mark = bob.out.size();
	say(alice, "bob", "bob\033[2J bob");
	ASSERT_TRUE(bob.wait_out("J bob\r\n")) << bob.out;
	EXPECT_NE(bob.out.find("\a\r["), std::string::npos);
	EXPECT_NE(bob.out.find("] alice to bob: bob\\x1b[2J bob\r\n", mark), std::string::npos) << bob.out;
	// Own lines are no mentions.
	enter(&bob, "/color on");
	enter(&bob, "I am bob");
	ASSERT_TRUE(bob.wait_out("\033[1;32mbob\033[0m: I am bob\r\n")) << bob.out;
}

TEST_F(CliTerminal, IgnoredUsersStayUnseenFromSessionToSession)
{
	int alice = peer("alice");
	Session bob;
	start_tty(&bob, "bob");
	enter(&bob, "/ignore carol");
	enter(&bob, "/ignore bob");
	ASSERT_TRUE(bob.wait_out("You cannot ignore yourself\r\n")) << bob.out;
	size_t mark = bob.out.size();
	int carol = peer("carol");
	say(carol, "GLOBAL", "spam for all");
	say(carol, "bob", "spam for you");
	close(carol);
	peers_.erase(std::find(peers_.begin(), peers_.end(), carol));
	expect(announcer_, LOCAL_PACKET_USER_OFFLINE, "carol");
	say(alice, "GLOBAL", "after her");
	ASSERT_TRUE(bob.wait_out("after her\r\n")) << bob.out;
	EXPECT_EQ(bob.out.find("carol", mark), std::string::npos) << bob.out;
	EXPECT_EQ(read_home_file(prefs_path("bob") + "#ignore"), "carol\n");
	bob.type("\004");
	EXPECT_EQ(bob.finish(), 0);
	expect(announcer_, LOCAL_PACKET_USER_OFFLINE, "bob");	// gone before the next one counts

	// A new session loads the list (the preferences file of the user is left alone).
	write_home_file("users-preferences/bob", "alert=1\n");
	Session again;
	start_tty(&again, "bob");
	enter(&again, "/ignore");
	ASSERT_TRUE(again.wait_out("Ignored users:\r\n  carol\r\n")) << again.out;
	carol = peer("carol");
	say(carol, "GLOBAL", "spam again");
	say(alice, "GLOBAL", "after again");
	ASSERT_TRUE(again.wait_out("after again\r\n")) << again.out;
	EXPECT_EQ(again.out.find("spam"), std::string::npos) << again.out;
	EXPECT_EQ(again.out.find("User carol"), std::string::npos) << again.out;
	enter(&again, "/unignore carol");
	say(carol, "GLOBAL", "welcome back");
	ASSERT_TRUE(again.wait_out("carol\033[0m: welcome back")) << again.out;
	EXPECT_EQ(read_home_file(prefs_path("bob") + "#ignore"), "");
	EXPECT_EQ(read_home_file(prefs_path("bob")), "alert=1\n");
}

TEST_F(CliTerminal, TabCompletesTheUsersOnline)
{
	int alice = peer("alice");	// online before bob: known from the list asked for at start
	Session bob;
	start_tty(&bob, "bob");
	// bob's own line comes back after the answer to that request.
	enter(&bob, "sync");
	ASSERT_TRUE(bob.wait_out("bob\033[0m: sync\r\n")) << bob.out;
	EXPECT_EQ(message_from(alice, "bob").text, "sync");
	EXPECT_EQ(bob.out.find("alice"), std::string::npos) << bob.out;	// the answer is not shown
	enter(&bob, "/msg al\thi");
	Packet p = message_from(alice, "bob");
	EXPECT_EQ(p.to, "alice");
	EXPECT_EQ(p.text, "hi");
	enter(&bob, "@al\tyou there?");
	EXPECT_EQ(message_from(alice, "bob").text, "@alice you there?");

	close(alice);
	peers_.erase(std::find(peers_.begin(), peers_.end(), alice));
	ASSERT_TRUE(bob.wait_out("User alice is offline\r\n")) << bob.out;
	enter(&bob, "/msg al\t hi");
	ASSERT_TRUE(bob.wait_out("User al not found\r\n")) << bob.out;
}

TEST_F(CliTerminal, PastedLinesGoAsOneMessage)
{
	int alice = peer("alice");
	// Also where an inputrc would have readline take each pasted line for an Enter.
	write_home_file("inputrc", "set enable-bracketed-paste off\n");
	Session bob;
	start_tty(&bob, "bob", {"INPUTRC=" + account_.home + "/inputrc"});
	size_t mark = bob.out.size();
	bob.type("\033[200~one\rtwo\033[31m\rthree\033[201~");
	enter(&bob, "");
	EXPECT_EQ(message_from(alice, "bob").text, "one\ntwo\033[31m\nthree");
	// Echoed back by the server: the escape escaped, the lines after the first indented.
	ASSERT_TRUE(bob.wait_out("three\r\n")) << bob.out;
	EXPECT_NE(bob.out.find("bob\033[0m: one\r\n  two\033[1m\\x1b\033[0m[31m\r\n  three\r\n", mark), std::string::npos)
		<< bob.out;
	EXPECT_EQ(bob.out.find("\033[31m", mark), std::string::npos) << bob.out;
}

TEST_F(CliTerminal, HistoryOutlivesTheSession)
{
	int alice = peer("alice");
	// A history already full: the oldest line makes room.
	std::string old;
	for (int i = 0; i < 500; i++)
		old += "old " + std::to_string(i) + "\n";
	ASSERT_EQ(mkdir((account_.home + "/users-preferences").c_str(), 0750), 0);
	ASSERT_EQ(chown((account_.home + "/users-preferences").c_str(), account_.uid, account_.gid), 0);
	write_home_file("users-preferences/bob#history", old);
	Session bob;
	start_tty(&bob, "bob");
	enter(&bob, "from yesterday");
	EXPECT_EQ(message_from(alice, "bob").text, "from yesterday");
	bob.type("\033[200~two\rlines\\\033[201~");
	enter(&bob, "");
	EXPECT_EQ(message_from(alice, "bob").text, "two\nlines\\");
	bob.type("\004");
	EXPECT_EQ(bob.finish(), 0);
	expect(announcer_, LOCAL_PACKET_USER_OFFLINE, "bob");
	std::string path = prefs_path("bob") + "#history";
	EXPECT_EQ(read_home_file(path), old.substr(old.find("old 2\n")) + "from yesterday\ntwo\\nlines\\\\\n");
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);

	Session again;
	start_tty(&again, "bob");
	enter(&again, "\033[A\033[A");
	EXPECT_EQ(message_from(alice, "bob").text, "from yesterday");
	enter(&again, "\033[A\033[A");
	EXPECT_EQ(message_from(alice, "bob").text, "two\nlines\\");
	enter(&again, "/clearhistory");
	EXPECT_EQ(read_home_file(path), "");
	enter(&again, "today");
	EXPECT_EQ(message_from(alice, "bob").text, "today");
	EXPECT_EQ(read_home_file(path), "today\n");
}
