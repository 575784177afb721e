// removeuser on real key files: one and several entries, anywhere in the file, the questions,
// and what must stay in place.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/admin/admin-fixture.h"

namespace {

class RemoveuserTest : public AdminTest {
protected:
	std::string k(unsigned int seed) { return fake_key("ssh-ed25519", seed); }
	std::vector<std::string> only_key_file() { return {"authorized_keys", "authorized_keys.lock"}; }
};

}  // namespace

TEST_F(RemoveuserTest, RemovesAnEntryInTheMiddle)
{
	GeneratedKey ed = keygen("ed25519", 0, "alice's key");
	std::string before = entry("bob", k(1)), after = "# kept\n" + entry("carol", k(3));
	write_file(".ssh/authorized_keys", before + entry("alice", ed.line) + after, 0644);
	AdmResult r = adm({"removeuser", "-f", "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(keys(), before + after);
	EXPECT_EQ(mode_of(".ssh/authorized_keys"), 0644u);
	EXPECT_EQ(ssh_dir_names(), only_key_file());	// no temporary file is left
}

TEST_F(RemoveuserTest, AsksBeforeRemovingOneEntry)
{
	std::string content = entry("alice", k(1)) + entry("bob", k(2));
	write_file(".ssh/authorized_keys", content);
	AdmResult r = adm({"removeuser", "alice"}, "no\n");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Remove user alice from TOLVAR user list? Operation canceled\n");
	EXPECT_EQ(keys(), content);
	r = adm({"removeuser", "alice"});	// end of input is no
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(keys(), content);
	r = adm({"removeuser", "alice"}, "yes\n");
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Remove user alice from TOLVAR user list? ");
	EXPECT_EQ(keys(), entry("bob", k(2)));
}

TEST_F(RemoveuserTest, RemovesSeveralEntriesAfterAWarning)
{
	std::string content = entry("alice", k(1)) + "# comment between\n" + entry("bob", k(2)) +
			      "  command=\"alice\" ssh-ed25519 " + k(3).substr(12) + " indented\n" +
			      "garbage line\n" + entry("Alice", k(4)) + entry("alice2", k(5)) + entry("alice", k(6));
	write_file(".ssh/authorized_keys", content);
	std::string warning = "User alice have 3 public keys registered in the user list\n"
			      "If you want to remove only some of the user's keys, edit file '" + account_.home +
			      "/.ssh/authorized_keys' manually\nRemove all keys for user alice? ";
	std::string malformed = "Warning: cannot find '\"' at line 5 in file .ssh/authorized_keys\n";
	AdmResult r = adm({"removeuser", "alice"}, "n\n");	// ignored, then end of input
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, malformed + warning + "Operation canceled\n");
	EXPECT_EQ(keys(), content);

	r = adm({"removeuser", "alice"}, "yes\n");
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, malformed + warning + "Removed 3 keys for user alice\n");
	EXPECT_EQ(keys(), "# comment between\n" + entry("bob", k(2)) + "garbage line\n" + entry("Alice", k(4)) +
				  entry("alice2", k(5)));
	// With -f neither warning nor question; the count still comes at the end.
	write_file(".ssh/authorized_keys", entry("bob", k(1)) + entry("bob", k(2)));
	r = adm({"removeuser", "-f", "bob"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Removed 2 keys for user bob\n");
	EXPECT_EQ(keys(), "");
}

TEST_F(RemoveuserTest, LastLineWithoutNewline)
{
	std::string last = entry("alice", k(2));
	last.pop_back();
	write_file(".ssh/authorized_keys", entry("bob", k(1)) + last);
	AdmResult r = adm({"removeuser", "-f", "alice"});
	EXPECT_EQ(r.code, 0) << r.err;
	std::string bob = entry("bob", k(1));
	bob.pop_back();
	EXPECT_EQ(keys(), bob);	// the newline before it went with it
	r = adm({"removeuser", "-f", "bob"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(keys(), "");
}

TEST_F(RemoveuserTest, LargeFileWithManyEntries)
{
	// Several blocks of the file move for each entry.
	std::string content, expected;
	for (unsigned int i = 0; i < 300; i++) {
		std::string e = entry(i % 50 == 7 ? "victim" : "user" + std::to_string(i), k(i));
		content += e;
		if (i % 50 != 7)
			expected += e;
	}
	write_file(".ssh/authorized_keys", content);
	AdmResult r = adm({"removeuser", "-f", "victim"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "Removed 6 keys for user victim\n");
	EXPECT_EQ(keys(), expected);
}

TEST_F(RemoveuserTest, RefusalsLeaveTheFileAlone)
{
	AdmResult r = adm({"removeuser", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, ".ssh/authorized_keys: No such file or directory\n");
	make_ssh_dir();
	r = adm({"removeuser", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, ".ssh/authorized_keys: No such file or directory\n");
	EXPECT_FALSE(exists(".ssh/authorized_keys"));

	std::string content = entry("Alice", k(1)) + entry("alice2", k(2));
	write_file(".ssh/authorized_keys", content);
	r = adm({"removeuser", "-f", "alice"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "User alice not found\n");
	r = adm({"removeuser", "-f", "a/b"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Invalid user name 'a/b'\n");
	r = adm({"removeuser", "alice", "-f"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "Usage: removeuser [-f] <user-name>\n");
	r = adm({"removeuser"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(keys(), content);
}

// A line whose key cannot be decoded is reported and kept; the entries after it count as any.
TEST_F(RemoveuserTest, AnUndecodableLineHidesNothingAfterIt)
{
	GeneratedKey a1 = keygen("ed25519", 0, "alice one"), b = keygen("ed25519", 0, "bob"),
		     c = keygen("rsa", 1024, "carol"), a2 = keygen("ecdsa", 256, "alice two");
	ASSERT_FALSE(a2.line.empty());
	std::string broken = b.line;
	broken[b.type.size() + 1 + 10] = '!';	// within the part that every reader decodes
	const std::string warning = "Invalid key: invalid BASE64 encoding\n"
				    "Warning: cannot decode key in file .ssh/authorized_keys line 2; key ignored\n";
	write_file(".ssh/authorized_keys",
		   entry("alice", a1.line) + entry("bob", broken) + entry("carol", c.line) + entry("alice", a2.line));

	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, warning);
	auto listed = [](const std::string &user, const GeneratedKey &key) {
		return "User \"" + user + "\", Public key \"" + key.type + " " + key.base64 + "\", Comment \"" + key.comment +
		       "\"\n";
	};
	EXPECT_EQ(r.out, listed("alice", a1) + listed("carol", c) + listed("alice", a2));
	// The duplicate search of adduser reads past it too.
	r = adm({"adduser", "-f", "-a", c.line, "dave"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, warning + "This public key is already used by user carol.\nAre you pasted wrong key?\n");

	r = adm({"removeuser", "-f", "alice"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, warning + "Removed 2 keys for user alice\n");
	EXPECT_EQ(keys(), entry("bob", broken) + entry("carol", c.line));
}

TEST_F(RemoveuserTest, AsksOnATerminal)
{
	write_file(".ssh/authorized_keys", entry("alice", k(1)) + entry("bob", k(2)));
	tt::Process p;
	ASSERT_TRUE(adm_pty({"removeuser", "alice"}, &p));
	std::string seen;
	ASSERT_TRUE(tt::read_until(p.out, "Remove user alice from TOLVAR user list? ", 10000, &seen)) << seen;
	tt::write_all(p.in, "\xe6\x98\xaf\r");	// 是
	tt::read_to_eof(p.out, 10000, &seen);
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0) << seen;
	EXPECT_EQ(keys(), entry("bob", k(2)));
}

TEST_F(RemoveuserTest, RootRemovesAndKeepsTheFilesMode)
{
	write_file(".ssh/authorized_keys", entry("alice", k(1)) + entry("bob", k(2)), 0640);
	AdmResult r = adm_root({"removeuser", "-f", "bob"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(keys(), entry("alice", k(1)));
	EXPECT_EQ(mode_of(".ssh/authorized_keys"), 0640u);
	struct stat st;
	ASSERT_EQ(stat(path(".ssh/authorized_keys").c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, account_.uid);
	EXPECT_EQ(ssh_dir_names(), only_key_file());
}
