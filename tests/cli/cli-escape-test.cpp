// Escaping of text from other users on its way to the terminal.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli-escape.h"

namespace {

bool yes(void) { return true; }
int bold_asked = 0;
bool count_and_yes(void)
{
	bold_asked++;
	return true;
}

std::string text(const std::string &in, bool (*bold)(void) = nullptr)
{
	char *buf = nullptr;
	size_t size = 0;
	FILE *f = open_memstream(&buf, &size);
	cli_write_message_text(f, in.data(), in.size(), bold);
	fclose(f);
	std::string s(buf, size);
	free(buf);
	return s;
}

std::string with(const std::string &in, SafeTextOptions o, size_t chunk = 0)
{
	char *buf = nullptr;
	size_t size = 0;
	FILE *f = open_memstream(&buf, &size);
	SafeTextState st;
	if (chunk == 0) {
		cli_write_safe(f, reinterpret_cast<const unsigned char *>(in.data()), in.size(), false, o, &st);
	} else {
		// Feed in chunks, carrying what is left over as a caller would.
		std::string pending;
		for (size_t i = 0; i < in.size(); i += chunk) {
			pending += in.substr(i, chunk);
			bool more = i + chunk < in.size();
			size_t used = cli_write_safe(f, reinterpret_cast<const unsigned char *>(pending.data()),
						     pending.size(), more, o, &st);
			pending.erase(0, used);
		}
		EXPECT_TRUE(pending.empty());
	}
	fclose(f);
	std::string s(buf, size);
	free(buf);
	return s;
}

const SafeTextOptions UTF8_TEXT = {true, true, false, false, TERM_CHARSET_UTF8, nullptr, nullptr};

}  // namespace

TEST(CliEscape, ControlBytesThatDriveTheTerminalAreShownAsHex)
{
	EXPECT_EQ(text("a\033b"), "a\\x1bb");
	EXPECT_EQ(text("a\033b", yes), "a\033[1m\\x1b\033[0mb");
	EXPECT_EQ(text(std::string("\x04\x07\x08\x7f", 4)), "\\x04\\x07\\x08\\x7f");
	// Enquiry (answerback) and the character set shifts, too.
	EXPECT_EQ(text("\x05\x0e\x0f"), "\\x05\\x0e\\x0f");
	EXPECT_EQ(text("\033[2J\033]0;title\007"), "\\x1b[2J\\x1b]0;title\\x07");
}

TEST(CliEscape, CarriageReturnRule)
{
	EXPECT_EQ(text("a\r\nb"), "a\n  b");
	EXPECT_EQ(text("a\rb"), "a\\x0db");
	EXPECT_EQ(text("a\r"), "a");
	EXPECT_EQ(text("\r\r\n"), "\\x0d\n");
}

TEST(CliEscape, HarmlessBytesPassUnchanged)
{
	std::string s = "tab\there, line, \x01\x02\x03\x06\x0b\x0c\x10\x1a\x1c\x1f, "
			"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
	EXPECT_EQ(text(s), s);
	// Line feeds pass; the lines after the first are indented, empty lines stay empty.
	EXPECT_EQ(text("one\n[12:00:00] carol: two\n\nthree\n"), "one\n  [12:00:00] carol: two\n\n  three\n");
}

TEST(CliEscape, TextEndsAtTheFirstNul)
{
	EXPECT_EQ(text(std::string("ab\0\033cd", 6)), "ab");
	EXPECT_EQ(text(std::string("ab\r\0cd", 6)), "ab");
}

TEST(CliEscape, BoldIsDecidedOnceAtTheFirstEscape)
{
	bold_asked = 0;
	EXPECT_EQ(text("plain text"), "plain text");
	EXPECT_EQ(text("no escapes", count_and_yes), "no escapes");
	EXPECT_EQ(bold_asked, 0);
	EXPECT_EQ(text("\033\033\a", count_and_yes),
		  "\033[1m\\x1b\033[0m\033[1m\\x1b\033[0m\033[1m\\x07\033[0m");
	EXPECT_EQ(bold_asked, 1);
}

TEST(CliEscape, C1ControlsInUtf8AreEscaped)
{
	// CSI, OSC and ST as code points U+009B, U+009D, U+009C.
	EXPECT_EQ(with("a\xc2\x9b" "2J", UTF8_TEXT), "a\\xc2\\x9b2J");
	EXPECT_EQ(with("\xc2\x9d" "0;t\xc2\x9c", UTF8_TEXT), "\\xc2\\x9d0;t\\xc2\\x9c");
	// U+00A0 and above are text.
	EXPECT_EQ(with("\xc2\xa0\xc2\xbf", UTF8_TEXT), "\xc2\xa0\xc2\xbf");
	// Lone bytes 0x80 to 0x9F (not inside a character) are escaped; lone 0xA0 to 0xFF are not.
	EXPECT_EQ(with("x\x9b" "2J\x85\xe9", UTF8_TEXT), "x\\x9b2J\\x85\xe9");
	// A well-formed character whose later bytes lie in 0x80 to 0x9F is text.
	EXPECT_EQ(with("\xe2\x9b\x94", UTF8_TEXT), "\xe2\x9b\x94");
	// A truncated character at the very end.
	EXPECT_EQ(with("\xe2\x9b", UTF8_TEXT), "\xe2\\x9b");
}

TEST(CliEscape, C1ControlsInSingleByteCharsets)
{
	SafeTextOptions o = UTF8_TEXT;
	o.charset = TERM_CHARSET_SINGLE_BYTE;
	EXPECT_EQ(with("\x9b" "2J \x9d" "0;t\x9c \xe9\xa0\xff", o), "\\x9b2J \\x9d0;t\\x9c \xe9\xa0\xff");
	o.charset = TERM_CHARSET_MULTI_BYTE;
	EXPECT_EQ(with("\033", o), "\\x1b");
}

TEST(CliEscape, MultiByteSetsPassOnlyTheirCharacters)
{
	ASSERT_NE(setlocale(LC_CTYPE, "ja_JP.EUC-JP"), nullptr);
	SafeTextOptions o = UTF8_TEXT;
	o.charset = TERM_CHARSET_MULTI_BYTE;
	// Kanji and half-width kana pass; CSI, OSC and a lead byte without its trail are escaped,
	// in one piece and split across chunks alike.
	std::string in = "\xc6\xfc\xcb\xdc \x8e\xb1 \x9b" "2J \x9d" "0;t \xc6";
	std::string want = "\xc6\xfc\xcb\xdc \x8e\xb1 \\x9b2J \\x9d0;t \\xc6";
	EXPECT_EQ(with(in, o), want);
	for (size_t chunk = 1; chunk < 4; chunk++)
		EXPECT_EQ(with(in, o, chunk), want) << chunk;
	// A name cut to fit never ends inside a character.
	char name[8];
	EXPECT_STREQ(cli_escape_name("ab\xc6\xfc\xcb\xdc\x9b", name, 6), "ab\xc6\xfc");
	setlocale(LC_CTYPE, "C");
}

TEST(CliEscape, NamesEscapeEveryControlByte)
{
	char buf[cli_escaped_size(31)];
	EXPECT_STREQ(cli_escape_name("alice", buf, sizeof buf), "alice");
	EXPECT_STREQ(cli_escape_name("a\tb\nc\x01\x1b", buf, sizeof buf), "a\\x09b\\x0ac\\x01\\x1b");
	EXPECT_STREQ(cli_escape_name("\xc2\x9b" "2J", buf, sizeof buf), "\\xc2\\x9b2J");
	std::string worst(31, '\x1b');
	EXPECT_EQ(std::string(cli_escape_name(worst, buf, sizeof buf)).size(), 31u * 4);
	char tiny[6];
	EXPECT_STREQ(cli_escape_name("abcdefgh", tiny, sizeof tiny), "abcde");
	// A cut never leaves the first bytes of a character, whose continuation bytes a terminal
	// reading 8-bit bytes could take for C1 controls.
	EXPECT_STREQ(cli_escape_name("abc\xf3\x9f\x9d\x9dz", tiny, sizeof tiny), "abc");
	EXPECT_STREQ(cli_escape_name("abcd\xc3\xa9", tiny, sizeof tiny), "abcd");
	EXPECT_STREQ(cli_escape_name("abc\xc3\xa9", tiny, sizeof tiny), "abc\xc3\xa9");
}

TEST(CliEscape, ColourSequencesPassOnlyWhenAskedAndOnlyThose)
{
	SafeTextOptions o = {false, true, false, true, TERM_CHARSET_UTF8, nullptr, nullptr};
	EXPECT_EQ(with("\033[0;30m\033[1;37mtext\033[0m", o), "\033[0;30m\033[1;37mtext\033[0m");
	EXPECT_EQ(with("\033[2J\033]0;t\007\033[31;1H\033c\033[?25l", o),
		  "\\x1b[2J\\x1b]0;t\\x07\\x1b[31;1H\\x1bc\\x1b[?25l");
	// An over-long run of parameters is no colour sequence.
	std::string longseq = "\033[" + std::string(40, '1') + "m";
	EXPECT_EQ(with(longseq, o), "\\x1b[" + std::string(40, '1') + "m");
	EXPECT_EQ(with("\033[", o), "\\x1b[");
	EXPECT_EQ(with(std::string("\0x", 2), o), "\\x00x");
	o.keep_sgr = false;
	EXPECT_EQ(with("\033[31m", o), "\\x1b[31m");
}

TEST(CliEscape, ChunkBoundariesChangeNothing)
{
	SafeTextOptions o = {false, true, false, true, TERM_CHARSET_UTF8, nullptr, nullptr};
	std::string in = "a\033[1;32mgreen\033[0m \xe2\x82\xac\r\nx\xc2\x9b" "2J\033[2J\r";
	std::string whole = with(in, o);
	EXPECT_EQ(whole, "a\033[1;32mgreen\033[0m \xe2\x82\xac\nx\\xc2\\x9b2J\\x1b[2J");
	for (size_t chunk = 1; chunk <= 8; chunk++)
		EXPECT_EQ(with(in, o, chunk), whole) << "chunk " << chunk;
}
