// Message routing of the real server: recipients, copies, user-not-found answers, NUL
// replacement and conversion between the sessions' encodings.
#include <syslog.h>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

class ServerRouting : public st::ServerTest {
protected:
	Packet message(int fd)
	{
		return expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE);
	}
};

TEST_F(ServerRouting, DirectMessageReachesTheRecipientAndEverySessionOfTheSender)
{
	int a1 = quiet_login("alice");
	int bob = quiet_login("bob");
	int a2 = quiet_login("alice");
	drain_all({a1, bob});
	post(a1, "bob", "hi bob");
	for (int fd : {a1, bob, a2}) {
		Packet p = message(fd);
		EXPECT_EQ(p.from, "alice");
		EXPECT_EQ(p.to, "bob");
		EXPECT_EQ(p.kind, MESSAGE_KIND_PLAIN);
		EXPECT_EQ(p.text, "hi bob");
		EXPECT_EQ(p.length, 88u + 6);
	}
	for (int fd : {a1, bob, a2})
		expect_quiet(fd);
}

TEST_F(ServerRouting, OfflineRecipientIsReportedToTheSendingSessionOnly)
{
	int a1 = quiet_login("alice");
	int bob = quiet_login("bob");
	int a2 = quiet_login("alice");
	drain_all({a1, bob});
	post(a2, "carol", "anyone?");
	EXPECT_EQ(message(a1).text, "anyone?");
	EXPECT_EQ(message(a2).text, "anyone?");
	Packet nf = expect(a2, LOCAL_PACKET_USER_NOT_FOUND);
	EXPECT_EQ(nf.name, "carol");
	EXPECT_EQ(nf.length, 9u + 5);
	for (int fd : {a1, bob, a2})
		expect_quiet(fd);
}

TEST_F(ServerRouting, MessageToOneselfArrivesOnceInEachSession)
{
	int a1 = quiet_login("alice");
	int a2 = quiet_login("alice");
	drain(a1);
	post(a1, "alice", "note to self");
	EXPECT_EQ(message(a1).text, "note to self");
	EXPECT_EQ(message(a2).text, "note to self");
	expect_quiet(a1);
	expect_quiet(a2);
}

TEST_F(ServerRouting, GlobalAndStarMeanEverybodyButNothingElseDoes)
{
	int a1 = quiet_login("alice");
	int bob = quiet_login("bob");
	int outsider = connect_client();
	drain_all({a1});
	for (const char *everybody : {"GLOBAL", "*"}) {
		post(a1, everybody, std::string("to ") + everybody);
		for (int fd : {a1, bob}) {
			Packet p = message(fd);
			EXPECT_EQ(p.to, everybody);
			EXPECT_EQ(p.text, std::string("to ") + everybody);
		}
		expect_quiet(a1);
	}
	for (const char *name : {"GLOBALS", "**", "global"}) {
		post(bob, name, "direct");
		EXPECT_EQ(message(bob).to, name);
		EXPECT_EQ(expect(bob, LOCAL_PACKET_USER_NOT_FOUND).name, name);
	}
	expect_quiet(a1);
	expect_quiet(outsider);
}

TEST_F(ServerRouting, FromUserIsAlwaysTheSendersLoginName)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain(alice);
	post(alice, "bob", "forged", MESSAGE_KIND_PLAIN, "mallory");
	EXPECT_EQ(message(bob).from, "alice");
	// A from_user field without its NUL carries no value either.
	post(alice, "bob", "unterminated", MESSAGE_KIND_PLAIN, std::string(32, 'M'));
	Packet p = message(bob);
	EXPECT_EQ(p.from, "alice");
	EXPECT_EQ(p.text, "unterminated");
}

TEST_F(ServerRouting, OnlyPlainTextHasItsNulBytesReplaced)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain(alice);
	const std::string text("a\0b\0\0c", 6);
	post(alice, "bob", text, MESSAGE_KIND_PLAIN);
	EXPECT_EQ(message(bob).text, std::string("a\xff" "b\xff\xff" "c"));
	for (int32_t kind : {(int32_t)MESSAGE_KIND_HTML, (int32_t)MESSAGE_KIND_IMAGE, 77}) {
		post(alice, "bob", text, kind);
		Packet p = message(bob);
		EXPECT_EQ(p.kind, kind);
		EXPECT_EQ(p.text, text);
	}
	post(alice, "bob", "", MESSAGE_KIND_PLAIN);
	Packet empty = message(bob);
	EXPECT_EQ(empty.text, "");
	EXPECT_EQ(empty.length, 88u);
}

TEST_F(ServerRouting, MessagesOfOneSenderArriveInPostingOrder)
{
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain(alice);
	std::string burst;
	for (int i = 0; i < 200; i++)
		burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN,
					    "message " + std::to_string(i));
	send_raw(alice, burst);
	for (int i = 0; i < 200; i++) {
		EXPECT_EQ(message(bob).text, "message " + std::to_string(i));
		EXPECT_EQ(message(alice).text, "message " + std::to_string(i));
	}
}

TEST_F(ServerRouting, PlainTextIsConvertedToEachRecipientsEncoding)
{
	int a1 = quiet_login("alice", "UTF-8");
	int a2 = quiet_login("alice", "ISO-8859-1");
	int bob = quiet_login("bob", "ISO-8859-1");
	int carol = quiet_login("carol", "UTF-8");
	int dave = quiet_login("dave", "");
	drain_all({a1, a2, bob, carol});
	const std::string utf8 = "h\xc3\xa9llo w\xc3\xb6rld";
	const std::string latin1 = "h\xe9llo w\xf6rld";
	post(a1, "GLOBAL", utf8);
	EXPECT_EQ(message(a1).text, utf8);	// the sending session: never converted
	Packet converted = message(a2);		// another session of the sender: converted
	EXPECT_EQ(converted.text, latin1);
	EXPECT_EQ(converted.length, 88u + latin1.size());
	EXPECT_EQ(converted.from, "alice");
	EXPECT_EQ(converted.to, "GLOBAL");
	EXPECT_EQ(converted.kind, MESSAGE_KIND_PLAIN);
	EXPECT_EQ(message(bob).text, latin1);
	EXPECT_EQ(message(carol).text, utf8);	// same encoding
	EXPECT_EQ(message(dave).text, utf8);	// no encoding
	// Other kinds pass unconverted.
	post(a1, "bob", utf8, MESSAGE_KIND_HTML);
	EXPECT_EQ(message(bob).text, utf8);
	// A sender without encoding is never converted.
	post(dave, "bob", utf8);
	EXPECT_EQ(message(bob).text, utf8);
	// Latin-1 to UTF-8 grows the text, through many steps.
	std::string accents;
	std::string expected;
	for (int i = 0; i < 1000; i++) {
		accents += '\xe9';
		expected += "\xc3\xa9";
	}
	post(bob, "carol", accents + "x");
	Packet grown = message(carol);
	EXPECT_EQ(grown.text, expected + "x");
	EXPECT_EQ(grown.length, 88u + 2001);
	EXPECT_EQ(message(bob).text, accents + "x");
	EXPECT_EQ(log_count("failed to convert"), 0u) << log_->dump();
}

TEST_F(ServerRouting, ConversionFailuresFallBackToTheUnconvertedText)
{
	int alice = quiet_login("alice", "UTF-8");
	int odd = quiet_login("odd", "NO-SUCH-CHARSET-42");
	int bob = quiet_login("bob", "ISO-8859-1");
	drain_all({alice, odd});
	post(alice, "odd", "h\xc3\xa9");
	EXPECT_EQ(message(odd).text, "h\xc3\xa9");
	EXPECT_TRUE(wait_log("dispatch_message: failed to convert text encoding from UTF-8 to NO-SUCH-CHARSET-42: "
			     "Invalid argument (22)",
			     LOG_ERR))
	    << log_->dump();
	// Bytes that are no UTF-8 (the NUL became 0xFF too) cannot be converted.
	post(alice, "bob", std::string("a\xe9\0", 3));
	EXPECT_EQ(message(bob).text, "a\xe9\xff");
	EXPECT_TRUE(wait_log("failed to convert text encoding from UTF-8 to ISO-8859-1: ", LOG_ERR)) << log_->dump();
	// A character Latin-1 lacks.
	post(alice, "bob", "\xe2\x82\xac");
	EXPECT_EQ(message(bob).text, "\xe2\x82\xac");
	EXPECT_EQ(log_count("failed to convert text encoding from UTF-8 to ISO-8859-1"), 2u) << log_->dump();
}

TEST_F(ServerRouting, OnlyListedCharacterSetsAreConvertedWhateverTheirSpelling)
{
	int utf = quiet_login("utf", "UTF-8");
	int cn = quiet_login("cn", "ISO-2022-CN-EXT");
	int seven = quiet_login("seven", "UTF-7");
	int bom = quiet_login("bom", "UTF-16");
	int latin = quiet_login("latin", "latin1");
	int iso = quiet_login("iso", "ISO8859-1");
	int glibc = quiet_login("glibc", "iso88591");
	int utf8 = quiet_login("utf8", "utf8");
	drain_all({utf, cn, seven, bom, latin, iso, glibc});
	// Escape sequences that select GB 2312 and shift to it: never read by a converter.
	const std::string escaped = "\x1b$)A\x0e\x56\x50\x0f";
	post(cn, "utf", escaped);
	EXPECT_EQ(message(utf).text, escaped);
	EXPECT_EQ(message(cn).text, escaped);
	post(utf, "seven", "h\xc3\xa9");
	EXPECT_EQ(message(seven).text, "h\xc3\xa9");
	post(utf, "bom", "hi");
	EXPECT_EQ(message(bom).text, "hi");
	for (const char *copy : {"h\xc3\xa9", "hi"})
		EXPECT_EQ(message(utf).text, copy);
	// Listed sets under other spellings: converted, or passed as they are to the same set.
	post(utf8, "GLOBAL", "h\xc3\xa9");
	for (int fd : {utf, cn, seven, bom, utf8})
		EXPECT_EQ(message(fd).text, "h\xc3\xa9");
	for (int fd : {latin, iso, glibc})
		EXPECT_EQ(message(fd).text, "h\xe9");
	post(latin, "utf8", "h\xe9");
	EXPECT_EQ(message(utf8).text, "h\xc3\xa9");
	EXPECT_EQ(message(latin).text, "h\xe9");
	const std::string failed = "dispatch_message: failed to convert text encoding from ";
	const std::string why = ": Invalid argument (22)";
	EXPECT_EQ(log_texts("failed to convert"), (std::vector<std::string>{
						       failed + "ISO-2022-CN-EXT to UTF-8" + why,
						       failed + "UTF-8 to UTF-7" + why,
						       failed + "UTF-8 to UTF-16" + why,
						       failed + "utf8 to ISO-2022-CN-EXT" + why,
						       failed + "utf8 to UTF-7" + why,
						       failed + "utf8 to UTF-16" + why,
					       }))
	    << log_->dump();
	for (int fd : {utf, cn, seven, bom, latin, iso, glibc, utf8})
		expect_quiet(fd);
}

TEST_F(ServerRouting, LargeTextIsConvertedToWideCharacterSets)
{
	int sender = quiet_login("sender", "UTF-8");
	int wide = quiet_login("wide", "UTF-32LE");
	int half = quiet_login("half", "UTF-16BE");
	drain_all({sender, wide});
	std::string text, utf32, utf16;
	for (int i = 0; i < 100000; i++) {
		text += "abc\xc3\xa9";
		for (char c : {'a', 'b', 'c', '\xe9'}) {
			utf32 += c + std::string(3, '\0');
			utf16 += std::string(1, '\0') + c;
		}
	}
	post(sender, "GLOBAL", text);
	std::vector<Packet> got = next_each({sender, wide, half});
	EXPECT_TRUE(got[0].text == text);
	EXPECT_EQ(got[1].text.size(), utf32.size());
	EXPECT_TRUE(got[1].text == utf32);
	EXPECT_EQ(got[2].text.size(), utf16.size());
	EXPECT_TRUE(got[2].text == utf16);
	EXPECT_EQ(log_count("failed to convert"), 0u) << log_->dump();
}

TEST_F(ServerRouting, ConvertedTextNeverExceedsThePacketLimit)
{
	int latin = quiet_login("latin", "ISO-8859-1");
	int utf = quiet_login("utf", "UTF-8");
	drain(latin);
	const size_t max = LOCAL_MESSAGE_TEXT_MAX;
	// Grows to exactly the largest text a packet carries: converted.
	std::string fits = std::string(max - 32, 'a') + std::string(16, '\xe9');
	post(latin, "utf", fits);
	std::vector<Packet> got = next_each({utf, latin});
	EXPECT_EQ(got[0].length, LOCAL_PACKET_MAX_LENGTH);
	EXPECT_EQ(got[0].text.size(), max);
	EXPECT_EQ(got[0].text.substr(max - 4), "\xc3\xa9\xc3\xa9");
	EXPECT_EQ(got[1].text, fits);
	// One byte more would be refused by the recipient: it gets the text unconverted.
	std::string too_long = std::string(max - 31, 'a') + std::string(16, '\xe9');
	post(latin, "utf", too_long);
	got = next_each({utf, latin});
	EXPECT_EQ(got[0].text, too_long);
	EXPECT_EQ(got[1].text, too_long);
	EXPECT_TRUE(wait_log("failed to convert text encoding from ISO-8859-1 to UTF-8: Message too long (90)", LOG_ERR))
	    << log_->dump();
	// The largest text of all, doubled by conversion: unconverted as well.
	std::string largest(max, '\xe9');
	post(latin, "utf", largest);
	got = next_each({utf, latin});
	EXPECT_EQ(got[0].text, largest);
	EXPECT_EQ(got[1].text, largest);
	EXPECT_EQ(log_count("Message too long"), 2u);
	EXPECT_EQ(log_count("dropped"), 0u) << log_->dump();
	expect_quiet(utf);
}

}  // namespace
