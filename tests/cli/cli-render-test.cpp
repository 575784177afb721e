// Showing server packets: headers, colours, escapes, notices, the session list, HTML.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cli/cli-render.h"
#include "cli/cli-state.h"
#include "protocol/local-protocol.h"
#include "testing/support.h"
#include "tests/cli/capture.h"
#include "tests/cli/text-helpers.h"

namespace {

class CliRender : public ::testing::Test {
protected:
	void SetUp() override
	{
		cli_state = CLI_STATE_INITIAL;
		cli_state.log_mode = true;
		cli_state.own_user_name = "bob";
	}
	void TearDown() override { cli_state = CLI_STATE_INITIAL; }
	// Shows packet; returns standard output with timestamps made "[T]".
	std::string show(const std::string &packet, std::string *err = nullptr)
	{
		Capture o(1), e(2);
		cli_show_packet(reinterpret_cast<const unsigned char *>(packet.data()));
		std::string es = e.text();
		if (err != nullptr)
			*err = es;
		return ct::strip_times(o.text());
	}
	std::string message(const std::string &from, const std::string &to, const std::string &text,
			    int32_t kind = MESSAGE_KIND_PLAIN)
	{
		return show(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, from, to, kind, text));
	}
};

std::string history_packet(int64_t when, const std::string &from, const std::string &text)
{
	size_t size;
	unsigned char *p = local_packet_build_history_message(when, from, "*", MESSAGE_KIND_PLAIN, text, &size);
	std::string r(reinterpret_cast<char *>(p), size);
	free(p);
	return r;
}

std::string user_packet(int32_t type, const std::string &name)
{
	return tt::local_packet(type, name + std::string(1, '\0'));
}

// Whatever remains once colour sequences are taken out must hold no control byte but tab and LF.
void expect_only_colour_sequences(const std::string &out)
{
	std::string rest = ct::strip_colours(out);
	for (size_t i = 0; i < rest.size(); i++) {
		unsigned char c = (unsigned char)rest[i];
		bool bad = (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f ||
			   (c == 0xc2 && i + 1 < rest.size() && (unsigned char)rest[i + 1] >= 0x80 &&
			    (unsigned char)rest[i + 1] <= 0x9f);
		EXPECT_FALSE(bad) << "byte " << (int)c << " at " << i << " in: " << rest;
	}
}

}  // namespace

TEST_F(CliRender, HeadersWithoutColour)
{
	// color auto on a non-terminal: no sequences at all.
	EXPECT_EQ(message("alice", "GLOBAL", "hi"), "[T] alice: hi\n");
	EXPECT_EQ(message("alice", "*", "hi"), "[T] alice: hi\n");
	EXPECT_EQ(message("alice", "bob", "psst"), "[T] alice to bob: psst\n");
	EXPECT_EQ(message("alice", "bob", "a\033b"), "[T] alice to bob: a\\x1bb\n");
}

TEST_F(CliRender, HeadersInColour)
{
	cli_state.color = 1;
	EXPECT_EQ(message("bob", "GLOBAL", "hi"), "[T] \033[1;32mbob\033[0m: hi\n");
	EXPECT_EQ(message("alice", "bob", "psst"),
		  "[T] \033[1;34malice\033[0m to \033[1;32mbob\033[0m: psst\n");
	EXPECT_EQ(message("alice", "GLOBAL", "a\033b"), "[T] \033[1;34malice\033[0m: a\033[1m\\x1b\033[0mb\n");
	cli_state.color = 0;
	EXPECT_EQ(message("bob", "GLOBAL", "a\033b"), "[T] bob: a\\x1bb\n");
	cli_state.color = 7;	// out of range: no colour
	EXPECT_EQ(message("bob", "GLOBAL", "a\033b"), "[T] bob: a\\x1bb\n");
}

TEST_F(CliRender, LongOwnNameIsNeverGreen)
{
	std::string name32(32, 'z');
	cli_state.own_user_name = name32.c_str();
	cli_state.color = 1;
	// The server sends the first 31 bytes.
	EXPECT_EQ(message(name32.substr(0, 31), name32.substr(0, 31), "x"),
		  "[T] \033[1;34m" + std::string(31, 'z') + "\033[0m to \033[1;34m" + std::string(31, 'z') +
			  "\033[0m: x\n");
}

TEST_F(CliRender, BodiesByKind)
{
	EXPECT_EQ(message("alice", "GLOBAL", "<b>x</b>", MESSAGE_KIND_HTML), "[T] alice: [HTML]\n");
	EXPECT_EQ(message("alice", "GLOBAL", std::string(100000, '\xff'), MESSAGE_KIND_IMAGE),
		  "[T] alice: [Image]\n");
	cli_state.showhtml = 3;
	EXPECT_EQ(message("alice", "GLOBAL", "<b>\033[2J</b>", MESSAGE_KIND_HTML), "[T] alice: <b>\\x1b[2J</b>\n");
	cli_state.showhtml = 9;
	EXPECT_EQ(message("alice", "GLOBAL", "<i>", MESSAGE_KIND_HTML), "[T] alice: <i>\n");
	EXPECT_EQ(message("alice", "GLOBAL", "odd kind", 77), "[T] alice: odd kind\n");
	EXPECT_EQ(message("alice", "GLOBAL", std::string("a\0b", 3)), "[T] alice: a\n");
	EXPECT_EQ(message("alice", "GLOBAL", "l1\r\nl2\r"), "[T] alice: l1\n  l2\n");
}

TEST_F(CliRender, NoticesAndPresence)
{
	EXPECT_EQ(show(user_packet(LOCAL_PACKET_USER_NOT_FOUND, "carol")), "[T] User carol not found\n");
	EXPECT_EQ(show(user_packet(LOCAL_PACKET_USER_ONLINE, "carol")), "[T] User carol is online\n");
	EXPECT_EQ(show(user_packet(LOCAL_PACKET_USER_OFFLINE, "carol")), "[T] User carol is offline\n");
	EXPECT_EQ(show(user_packet(LOCAL_PACKET_USER_ONLINE, "x\033]0;t\a")), "[T] User x\\x1b]0;t\\x07 is online\n");
	EXPECT_EQ(show(tt::empty_packet(99)), "[T] Unknown packet type 99\n");
	EXPECT_EQ(show(tt::empty_packet(LOCAL_PACKET_LOGIN)), "[T] Unknown packet type 0\n");
}

TEST_F(CliRender, SessionList)
{
	size_t size;
	unsigned char *p = local_packet_build_online_users(5, 3, &size);
	ASSERT_NE(p, nullptr);
	local_packet_set_user_info(p, 0, 4, "alice", "192.0.2.1");
	local_packet_set_user_info(p, 1, 5, "bob", "192.0.2.7");
	local_packet_set_user_info(p, 2, 12, "bob", "host\033[2J");
	std::string packet(reinterpret_cast<char *>(p), size);
	free(p);
	EXPECT_EQ(show(packet), "    4 alice           \t192.0.2.1\n"
				"*   5 bob             \t192.0.2.7\n"
				"   12 bob             \thost\\x1b[2J\n");
	p = local_packet_build_online_users(5, 0, &size);
	packet.assign(reinterpret_cast<char *>(p), size);
	free(p);
	EXPECT_EQ(show(packet), "");
}

TEST_F(CliRender, MalformedPacketsAreDropped)
{
	std::string m = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", 1, "hello");
	uint64_t bogus_text_length = 1000;
	memcpy(&m[84], &bogus_text_length, 8);
	EXPECT_EQ(show(m), "");
	std::string u = user_packet(LOCAL_PACKET_USER_ONLINE, "carol");
	u[12 + 5] = 'x';	// no NUL
	EXPECT_EQ(show(u), "");
	size_t size;
	unsigned char *p = local_packet_build_online_users(1, 2, &size);
	uint32_t count = 3;
	memcpy(p + 16, &count, 4);
	std::string list(reinterpret_cast<char *>(p), size);
	free(p);
	EXPECT_EQ(show(list), "");
	std::string tiny(8 + 4, '\0');	// length 4: not even a type
	tiny[0] = 4;
	EXPECT_EQ(show(tiny), "");
}

TEST_F(CliRender, HtmlThroughElinks)
{
	cli_state.showhtml = 2;
	std::string out = message("alice", "GLOBAL", "<p>Hello <b>world</b></p>", MESSAGE_KIND_HTML);
	EXPECT_EQ(out.substr(0, 11), "[T] alice: ");
	EXPECT_NE(out.find("\n   Hello world"), std::string::npos) << out;
	EXPECT_EQ(out.find('\033'), std::string::npos) << out;

	cli_state.showhtml = 1;
	cli_state.color = 0;	// the rendering's colours follow showhtml alone
	out = message("alice", "GLOBAL", "<p>Hello <b>world</b></p>", MESSAGE_KIND_HTML);
	EXPECT_NE(out.find("\033["), std::string::npos) << out;
	EXPECT_NE(out.find("Hello"), std::string::npos) << out;
	EXPECT_EQ(out.substr(out.size() - 4), "\033[0m");
}

TEST_F(CliRender, NothingFromAMessageDrivesTheTerminal)
{
	const char *docs[] = {
		"<p>a\033[31mRED\033]0;title\007b \033[2J</p>",
		"<p>&#27;[2J &#x1b;]0;t&#7; &#x9b;2J &#155;2J &#x9d;0;t&#x9c; \xc2\x9b" "2J</p>",
		"<a href=\"\033[2J\">x</a><a href=\"&#27;]0;owned&#7;\">y</a><a href=\"&#x9b;2J\">z</a>",
		"<img alt=\"&#27;[2J\"><pre>\033[2J&#27;c&#8;&#127;</pre><textarea>&#27;[31m</textarea>",
		"<meta charset=\"iso-8859-1\"><p>\x9b" "2J \x9d" "0;t\x9c</p>",
	};
	for (int showhtml : {1, 2, 3}) {
		cli_state.showhtml = showhtml;
		for (int color : {0, 1}) {
			cli_state.color = color;
			for (const char *d : docs) {
				std::string out = message("alice", "GLOBAL", d, MESSAGE_KIND_HTML);
				expect_only_colour_sequences(out);
				if (showhtml == 2 && color == 0) {
					EXPECT_EQ(out.find('\033'), std::string::npos) << out;
				}
			}
			expect_only_colour_sequences(message("alice", "GLOBAL", docs[1]));
			expect_only_colour_sequences(message("alice", "GLOBAL", "\xc2\x9b" "2J\x9b" "2J\033P\033\\"));
		}
	}
}

TEST_F(CliRender, ElinksMissing)
{
	const char *path = getenv("PATH");
	std::string saved = path != nullptr ? path : "";
	setenv("PATH", "/nonexistent", 1);
	cli_state.showhtml = 2;
	std::string err;
	std::string out = show(tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "alice", "GLOBAL", MESSAGE_KIND_HTML,
						  std::string(200000, 'x')), &err);
	setenv("PATH", saved.c_str(), 1);
	EXPECT_EQ(out, "[T] alice: \n");
	EXPECT_NE(err.find("elinks: No such file or directory\n"), std::string::npos) << err;
	EXPECT_NE(err.find("write: Broken pipe\n"), std::string::npos) << err;
}

TEST_F(CliRender, HistoryMessagesKeepTheirTimeAndShowTheDateOfAnEarlierDay)
{
	time_t now = time(nullptr);
	struct tm tm = {};
	localtime_r(&now, &tm);
	tm.tm_hour = 0;
	tm.tm_min = 0;
	tm.tm_sec = 1;
	time_t early_today = mktime(&tm);
	time_t days_ago = now - 3 * 24 * 3600;
	char date[64], clock[16];
	struct tm then = {};
	localtime_r(&days_ago, &then);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
	strftime(date, sizeof date, "%x", &then);
#pragma GCC diagnostic pop
	strftime(clock, sizeof clock, "[%H:%M:%S] ", &then);

	Capture o(1);
	cli_show_packet(reinterpret_cast<const unsigned char *>(history_packet(days_ago, "alice", "old news").data()));
	cli_show_packet(reinterpret_cast<const unsigned char *>(history_packet(early_today, "bob", "morning").data()));
	std::string out = o.text();
	EXPECT_EQ(out, std::string(clock) + "[" + date + "] alice: old news\n[00:00:01] bob: morning\n");

	size_t size;
	unsigned char *end = local_packet_build_history_end(2, &size);
	std::string end_packet(reinterpret_cast<char *>(end), size);
	free(end);
	EXPECT_EQ(show(end_packet), "[T] End of history (2 messages)\n");
}
