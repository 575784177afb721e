// /pasteimage with a real clipboard: a private Xvfb, an image put there by xclip.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "tests/cli/cli-fixture.h"

using namespace ct;

namespace {

class CliPaste : public CliTest {
protected:
	void SetUp() override
	{
		CliTest::SetUp();
		// A display number of our own: free, and different for parallel test processes.
		for (int n = 200 + getpid() % 700;; n++) {
			std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
			std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
			if (access(lock.c_str(), F_OK) != 0 && access(sock.c_str(), F_OK) != 0) {
				display_ = ":" + std::to_string(n);
				socket_ = sock;
				break;
			}
		}
		tt::Spec x;
		x.argv = {"/usr/bin/Xvfb", display_, "-ac", "-nolisten", "tcp", "-screen", "0", "64x64x8"};
		x.env = {"PATH=/usr/bin:/bin"};
		x.stdin_null = true;
		x.merge_stderr = true;
		ASSERT_TRUE(tt::spawn(x, &xvfb_));
		for (int i = 0; i < 1000 && access(socket_.c_str(), F_OK) != 0; i++) {
			ASSERT_FALSE(xvfb_.wait(0)) << "Xvfb ended";
			usleep(10000);
		}
		ASSERT_EQ(access(socket_.c_str(), F_OK), 0);
	}
	void TearDown() override
	{
		stop_owner();
		xvfb_.kill_now(SIGTERM);
		xvfb_.wait(5000);
		CliTest::TearDown();
	}
	void stop_owner()
	{
		if (owner_.pid <= 0)
			return;
		owner_.kill_now(SIGTERM);
		owner_.wait(5000);
	}
	// Puts image into the clipboard as image/jpeg; xclip keeps serving it in the foreground.
	void put_in_clipboard(const std::string &image)
	{
		stop_owner();
		tt::Spec s;
		s.argv = {"/usr/bin/xclip", "-quiet", "-i", "-selection", "clipboard", "-t", "image/jpeg"};
		s.env = {"PATH=/usr/bin:/bin", "DISPLAY=" + display_};
		s.merge_stderr = true;
		ASSERT_TRUE(tt::spawn(s, &owner_));
		ASSERT_TRUE(tt::write_all(owner_.in, image));
		owner_.close_in();
		// Ready once the clipboard offers the type.
		for (int i = 0;; i++) {
			tt::Spec q;
			q.argv = {"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "TARGETS"};
			q.env = s.env;
			std::string out, err;
			tt::run(q, &out, &err, 5000);
			if (out.find("image/jpeg") != std::string::npos)
				break;
			ASSERT_LT(i, 500) << err;
			usleep(10000);
		}
	}
	static std::string jpeg(size_t size)
	{
		std::mt19937 rng(size);
		std::string s(size, '\0');
		for (auto &c : s)
			c = (char)rng();
		memcpy(&s[0], "\xff\xd8\xff\xe0", 4);
		s[size - 2] = '\xff';
		s[size - 1] = '\xd9';
		return s;
	}
	SessionOptions with_display()
	{
		SessionOptions o;
		o.env = {"DISPLAY=" + display_};
		return o;
	}
	// Has bob say marker and checks that it is the next thing alice gets from him.
	void expect_nothing_sent_before(Session *bob, int alice, const std::string &marker)
	{
		bob->type(marker + "\n");
		Packet p = message_from(alice, "bob", 20000);
		EXPECT_EQ(p.kind, MESSAGE_KIND_PLAIN);
		EXPECT_EQ(p.text, marker);
	}

	std::string display_, socket_;
	tt::Process xvfb_, owner_;
};

}  // namespace

TEST_F(CliPaste, TheLargestImageIsSentWhole)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob", with_display());
	std::string image = jpeg(786352);
	put_in_clipboard(image);
	bob.type("/pasteimage alice extra words\n");
	Packet p = message_from(alice, "bob", 20000);
	EXPECT_EQ(p.kind, MESSAGE_KIND_IMAGE);
	EXPECT_EQ(p.to, "alice");
	EXPECT_EQ(p.text.size(), image.size());
	EXPECT_TRUE(p.text == image);
	// Sent to everybody, bob sees it as a placeholder.
	put_in_clipboard(jpeg(1000));
	bob.type("/pasteimage GLOBAL\n");
	ASSERT_TRUE(bob.wait_out("bob: [Image]\n", 20000)) << bob.out;
	EXPECT_EQ(message_from(alice, "bob", 20000).text, jpeg(1000));
}

TEST_F(CliPaste, OneByteMoreIsRefused)
{
	int alice = peer("alice");
	Session bob;
	start(&bob, "bob", with_display());
	put_in_clipboard(jpeg(786353));
	bob.type("/pasteimage alice\n");
	ASSERT_TRUE(bob.wait_err("Image too large\n", 20000)) << bob.err;
	expect_nothing_sent_before(&bob, alice, "after the refusal");
	bob.read_for(100);	// the CR of the marker line was written before it was sent
	// xclip may have written everything and ended by itself, or been killed.
	std::string after = bob.err.substr(bob.err.find("Image too large\n"));
	EXPECT_TRUE(after == "Image too large\n\r" || after == "Image too large\nchild process terminated by signal 9\n\r")
		<< bob.err;
}

TEST_F(CliPaste, XclipMissingOrFailing)
{
	int alice = peer("alice");
	char tmpl[] = "/tmp/tolvar-nobin-XXXXXX";
	ASSERT_NE(mkdtemp(tmpl), nullptr);
	chmod(tmpl, 0755);
	SessionOptions o = with_display();
	o.path = tmpl;
	Session bob;
	start(&bob, "bob", o);
	put_in_clipboard(jpeg(5000));
	bob.type("/pasteimage alice\n");
	ASSERT_TRUE(bob.wait_err("xclip: No such file or directory\n")) << bob.err;
	expect_nothing_sent_before(&bob, alice, "nothing pasted");
	rmdir(tmpl);

	// xclip there, but nothing of that type in the clipboard: its own error, nothing sent.
	stop_owner();
	Session carol;
	start(&carol, "carol", with_display());
	carol.type("/pasteimage alice\n");
	ASSERT_TRUE(carol.wait_err("Error", 10000)) << carol.err;
	carol.type("marker\n");
	Packet p = message_from(alice, "carol");
	EXPECT_EQ(p.kind, MESSAGE_KIND_PLAIN);
	EXPECT_EQ(p.text, "marker");
}
