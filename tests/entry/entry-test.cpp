// tolvard's start-up checks, run as a real account: identity, HOME, the socket path bound,
// the working directory, and the argument vector.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testing/support.h"

namespace {

class Entry : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvent"), &account_));
	}
	static void TearDownTestSuite() { tt::remove_account(account_); }

	// Runs tolvard with the given arguments as the account (or as uid 0 with as_root).
	int run(const std::vector<std::string> &args, const std::vector<std::string> &env, std::string *err,
		bool as_root = false)
	{
		tt::Spec s;
		s.argv = {"tolvard"};
		s.exe = tt::tolvard_path();
		s.argv.insert(s.argv.end(), args.begin(), args.end());
		s.env = env;
		if (!as_root) {
			s.uid = account_.uid;
			s.gid = account_.gid;
		}
		std::string out;
		return tt::run(s, &out, err);
	}

	std::vector<std::string> home_env() { return {"HOME=" + account_.home, "PATH=/usr/bin:/bin"}; }

	static tt::Account account_;
};

tt::Account Entry::account_;

}  // namespace

TEST_F(Entry, RootIsRefusedWhateverTheArguments)
{
	for (auto args : std::vector<std::vector<std::string>>{{}, {"-c", "alice"}, {"-x"}}) {
		std::string err;
		EXPECT_EQ(run(args, home_env(), &err, true), 1);
		EXPECT_EQ(err, "tolvard: This program shouldn't be run under effective root\n");
	}
}

TEST_F(Entry, RealAndEffectiveIdsMustAgree)
{
	tt::Spec s;
	s.argv = {"/usr/bin/setpriv", "--ruid=" + std::to_string(account_.uid), "--euid=65534",
		  "--regid=" + std::to_string(account_.gid), "--clear-groups", tt::tolvard_path()};
	s.env = home_env();
	std::string out, err;
	EXPECT_EQ(tt::run(s, &out, &err), 1);
	// A process with two user ids cannot be inspected, not even by the sanitizer build's own
	// leak checker, which then adds its complaint: only the first line is ours.
	err = err.substr(0, err.find('\n') + 1);
	EXPECT_EQ(err, tt::tolvard_path() + ": Real user ID (" + std::to_string(account_.uid) +
			   ") does not equal to effective user ID (65534)\n");
}

TEST_F(Entry, AUserIdWithoutAccount)
{
	tt::Spec s;
	s.argv = {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", tt::tolvard_path()};
	s.env = home_env();
	std::string out, err;
	EXPECT_EQ(tt::run(s, &out, &err), 1);
	EXPECT_EQ(err.rfind("getpwuid: ", 0), 0u) << err;
	EXPECT_EQ(err.find("Success"), std::string::npos) << err;
}

TEST_F(Entry, HomeMustBeSetAndExact)
{
	std::string err;
	EXPECT_EQ(run({"-x"}, {"PATH=/usr/bin:/bin"}, &err), 1);
	EXPECT_EQ(err, "tolvard: HOME not set\n");
	err.clear();
	EXPECT_EQ(run({"-x"}, {"HOME=" + account_.home + "/"}, &err), 1);
	EXPECT_EQ(err, "tolvard: HOME=\"" + account_.home + "/\" does not equal to \"" + account_.home + "\"\n");
	err.clear();
	EXPECT_EQ(run({"-x"}, {"HOME=/tmp"}, &err), 1);
	EXPECT_EQ(err, "tolvard: HOME=\"/tmp\" does not equal to \"" + account_.home + "\"\n");
}

TEST_F(Entry, WrongArgumentVectorsGiveTheUsage)
{
	for (auto args : std::vector<std::vector<std::string>>{
		 {"-c"}, {"-x", "alice"}, {"alice"}, {"-c", "alice", "more"}, {"-c", "a", "b", "c"}}) {
		std::string err;
		EXPECT_EQ(run(args, home_env(), &err), 255) << args.size();
		EXPECT_EQ(err, "Usage: tolvard [-c <user-name>]\n");
	}
}

TEST_F(Entry, HomeAtTheSocketPathBound)
{
	// A home of exactly 96 bytes still fits "HOME/socket" and its NUL in 104 bytes; 97 does not.
	for (size_t len : {96u, 97u}) {
		std::string dir = account_.home + "/";
		dir += std::string(len - dir.size(), 'd');
		ASSERT_EQ(dir.size(), len);
		ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
		ASSERT_EQ(chown(dir.c_str(), account_.uid, account_.gid), 0);
		ASSERT_EQ(system(("usermod -d '" + dir + "' " + account_.name).c_str()), 0);
		std::string err;
		int rc = run({"-x", "y"}, {"HOME=" + dir}, &err);
		if (len == 96) {
			EXPECT_EQ(rc, 255);	// every check passed: the usage comes last
			EXPECT_EQ(err, "Usage: tolvard [-c <user-name>]\n");
		} else {
			EXPECT_EQ(rc, 1);
			EXPECT_EQ(err, "home path too long (97 bytes)\n");
		}
		ASSERT_EQ(system(("usermod -d '" + account_.home + "' " + account_.name).c_str()), 0);
		rmdir(dir.c_str());
	}
}

TEST_F(Entry, HomeThatCannotBeEntered)
{
	ASSERT_EQ(chmod(account_.home.c_str(), 0), 0);
	ASSERT_EQ(chown(account_.home.c_str(), 0, 0), 0);
	std::string err;
	EXPECT_EQ(run({"-x"}, home_env(), &err), 1);
	EXPECT_EQ(err, account_.home + ": " + strerror(EACCES) + "\n");
	ASSERT_EQ(chown(account_.home.c_str(), account_.uid, account_.gid), 0);
	ASSERT_EQ(chmod(account_.home.c_str(), 0755), 0);
}
