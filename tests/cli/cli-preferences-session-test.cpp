// The preferences file as sessions meet it, checked on the bytes of the real file afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/cli/cli-fixture.h"

using namespace ct;

namespace {

class CliPreferences : public CliTest {
protected:
	// Writes the user's file (creating the directory as the account would).
	void put(const std::string &user, const std::string &content)
	{
		std::string dir = account_.home + "/users-preferences";
		mkdir(dir.c_str(), 0750);
		ASSERT_EQ(chown(dir.c_str(), account_.uid, account_.gid), 0);
		write_home_file("users-preferences/" + user, content);
	}
	// Runs a session of user that types input and then /quit; returns what it showed.
	void session(const std::string &user, const std::string &input, Session *s)
	{
		start(s, user);
		s->type(input + "/listoptions -e\n/quit\n");
		ASSERT_EQ(s->finish(), 0) << s->out << s->err;
	}
	// The settings a session loads, as /listoptions -e shows them.
	std::string loaded(const Session &s)
	{
		size_t at = s.out.find("/alert ");
		return at == std::string::npos ? s.out : s.out.substr(at);
	}
	std::string file(const std::string &user) { return read_home_file(prefs_path(user)); }
	static constexpr const char *DEFAULTS = "/alert off\n/showhtml off\n/color auto\n/backlog 20\n";
};

}  // namespace

TEST_F(CliPreferences, FirstSessionCreatesDirectoryAndEmptyFile)
{
	Session s;
	session("newbie", "", &s);
	EXPECT_EQ(loaded(s), DEFAULTS);
	EXPECT_EQ(s.err, "\r\r");
	struct stat st;
	ASSERT_EQ(stat((account_.home + "/users-preferences").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_uid, account_.uid);
	ASSERT_EQ(stat(prefs_path("newbie").c_str(), &st), 0);
	EXPECT_EQ(st.st_size, 0);
	EXPECT_EQ(st.st_uid, account_.uid);
	// The process's file-creation mask applies (sshd's usual 022 here).
	EXPECT_EQ(st.st_mode & 0777, 0640u & ~(mode_t)022);
}

TEST_F(CliPreferences, ValidFileLoadsUnchanged)
{
	put("bob", "alert=1\ncolor=0\nshowhtml=3\n");
	Session s;
	session("bob", "", &s);
	EXPECT_EQ(loaded(s), "/alert on\n/showhtml raw\n/color off\n/backlog 20\n");
	EXPECT_EQ(file("bob"), "alert=1\ncolor=0\nshowhtml=3\n");
}

TEST_F(CliPreferences, CleaningOnLoad)
{
	put("bob", "# my settings\n\nalert=1\ncolour=1\ncolor=11\nshowhtml=2\n");
	Session s;
	session("bob", "", &s);
	EXPECT_EQ(s.err, "Unrecognized option 'colour=1', removing\n\r\r");
	EXPECT_EQ(loaded(s), "/alert on\n/showhtml plain\n/color auto\n/backlog 20\n");
	EXPECT_EQ(file("bob"), "# my settings\n\nalert=1\nshowhtml=2\n");

	put("carol", "color=x\n");
	Session c;
	session("carol", "", &c);
	EXPECT_EQ(loaded(c), "/alert off\n/showhtml off\n/color off\n/backlog 20\n");	// 72 colours nothing
	EXPECT_EQ(file("carol"), "color=x\n");

	put("dave", "color=1\nbogus");
	Session d;
	session("dave", "", &d);
	EXPECT_EQ(d.err, "Unrecognized option 'bogus', removing\n\r\r");
	EXPECT_EQ(file("dave"), "color=1");

	std::string longline = "showhtml=" + std::string(400, '1');
	put("erin", "alert=1\n" + longline + "\ncolor=0\n");
	Session e;
	session("erin", "/color on\n", &e);
	EXPECT_EQ(e.err, "\r\r\r");
	EXPECT_EQ(file("erin"), "alert=1\n" + longline + "\ncolor=1\n");
}

TEST_F(CliPreferences, CommandsStoreInPlaceOrAppend)
{
	put("bob", "# c\ncolor=2\nalert=0\n");
	Session s;
	session("bob", "/color on\n/bell on\n", &s);
	EXPECT_EQ(file("bob"), "# c\ncolor=1\nalert=1\n");

	put("carol", "");
	Session c;
	session("carol", "/alert on\n", &c);
	EXPECT_EQ(file("carol"), "alert=1\n");

	put("dave", "color=2");
	Session d;
	session("dave", "/alert on\n/showhtml color\n", &d);
	EXPECT_EQ(file("dave"), "color=2\nalert=1\nshowhtml=1\n");
}

TEST_F(CliPreferences, OnlyTheFirstLineOfAKeyIsRewritten)
{
	put("bob", "color=1\ncolor=0\n");
	Session s;
	session("bob", "/color auto\n", &s);
	EXPECT_NE(s.out.find("/color auto\n"), std::string::npos);
	EXPECT_EQ(file("bob"), "color=2\ncolor=0\n");
	Session again;
	session("bob", "", &again);
	EXPECT_EQ(loaded(again), "/alert off\n/showhtml off\n/color off\n/backlog 20\n");
}

TEST_F(CliPreferences, NothingStoredWhenTheFileCannotBeHad)
{
	ASSERT_EQ(symlink("nowhere", (account_.home + "/users-preferences").c_str()), 0);
	Session s;
	session("bob", "/color on\n", &s);
	EXPECT_EQ(s.err, "users-preferences: File exists\nCannot load or save preferences in this session\n\r\r\r");
	EXPECT_EQ(loaded(s), "/alert off\n/showhtml off\n/color on\n/backlog 20\n");	// the session's setting changed
	ASSERT_EQ(unlink((account_.home + "/users-preferences").c_str()), 0);

	std::string dir = account_.home + "/users-preferences";
	ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
	ASSERT_EQ(mkdir((dir + "/carol").c_str(), 0750), 0);
	ASSERT_EQ(chown(dir.c_str(), account_.uid, account_.gid), 0);
	Session c;
	session("carol", "/alert on\n", &c);
	EXPECT_EQ(c.err, "users-preferences/carol: Is a directory\n"
			 "Cannot load or save perferences in this session\n\r\r\r");
	EXPECT_EQ(loaded(c), "/alert on\n/showhtml off\n/color auto\n/backlog 20\n");
}
