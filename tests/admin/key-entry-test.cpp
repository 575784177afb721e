// The key file reader on files of every shape, tested directly on real streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "admin/key-entry.h"
#include "admin/key-types.h"

namespace {

std::string b64(const std::string &data)
{
	std::string out(data.size() * 2 + 8, '\0');
	base64_encode(reinterpret_cast<const unsigned char *>(data.data()), data.size(), &out[0], out.size(),
		      BASE64_PAD);
	out.resize(out.find('\0'));
	return out;
}

std::string u32(uint32_t v)
{
	return {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}

// Base64 key data with the given type name (and some body bytes).
std::string key_data(const std::string &type_name, char fill = 'k')
{
	return b64(u32((uint32_t)type_name.size()) + type_name + u32(32) + std::string(32, fill));
}

struct Entry {
	std::string user, key, comment;
	bool has_comment = false;
	unsigned int length = 0;
};

struct ReadAll {
	std::vector<Entry> entries;
	std::string warnings;
	int last = 0;	// the result that ended the reading
};

ReadAll read_all(const std::string &content, bool want_comment = true)
{
	ReadAll r;
	FILE *f = tmpfile();
	fwrite(content.data(), 1, content.size(), f);
	rewind(f);
	key_entry_reset_line_counter();
	testing::internal::CaptureStderr();
	for (;;) {
		char *user = nullptr, *key = nullptr, *comment = nullptr;
		unsigned int length = 0;
		r.last = read_key_entry(f, &user, &key, want_comment ? &comment : nullptr, &length);
		if (r.last != 0)
			break;
		Entry e;
		e.user = user;
		e.key = key;
		e.has_comment = comment != nullptr;
		e.comment = comment != nullptr ? comment : "";
		e.length = length;
		r.entries.push_back(e);
		free(user);
		free(key);
		free(comment);
	}
	r.warnings = testing::internal::GetCapturedStderr();
	fclose(f);
	return r;
}

const std::string ed = key_data("ssh-ed25519");
const std::string rsa = key_data("ssh-rsa");
const std::string p384 = key_data("ecdsa-sha2-nistp384");
const std::string opts = ",no-agent-forwarding,no-port-forwarding";

}  // namespace

TEST(KeyEntry, ReadsTheEntryThatAdduserWrites)
{
	ReadAll r = read_all("command=\"alice\"" + opts + " ssh-ed25519 " + ed + " laptop\n");
	ASSERT_EQ(r.entries.size(), 1u);
	EXPECT_EQ(r.entries[0].user, "alice");
	EXPECT_EQ(r.entries[0].key, "ssh-ed25519 " + ed);
	EXPECT_TRUE(r.entries[0].has_comment);
	EXPECT_EQ(r.entries[0].comment, "laptop");
	EXPECT_EQ(r.warnings, "");
	EXPECT_EQ(r.last, -1);
}

TEST(KeyEntry, AcceptsEveryValidShape)
{
	std::string tail = "command=\"last\" ssh-ed25519 " + ed;	// no newline at the end
	std::string content = "\t  command=\"blanks\"" + opts + " ssh-ed25519 " + ed + "\n" +
			      "command=\"bare\" ssh-rsa " + rsa + "\n" +
			      "no-pty,command=\"opt first\",no-pty ecdsa-sha2-nistp256 " + p384 + " a  b\n" +
			      "command=\"two\" ED25519 " + ed + "  spaced\n" +
			      "command=\"tab\" ssh-ed25519 " + ed + "\tnot a comment\n" +
			      "command=\"empty comment\" ssh-ed25519 " + ed + " \n" +
			      "command=\"" + std::string("\xe5\xbc\xa0\xe4\xb8\x89") + "\" rsa " + rsa + "\n" +
			      tail;
	ReadAll r = read_all(content);
	EXPECT_EQ(r.warnings, "");
	ASSERT_EQ(r.entries.size(), 8u);
	EXPECT_EQ(r.entries[0].user, "blanks");
	EXPECT_EQ(r.entries[0].length, content.find('\n'));	// leading blanks counted
	EXPECT_FALSE(r.entries[0].has_comment);
	EXPECT_EQ(r.entries[1].user, "bare");
	EXPECT_EQ(r.entries[1].key, "ssh-rsa " + rsa);
	EXPECT_EQ(r.entries[2].user, "opt first");
	EXPECT_EQ(r.entries[2].key, "ecdsa-sha2-nistp256 " + p384);	// only families are compared
	EXPECT_EQ(r.entries[2].comment, "a  b");
	EXPECT_EQ(r.entries[3].key, "ED25519 " + ed);
	EXPECT_EQ(r.entries[3].comment, " spaced");
	EXPECT_EQ(r.entries[4].key, "ssh-ed25519 " + ed + "\tnot");	// a tab does not end the Base64 text
	EXPECT_EQ(r.entries[4].comment, "a comment");
	EXPECT_TRUE(r.entries[5].has_comment);
	EXPECT_EQ(r.entries[5].comment, "");
	EXPECT_EQ(r.entries[6].user, "\xe5\xbc\xa0\xe4\xb8\x89");
	EXPECT_EQ(r.entries[7].user, "last");
	EXPECT_EQ(r.entries[7].length, tail.size());
}

TEST(KeyEntry, WarnsAboutEveryMalformedLineWithItsNumber)
{
	std::string lines[] = {
		/* 1 */ "# a comment",
		/* 2 */ "",
		/* 3 */ " \t ",
		/* 4 */ std::string("\0command=\"nul\" ssh-ed25519 ", 26) + ed,
		/* 5 */ "  # word",
		/* 6 */ "ssh-ed25519 " + ed + " no quote",
		/* 7 */ "cmd=\"short\" ssh-ed25519 " + ed,
		/* 8 */ "from=\"x\",command=\"alice\" ssh-ed25519 " + ed,
		/* 9 */ "no-pty command=\"alice\" ssh-ed25519 " + ed,
		/* 10 */ "command=\"alice ssh-ed25519 " + ed,
		/* 11 */ "command=\"alice\",no-pty",
		/* 12 */ "command=\"\" ssh-ed25519 " + ed,
		/* 13 */ "command=\"\"",
		/* 14 */ "command=\"alice\" ssh-ed25519",
		/* 15 */ "command=\"alice\" ssh-foo " + ed,
		/* 16 */ "command=\"alice\"  ssh-ed25519 " + ed,
		/* 17 */ "command=\"alice\" RSA " + key_data("ssh-xyz"),
		/* 18 */ "command=\"alice\" ssh-rsa " + ed,
		/* 19 */ "command=\"long\" ssh-ed25519 " + ed + " " + std::string(4100, 'c'),
		/* 20 */ "command=\"ok\" ssh-ed25519 " + ed + " fine",
		/* 21 */ "command=\"alice\" ssh-ed25519 " + ed + std::string("\0 hidden", 8),
	};
	std::string content;
	for (const auto &l : lines)
		content += l + "\n";
	ReadAll r = read_all(content);
	const char *f = " in file .ssh/authorized_keys line ";
	std::string expected = std::string("Warning: cannot find '\"' at line 5 in file .ssh/authorized_keys\n") +
			       "Warning: cannot find '\"' at line 6 in file .ssh/authorized_keys\n" +
			       "Warning: syntax error" + f + "7\n" + "Warning: syntax error" + f + "8\n" +
			       "Warning: syntax error" + f + "9\n" + "Warning: unmatched '\"'" + f + "10\n" +
			       "Warning: syntax error" + f + "11\n" + "Warning: empty user name" + f + "12\n" +
			       "Warning: syntax error" + f + "13\n" + "Warning: syntax error" + f + "14\n" +
			       "Warning: invalid key type 'ssh-foo'" + f + "15\n" +
			       "Warning: invalid key type ''" + f + "16\n" +
			       "Warning: invalid key type 'ssh-xyz' from BASE64" + f + "17\n" +
			       "Warning: key type didn't match" + f + "18; key ignored\n" +
			       "Warning: line 19 in file .ssh/authorized_keys is too long, skipping\n";
	EXPECT_EQ(r.warnings, expected);
	ASSERT_EQ(r.entries.size(), 2u);
	EXPECT_EQ(r.entries[0].user, "ok");
	EXPECT_EQ(r.entries[0].comment, "fine");
	// A NUL ends the text of a line, but the line's length counts every byte read.
	EXPECT_EQ(r.entries[1].user, "alice");
	EXPECT_FALSE(r.entries[1].has_comment);
	EXPECT_EQ(r.entries[1].length, lines[20].size());
}

TEST(KeyEntry, PassesOverAnUndecodableKey)
{
	std::string content = "command=\"a\" ssh-ed25519 " + ed + "\n" + "command=\"b\" ssh-ed25519 AAAA!xyz\n" +
			      "command=\"c\" ssh-ed25519 \n" + "command=\"d\" ssh-ed25519 " + ed + "\n";
	ReadAll r = read_all(content);
	EXPECT_EQ(r.last, -1);
	ASSERT_EQ(r.entries.size(), 2u);
	EXPECT_EQ(r.entries[0].user, "a");
	EXPECT_EQ(r.entries[1].user, "d");
	EXPECT_EQ(r.entries[1].length, content.size() - content.rfind("command=") - 1);
	EXPECT_EQ(r.warnings, "Invalid key: invalid BASE64 encoding\n"
			      "Warning: cannot decode key in file .ssh/authorized_keys line 2; key ignored\n"
			      "Invalid key: too short\n"
			      "Warning: cannot decode key in file .ssh/authorized_keys line 3; key ignored\n");
}

TEST(KeyEntry, LeavesTheStreamAfterEachEntry)
{
	std::string first = "command=\"a\" ssh-ed25519 " + ed + "\n";
	std::string second = "#x\ncommand=\"b\" ssh-ed25519 " + ed;
	FILE *f = tmpfile();
	fputs((first + second).c_str(), f);
	rewind(f);
	key_entry_reset_line_counter();
	char *u, *k;
	unsigned int len;
	ASSERT_EQ(read_key_entry(f, &u, &k, nullptr, &len), 0);
	EXPECT_EQ(ftell(f), (long)first.size());
	free(u);
	free(k);
	ASSERT_EQ(read_key_entry(f, &u, &k, nullptr, &len), 0);
	EXPECT_EQ(ftell(f), (long)(first.size() + second.size()));
	free(u);
	free(k);
	EXPECT_EQ(read_key_entry(f, &u, &k, nullptr, &len), -1);
	fclose(f);
}

// Mutated entry lines, read under the sanitizers: whatever the bytes, an entry that comes back
// has a user name and a key text whose type word is known, and reading ends.
TEST(KeyEntry, MutatedLinesNeverBreakTheReader)
{
	std::string base = "command=\"alice\"" + opts + " ssh-ed25519 " + ed + " comment here";
	const char specials[] = {'"', ' ', '\t', '\n', '\0', '=', '#', 'A', '\xff'};
	srand(4321);
	std::string content;
	for (int i = 0; i < 3000; i++) {
		std::string line = base;
		int edits = 1 + rand() % 4;
		for (int e = 0; e < edits; e++) {
			size_t at = (size_t)rand() % line.size();
			switch (rand() % 4) {
			case 0:
				line[at] = specials[rand() % sizeof specials];
				break;
			case 1:
				line.erase(at, (size_t)rand() % 20);
				break;
			case 2:
				line.insert(at, 1, (char)(rand() % 256));
				break;
			default:
				line = line.substr(0, at);
				break;
			}
			if (line.empty())
				line = "x";
		}
		content += line + "\n";
	}
	FILE *f = tmpfile();
	fwrite(content.data(), 1, content.size(), f);
	rewind(f);
	key_entry_reset_line_counter();
	testing::internal::CaptureStderr();
	int entries = 0, result;
	for (int rounds = 0; rounds < 10000; rounds++) {
		char *user, *key, *comment;
		unsigned int length;
		result = read_key_entry(f, &user, &key, &comment, &length);
		if (result != 0)
			break;
		entries++;
		EXPECT_GT(strlen(user), 0u);
		const char *space = strchr(key, ' ');
		ASSERT_NE(space, nullptr);
		EXPECT_GE(get_key_type(key, (size_t)(space - key)), 0) << key;
		EXPECT_LE(length, KEY_LINE_MAX);
		free(user);
		free(key);
		free(comment);
	}
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(result, -1);
	EXPECT_GT(entries, 0);
	fclose(f);
}
