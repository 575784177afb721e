// listuser in its three forms, with fingerprints checked against ssh-keygen on the same keys.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tests/admin/admin-fixture.h"

namespace {

class ListuserTest : public AdminTest {
protected:
	// The fingerprint that ssh-keygen -l -E hash prints for the key, without its "MD5:" or
	// "SHA256:" prefix, and the family it names.
	static void reference(const GeneratedKey &key, const std::string &hash, std::string *digest, std::string *family)
	{
		std::string cmd = "ssh-keygen -l -E " + hash + " -f '" + key.pub_path + "'";
		FILE *p = popen(cmd.c_str(), "r");
		ASSERT_NE(p, nullptr);
		char line[1024] = "";
		ASSERT_NE(fgets(line, sizeof line, p), nullptr);
		pclose(p);
		std::string l = line;	// "<bits> <HASH>:<digest> <comment> (<FAMILY>)\n"
		size_t colon = l.find(':');
		*digest = l.substr(colon + 1, l.find(' ', colon) - colon - 1);
		size_t open = l.rfind('(');
		*family = l.substr(open + 1, l.rfind(')') - open - 1);
	}
};

}  // namespace

TEST_F(ListuserTest, FingerprintsAgreeWithSshKeygenForEveryFamily)
{
	struct Kind {
		const char *type;
		int bits;
	} kinds[] = {{"rsa", 0}, {"rsa", 1024}, {"ecdsa", 256}, {"ecdsa", 384}, {"ecdsa", 521}, {"ed25519", 0}, {"dsa", 0}};
	std::vector<GeneratedKey> made;
	for (const Kind &k : kinds) {
		GeneratedKey key = keygen(k.type, k.bits, std::string(k.type) + " key");
		if (key.line.empty() && std::string(k.type) == "dsa")
			continue;	// this ssh-keygen no longer makes them
		ASSERT_FALSE(key.line.empty()) << k.type;
		std::string user = "user" + std::to_string(made.size());
		AdmResult r = adm({"adduser", "-a", key.line, user});
		ASSERT_EQ(r.code, 0) << r.err;
		made.push_back(key);
	}
	// One key without a comment, in the bare form.
	GeneratedKey bare = keygen("ed25519");
	ASSERT_EQ(adm({"adduser", "-a", bare.base64, "bare"}).code, 0);

	for (const std::string &hash : std::vector<std::string>{"md5", "sha256"}) {
		AdmResult r = adm({"listuser", "-h", hash});
		EXPECT_EQ(r.code, 0) << r.err;
		EXPECT_EQ(r.err, "");
		std::string expected;
		for (size_t i = 0; i < made.size(); i++) {
			std::string digest, family;
			reference(made[i], hash, &digest, &family);
			expected += "User \"user" + std::to_string(i) + "\", Public key fingerprint " + family + " " + digest +
				    ", Comment \"" + made[i].comment + "\"\n";
			EXPECT_EQ(digest.size(), hash == "md5" ? 47u : 43u);
		}
		std::string digest, family;
		reference(bare, hash, &digest, &family);
		expected += "User \"bare\", Public key fingerprint ED25519 " + digest + "\n";
		EXPECT_EQ(r.out, expected) << hash;
	}

	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	std::string expected;
	for (size_t i = 0; i < made.size(); i++)
		expected += "User \"user" + std::to_string(i) + "\", Public key \"" + made[i].type + " " + made[i].base64 +
			    "\", Comment \"" + made[i].comment + "\"\n";
	expected += "User \"bare\", Public key \"ssh-ed25519 " + bare.base64 + "\"\n";
	EXPECT_EQ(r.out, expected);
	// As root, the same listing.
	EXPECT_EQ(adm_root({"listuser"}).out, expected);
}

TEST_F(ListuserTest, EmptyMissingAndBadOptions)
{
	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, ".ssh/authorized_keys: No such file or directory\n");
	write_file(".ssh/authorized_keys", "");
	r = adm({"listuser", "ignored", "operands"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	r = adm({"listuser", "-h", "MD5"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "Invalid hash algorithm 'MD5'\n");
	r = adm({"listuser", "-h"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "listuser: option requires an argument -- 'h'\nUsage: listuser [-h {md5|sha256}]\n");
	// The last -h counts.
	write_file(".ssh/authorized_keys", entry("a", fake_key("ssh-ed25519", 1)));
	r = adm({"listuser", "-h", "sha256", "-h", "md5"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out.size(), std::string("User \"a\", Public key fingerprint ED25519 \n").size() + 47);
}

TEST_F(ListuserTest, KeyDataThatCannotBeHashed)
{
	// The reader decodes only the start of the Base64 text.
	std::string key = fake_key("ssh-ed25519", 1);
	std::string bad = key.substr(0, 12 + 48) + "!" + key.substr(12 + 48);
	write_file(".ssh/authorized_keys", entry("good", key) + entry("bad", bad) + entry("after", key));
	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "User \"good\", Public key \"" + key + "\"\nUser \"bad\", Public key \"" + bad +
				 "\"\nUser \"after\", Public key \"" + key + "\"\n");
	r = adm({"listuser", "-h", "md5"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Invalid BASE64 encoding\n");
	EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "User \"bad\", ");

	// Key data holding no more than a type name.
	write_file(".ssh/authorized_keys", entry("short", "RSA AAAAA1JTQQ=="));
	r = adm({"listuser", "-h", "sha256"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "Invalid key\n");
	EXPECT_EQ(r.out, "User \"short\", ");
}

TEST_F(ListuserTest, WarnsAboutMalformedLinesAndGoesOn)
{
	std::string k1 = fake_key("ssh-rsa", 1), k2 = fake_key("ssh-ed25519", 2);
	write_file(".ssh/authorized_keys", "# comment\n" + entry("a", k1) + "junk\n\ncommand=\"\" " + k2 + "\n" +
						   std::string(5000, 'x') + "\n" + entry("b", k2 + " c"));
	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "User \"a\", Public key \"" + k1 + "\"\nUser \"b\", Public key \"" + k2 + "\", Comment \"c\"\n");
	EXPECT_EQ(r.err, "Warning: cannot find '\"' at line 3 in file .ssh/authorized_keys\n"
			 "Warning: empty user name in file .ssh/authorized_keys line 5\n"
			 "Warning: line 6 in file .ssh/authorized_keys is too long, skipping\n");
}

TEST_F(ListuserTest, RemovesAStrayRcFile)
{
	std::string k1 = fake_key("ssh-ed25519", 1);
	write_file(".ssh/authorized_keys", entry("a", k1));
	write_file(".ssh/rc", "#!/bin/sh\n");
	AdmResult r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "tolvar shouldn't have a SSH RC file '.ssh/rc'; removing\n");
	EXPECT_FALSE(exists(".ssh/rc"));
	ASSERT_EQ(mkdir(path(".ssh/rc").c_str(), 0700), 0);
	r = adm({"listuser"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "'.ssh/rc' exists, and it is a directory!\nWarning: configuration error left unresolved\n");
	EXPECT_EQ(r.out, "User \"a\", Public key \"" + k1 + "\"\n");
	EXPECT_TRUE(exists(".ssh/rc"));
}
