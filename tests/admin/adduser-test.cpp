// adduser on a real home with keys made by ssh-keygen: both key forms, the prompt, every
// refusal, duplicates, the question and the key directory.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/admin/admin-fixture.h"

namespace {

class AdduserTest : public AdminTest {};

const char *const adduser_usage = "Usage: adduser [-a <public-key-in-base64>] [-f] <user-name>\n";

}  // namespace

TEST_F(AdduserTest, AddsBothKeyForms)
{
	GeneratedKey ed = keygen("ed25519", 0, "alice@laptop and more");
	GeneratedKey rsa = keygen("rsa", 1024);
	ASSERT_FALSE(ed.line.empty());
	make_ssh_dir();
	AdmResult r = adm({"adduser", "-a", ed.line, "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "");
	// The bare Base64 text takes its type word from the key data.
	r = adm({"adduser", "-a", rsa.base64, "bob"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(keys(), entry("alice", ed.line) + entry("bob", "ssh-rsa " + rsa.base64));
	// A short type word is written as typed.
	GeneratedKey ed2 = keygen("ed25519");
	r = adm({"adduser", "-a", "ED25519 " + ed2.base64, "carol"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(keys(), entry("alice", ed.line) + entry("bob", "ssh-rsa " + rsa.base64) +
				  entry("carol", "ED25519 " + ed2.base64));
}

TEST_F(AdduserTest, ReadsTheKeyFromStandardInput)
{
	GeneratedKey ed = keygen("ed25519", 0, "from stdin");
	AdmResult r = adm({"adduser", "alice"}, ed.line + "\n");
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "Input public key for alice: ");
	EXPECT_EQ(keys(), entry("alice", ed.line));

	r = adm({"adduser", "bob"}, "\n");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Input public key for bob: Invalid key: too short\n");
	r = adm({"adduser", "bob"}, std::string(4096, 'A') + "\n");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Input public key for bob: Public key too long\n");
	r = adm({"adduser", "bob"});
	EXPECT_EQ(r.code, 1);
	EXPECT_NE(r.err.find("Input public key for bob: "), std::string::npos);
	EXPECT_EQ(keys(), entry("alice", ed.line));
}

TEST_F(AdduserTest, RefusesBadCommandLinesAndNames)
{
	AdmResult r = adm({"adduser"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, adduser_usage);
	// Options end at the first operand.
	r = adm({"adduser", "alice", "-f"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, adduser_usage);
	r = adm({"adduser", "-a"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "adduser: option requires an argument -- 'a'\n");

	std::string key = fake_key("ssh-ed25519", 1);
	for (const std::string &name : std::vector<std::string>{"", "a/b", "x:y", "t\tab", "quo\"te", std::string(33, 'n')}) {
		r = adm({"adduser", "-a", key, name});
		EXPECT_EQ(r.code, 1) << name;
		EXPECT_EQ(r.err, "Invalid user name '" + name + "'\n");
	}
	r = adm({"adduser", "-a", key + "\nx", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Key string shouldn't have new line\n");
	EXPECT_FALSE(exists(".ssh"));

	// Names of 32 bytes, with spaces or UTF-8 letters are fine.
	for (const std::string &name : std::vector<std::string>{std::string(32, 'n'), "with space", "\xe5\xbc\xa0\xe4\xb8\x89"}) {
		r = adm({"adduser", "-a", fake_key("ssh-ed25519", 2 + (unsigned)name.size()), name});
		EXPECT_EQ(r.code, 0) << r.err;
	}
}

TEST_F(AdduserTest, ValidatesTheKey)
{
	GeneratedKey ed = keygen("ed25519");
	GeneratedKey ec = keygen("ecdsa", 521);
	struct Case {
		std::string key, message;
	} cases[] = {
		{"", "Invalid key: too short\n"},
		{" " + ed.base64, "Invalid key type ''\n"},
		{"ssh-foo " + ed.base64, "Invalid key type 'ssh-foo'\n"},
		{"SSH-ED25519 " + ed.base64, "Invalid key type 'SSH-ED25519'\n"},
		{"ssh-ed25519 AAAA", "Invalid key: too short\n"},
		{"ssh-ed25519 AAAAZA==", "Invalid key: key type string length 100 too long\n"},
		{"ssh-ed25519 AA*A" + ed.base64, "Invalid key: invalid BASE64 encoding\n"},
		{"ssh-rsa " + ed.base64, "Invalid key: key type didn't match\n"},
		{"RSA " + ed.base64 + " comment", "Invalid key: key type didn't match\n"},
		{fake_key("ssh-xyz", 1), "Invalid key type 'ssh-xyz'\n"},
		{fake_key("ssh-xyz", 1).substr(8), "Invalid key type 'ssh-xyz'\n"},
		// Text beyond the header that is no Base64 would make an entry nobody can use.
		{ed.type + " " + ed.base64.substr(0, 50) + "!" + ed.base64.substr(50), "Invalid key: invalid BASE64 encoding\n"},
		{ed.type + " " + ed.base64 + "\tcomment", "Invalid key: invalid BASE64 encoding\n"},
		{"ssh-ed25519 " + ed.base64 + " " + std::string(4100, 'c'), "Public key too long\n"},
	};
	for (const Case &c : cases) {
		AdmResult r = adm({"adduser", "-a", c.key, "alice"});
		EXPECT_EQ(r.code, 1) << c.key;
		EXPECT_EQ(r.err, c.message) << c.key;
	}
	EXPECT_FALSE(exists(".ssh/authorized_keys"));
	// Only families are compared.
	AdmResult r = adm({"adduser", "-a", "ecdsa-sha2-nistp256 " + ec.base64, "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	r = adm({"adduser", "-a", "ecdsa-sha2-nistp256 " + ec.base64 + " c", "bob"});
	EXPECT_EQ(r.code, 1);	// the same key text, comment aside
	EXPECT_EQ(r.err, "This public key is already used by user alice.\nAre you pasted wrong key?\n");
}

TEST_F(AdduserTest, RefusesAKeyAlreadyRegistered)
{
	GeneratedKey ed = keygen("ed25519", 0, "one");
	std::string before = entry("carol", fake_key("ssh-ed25519", 7)) + entry("bob", ed.line);
	write_file(".ssh/authorized_keys", before);
	for (const std::string &key : std::vector<std::string>{ed.line, ed.type + " " + ed.base64, ed.type + " " + ed.base64 + " other",
				       ed.base64}) {
		for (const char *user : {"alice", "bob"}) {
			AdmResult r = adm({"adduser", "-f", "-a", key, user});
			EXPECT_EQ(r.code, 1) << key;
			EXPECT_EQ(r.err, "This public key is already used by user bob.\nAre you pasted wrong key?\n");
		}
	}
	EXPECT_EQ(keys(), before);
	// The same key data under another type word is another text.
	AdmResult r = adm({"adduser", "-a", "ED25519 " + ed.base64, "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(AdduserTest, CountsTheUsersKeysAndAsks)
{
	std::string k1 = fake_key("ssh-ed25519", 1), k2 = fake_key("ssh-ed25519", 2), k3 = fake_key("ssh-ed25519", 3);
	write_file(".ssh/authorized_keys", entry("alice", k1) + entry("Alice", fake_key("ssh-ed25519", 9)));
	AdmResult r = adm({"adduser", "-a", k2, "alice"}, "yes\n");
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "1 key already exist for user alice\nAre you sure you want to add this key for user alice? ");
	r = adm({"adduser", "-a", k3, "alice"}, "no\n");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "2 keys already exist for user alice\nAre you sure you want to add this key for user alice? "
			 "Operation canceled\n");
	r = adm({"adduser", "-f", "-a", k3, "alice"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "2 keys already exist for user alice\n");
	EXPECT_EQ(keys(), entry("alice", k1) + entry("Alice", fake_key("ssh-ed25519", 9)) + entry("alice", k2) +
				  entry("alice", k3));
}

// Every answer of the yes/no rule, through adduser's question.
TEST_F(AdduserTest, AnswersToTheQuestion)
{
	write_file(".ssh/authorized_keys", entry("alice", fake_key("ssh-ed25519", 0)));
	struct Answer {
		std::string input;
		bool yes;
	} answers[] = {
		{"Yes\n", true}, {"yes!\n", true}, {"YES please\n", true}, {"yEs", true},
		{"\xe6\x98\xaf\xe7\x9a\x84\n", true},		// 是的
		{"\xe5\xa5\xbd\n", true}, {"\xe5\xa5\xbd\xe7\x9a\x84\n", true},	// 好, 好的
		{"\xe5\x8f\xaf\xe4\xbb\xa5\n", true},		// 可以
		{"y\nn\n\n\xe5\x90\xa6\xe3\x80\x82\n\xe5\x8f\xaf\xe4\xbb\xa5\xe5\x90\x97\nyes\n", true},  // ignored, then yes
		{"aaaaaaaaaaaaaaaXyes\n", true},	// the rest of an overlong line is read next
		{"No\n", false}, {"nO\n", false}, {"NONE\n", false}, {"nope yes\n", false},
		{"\xe4\xb8\x8d\xe5\xa5\xbd\n", false},			// 不好
		{"\xe4\xb8\x8d\xe6\x98\xaf\n", false},			// 不是
		{"\xe4\xb8\x8d\xe5\x8f\xaf\xe4\xbb\xa5\n", false},	// 不可以
		{"\xe5\x90\xa6\n", false},				// 否
		{"", false}, {"y\n\n", false}, {"aaaaaaaaaaaaaaaXno", false},
	};
	unsigned int seed = 100;
	for (const Answer &a : answers) {
		std::string before = keys();
		std::string key = fake_key("ssh-ed25519", seed++);
		AdmResult r = adm({"adduser", "-a", key, "alice"}, a.input);
		EXPECT_EQ(r.code, a.yes ? 0 : 1) << a.input;
		EXPECT_EQ(r.err.find("Operation canceled\n") != std::string::npos, !a.yes) << a.input;
		EXPECT_EQ(keys(), a.yes ? before + entry("alice", key) : before) << a.input;
	}
}

TEST_F(AdduserTest, AsksOnATerminal)
{
	write_file(".ssh/authorized_keys", entry("alice", fake_key("ssh-ed25519", 0)));
	std::string key = fake_key("ssh-ed25519", 1);
	tt::Process p;
	ASSERT_TRUE(adm_pty({"adduser", "-a", key, "alice"}, &p));
	std::string seen;
	ASSERT_TRUE(tt::read_until(p.out, "add this key for user alice? ", 10000, &seen)) << seen;
	tt::write_all(p.in, "maybe\r");
	tt::read_for(p.out, 200, &seen);
	EXPECT_FALSE(p.wait(0));
	tt::write_all(p.in, "\xe5\xa5\xbd\r");
	tt::read_to_eof(p.out, 10000, &seen);
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0) << seen;
	EXPECT_EQ(keys(), entry("alice", fake_key("ssh-ed25519", 0)) + entry("alice", key));
}

TEST_F(AdduserTest, MakesTheKeyDirectorySafe)
{
	// Created when missing, with the key file as its only entry.
	AdmResult r = adm({"adduser", "-a", fake_key("ssh-ed25519", 1), "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(mode_of(".ssh"), 0750u);
	EXPECT_EQ(keys(), entry("alice", fake_key("ssh-ed25519", 1)));

	// Writable by others: fixed, group write stays.
	ASSERT_EQ(chmod(path(".ssh").c_str(), 0777), 0);
	r = adm({"adduser", "-a", fake_key("ssh-ed25519", 2), "bob"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "'.ssh' is global writable\nfixed\n");
	EXPECT_EQ(mode_of(".ssh"), 0775u);

	// A stray .ssh/rc goes, whether a file or a link to a directory; a directory stops adduser.
	write_file(".ssh/rc", "echo hi\n");
	r = adm({"adduser", "-a", fake_key("ssh-ed25519", 3), "carol"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "tolvar shouldn't have a SSH RC file '.ssh/rc'; removing\n");
	EXPECT_FALSE(exists(".ssh/rc"));
	ASSERT_EQ(symlink("/tmp", path(".ssh/rc").c_str()), 0);
	r = adm({"adduser", "-a", fake_key("ssh-ed25519", 4), "dave"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "tolvar shouldn't have a SSH RC file '.ssh/rc'; removing\n");
	EXPECT_FALSE(exists(".ssh/rc"));
	ASSERT_EQ(mkdir(path(".ssh/rc").c_str(), 0700), 0);
	std::string before = keys();
	r = adm({"adduser", "-a", fake_key("ssh-ed25519", 5), "erin"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "'.ssh/rc' exists, and it is a directory!\nCannot continue\n");
	EXPECT_TRUE(exists(".ssh/rc"));
	EXPECT_EQ(keys(), before);
	rmdir(path(".ssh/rc").c_str());

	// Another owner, or not a directory at all.
	ASSERT_EQ(chown(path(".ssh").c_str(), 0, 0), 0);
	r = adm_root({"adduser", "-a", fake_key("ssh-ed25519", 6), "fred"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "'.ssh' is not owned by tolvar (0 != " + std::to_string(account_.uid) + ")\n");
	system(("rm -rf " + path(".ssh")).c_str());
	write_file(".ssh", "not a directory");
	r = adm({"adduser", "-a", fake_key("ssh-ed25519", 7), "fred"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "'.ssh' is not a directory\n");
}

TEST_F(AdduserTest, StartsANewLineAfterAnUnfinishedLastLine)
{
	std::string last = entry("alice", fake_key("ssh-ed25519", 1));
	last.pop_back();
	write_file(".ssh/authorized_keys", last, 0640);
	AdmResult r = adm({"adduser", "-a", fake_key("ssh-ed25519", 2), "bob"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(keys(), last + "\n" + entry("bob", fake_key("ssh-ed25519", 2)));
	EXPECT_EQ(mode_of(".ssh/authorized_keys"), 0640u);
	r = adm({"listuser"});
	EXPECT_EQ(r.out, "User \"alice\", Public key \"" + fake_key("ssh-ed25519", 1) + "\"\nUser \"bob\", Public key \"" +
				 fake_key("ssh-ed25519", 2) + "\"\n");
}

TEST_F(AdduserTest, RootAddsForTheAccount)
{
	GeneratedKey ec = keygen("ecdsa", 256, "root added");
	AdmResult r = adm_root({"adduser", "-a", ec.line, "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	struct stat st;
	ASSERT_EQ(stat(path(".ssh/authorized_keys").c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, account_.uid);
	ASSERT_EQ(stat(path(".ssh").c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, account_.uid);
	EXPECT_EQ(keys(), entry("alice", ec.line));
}
