// The tool's entry: the service account, the caller's identity, the home directory and the
// subcommand table, seen from outside.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/admin/admin-fixture.h"

namespace {

const char subcommand_list[] =
	"Following subcommands are available:\n"
	"\tadduser [-a <public-key-in-base64>] [-f] <user-name>\n"
	"\tremoveuser [-f] <user-name>\n"
	"\tlistuser [-h {md5|sha256}]\n"
	"\tgetmotd \n"
	"\tsetmotd [-m <message> | -d]\n"
	"\twho [-t]\n"
	"\tkick <user-name> [<message>]\n"
	"\tmute [<user-name> <duration>]\n"
	"\tunmute <user-name>\n"
	"\tstats [--prometheus]\n";

class EntryTest : public AdminTest {};

}  // namespace

TEST_F(EntryTest, WithoutSubcommandListsThemWhoeverRunsIt)
{
	AdmResult r = adm({});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, subcommand_list);
	EXPECT_EQ(r.out, "");
	r = adm_root({});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, subcommand_list);
	// The list comes before the identity checks.
	r = adm_as(65534, 65534, {});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, subcommand_list);
}

TEST_F(EntryTest, SubcommandNamesAreCaseSensitive)
{
	AdmResult r = adm({"ADDUSER", "alice"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, std::string("Unknown command 'ADDUSER'\n") + subcommand_list);
	r = adm_root({"ADDUSER"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, std::string("Unknown command 'ADDUSER'\n") + subcommand_list);
}

TEST_F(EntryTest, RefusesOtherUsers)
{
	tt::Account other;
	ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvadmo"), &other));
	for (const auto &args : std::vector<std::vector<std::string>>{{"ADDUSER"}, {"getmotd"}, {"setmotd", "-m", "x"}}) {
		AdmResult r = adm_as(other.uid, other.gid, args);
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, "Current effective UID " + std::to_string(other.uid) +
					 " doesn't equal to tolvar user account\n");
	}
	EXPECT_FALSE(exists("motd"));
	tt::remove_account(other);
}

TEST_F(EntryTest, MissingAccount)
{
	tt::remove_account(account_);
	AdmResult r = adm_root({"getmotd"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "tolvar user account not exist\n");
	r = adm_root({});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "tolvar user account not exist\n");
}

TEST_F(EntryTest, AccountWithUidZero)
{
	tt::remove_account(account_);
	std::string home = account_.home;
	ASSERT_EQ(system(("useradd -o -u 0 -M -N -g nogroup -d " + home + " -s /bin/sh tolvar 2>/dev/null").c_str()), 0);
	AdmResult r = adm_root({"getmotd"});
	system("userdel -f tolvar >/dev/null 2>&1");
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "tolvar user account have UID 0\n");
}

TEST_F(EntryTest, RootRunsAsTheAccountInItsHome)
{
	// HOME of the caller does not matter; the handler's is the account's home.
	std::string three = entry("alice", fake_key("ssh-ed25519", 1)) + entry("alice", fake_key("ssh-ed25519", 2));
	write_file(".ssh/authorized_keys", three);
	AdmResult r = adm_root({"removeuser", "alice"}, "no\n");
	EXPECT_EQ(r.code, 1);
	EXPECT_NE(r.err.find("edit file '" + account_.home + "/.ssh/authorized_keys' manually"), std::string::npos)
		<< r.err;
	r = adm_as(account_.uid, account_.gid, {"removeuser", "alice"}, "no\n", {"PATH=/usr/bin:/bin"});
	EXPECT_NE(r.err.find("edit file '" + account_.home + "/.ssh/authorized_keys' manually"), std::string::npos)
		<< r.err;

	// What root creates belongs to the account: root gave up its identity.
	r = adm_root({"setmotd", "-m", "hi"});
	EXPECT_EQ(r.code, 0) << r.err;
	struct stat st;
	ASSERT_EQ(stat(path("motd").c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, account_.uid);
	r = adm_root({"getmotd"});
	EXPECT_EQ(r.out, "hi\n");
}

// Links the account plants in its home lead root's run to root's own files, which root's
// group or a supplementary group of root's may read or write but the account may not.
TEST_F(EntryTest, RootGainsNothingThroughLinksTheAccountPlants)
{
	const gid_t extra = 4242;
	auto root_file = [&](const std::string &rel, const std::string &content, gid_t gid, mode_t mode) {
		write_file(rel, content, mode);
		ASSERT_EQ(chown(path(rel).c_str(), 0, gid), 0);
	};
	root_file("root-secret", "root's secret\n", 0, 0640);
	root_file("group-secret", "group secret\n", extra, 0640);
	const std::string root_keys = entry("root", fake_key("ssh-ed25519", 1));
	root_file("root-keys", root_keys, 0, 0660);
	const std::string motd = path("motd"), keys = path(".ssh/authorized_keys");

	// motd as a symbolic link, then as hard links (which no open flag can refuse).
	ASSERT_EQ(symlink(path("root-secret").c_str(), motd.c_str()), 0);
	AdmResult r = adm_root_in_group(extra, {"getmotd"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "motd: Too many levels of symbolic links\n");
	// setmotd replaces the link itself and takes nothing from what it points to.
	r = adm_root_in_group(extra, {"setmotd", "-m", "new"});
	EXPECT_EQ(r.code, 0) << r.err;
	struct stat st;
	ASSERT_EQ(lstat(motd.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(st.st_gid, account_.gid);
	EXPECT_EQ(read_file("root-secret"), "root's secret\n");
	for (const char *secret : {"root-secret", "group-secret"}) {
		ASSERT_EQ(unlink(motd.c_str()), 0);
		ASSERT_EQ(link(path(secret).c_str(), motd.c_str()), 0);
		r = adm_root_in_group(extra, {"getmotd"});
		EXPECT_EQ(r.code, 1) << secret;
		EXPECT_EQ(r.out, "") << secret;
		EXPECT_EQ(r.err, "motd: Permission denied\n");
	}

	// The key file as a symbolic link, then as a hard link, to a file root's group may write.
	make_ssh_dir();
	ASSERT_EQ(symlink(path("root-keys").c_str(), keys.c_str()), 0);
	const std::vector<std::vector<std::string>> commands = {
		{"adduser", "-a", fake_key("ssh-ed25519", 2), "alice"}, {"listuser"}, {"removeuser", "-f", "root"}};
	for (const auto &args : commands) {
		r = adm_root_in_group(extra, args);
		EXPECT_EQ(r.code, 1) << args[0];
		EXPECT_EQ(r.out, "") << args[0];
		EXPECT_EQ(r.err, ".ssh/authorized_keys: Too many levels of symbolic links\n") << args[0];
	}
	ASSERT_EQ(lstat(keys.c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	ASSERT_EQ(unlink(keys.c_str()), 0);
	ASSERT_EQ(link(path("root-keys").c_str(), keys.c_str()), 0);
	for (const auto &args : commands) {
		r = adm_root_in_group(extra, args);
		EXPECT_EQ(r.code, 1) << args[0];
		EXPECT_EQ(r.out, "") << args[0];
		EXPECT_EQ(r.err, ".ssh/authorized_keys: Permission denied\n") << args[0];
	}
	EXPECT_EQ(read_file("root-keys"), root_keys);
}

TEST_F(EntryTest, HomeDirectoryMustBeTheAccounts)
{
	ASSERT_EQ(chown(account_.home.c_str(), 0, 0), 0);
	for (bool as_root : {true, false}) {
		AdmResult r = as_root ? adm_root({"getmotd"}) : adm({"getmotd"});
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, "Home directory '" + account_.home + "' is not owned by tolvar (expecting UID=" +
					 std::to_string(account_.uid) + ", got 0)\n");
	}
	// Even an unknown subcommand stops there first.
	AdmResult r = adm({"nosuch"});
	EXPECT_EQ(r.code, 1);

	ASSERT_EQ(rename(account_.home.c_str(), (account_.home + ".away").c_str()), 0);
	r = adm_root({"getmotd"});
	rename((account_.home + ".away").c_str(), account_.home.c_str());
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, account_.home + ": No such file or directory\n");
}

TEST_F(EntryTest, UsageLines)
{
	AdmResult r = adm({"adduser", "-h", "extra", "words"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Usage: adduser [-a <public-key-in-base64>] [-f] <user-name>\n");
	r = adm({"removeuser", "-h"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Usage: removeuser [-f] <user-name>\n");
	r = adm({"setmotd", "-h"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Usage: setmotd [-m <message> | -d]\n");
	r = adm({"listuser", "-x"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "listuser: invalid option -- 'x'\nUsage: listuser [-h {md5|sha256}]\n");
	// adduser and removeuser leave the diagnostic alone.
	r = adm({"adduser", "-x", "alice"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "adduser: invalid option -- 'x'\n");
	r = adm({"removeuser", "-x", "alice"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "removeuser: invalid option -- 'x'\n");
}
