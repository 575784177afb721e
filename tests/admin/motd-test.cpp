// getmotd and setmotd on a real home directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/admin/admin-fixture.h"

namespace {

class MotdTest : public AdminTest {
protected:
	// Files of the home whose names begin with "motd." (temporary files).
	std::vector<std::string> motd_temporaries() const
	{
		std::vector<std::string> names;
		DIR *d = opendir(account_.home.c_str());
		while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
			if (std::string(e->d_name).rfind("motd.", 0) == 0)
				names.push_back(e->d_name);
		}
		if (d != nullptr)
			closedir(d);
		return names;
	}
};

}  // namespace

TEST_F(MotdTest, SetsTheTextOfAnOption)
{
	AdmResult r = adm({"setmotd", "-m", "hello"});
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(read_file("motd"), "hello\n");
	EXPECT_EQ(mode_of("motd"), 0600u);
	r = adm({"setmotd", "-m", "first", "-m", "line one\nline two\n"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(read_file("motd"), "line one\nline two\n");
	r = adm({"setmotd", "-m", ""});
	EXPECT_EQ(r.code, 0);
	EXPECT_TRUE(exists("motd"));
	EXPECT_EQ(read_file("motd"), "");
	r = adm({"getmotd"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "");
	// An existing file keeps its permission bits.
	ASSERT_EQ(chmod(path("motd").c_str(), 0644), 0);
	r = adm({"setmotd", "-m", "again"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(mode_of("motd"), 0644u);
	EXPECT_TRUE(motd_temporaries().empty());
}

TEST_F(MotdTest, CopiesStandardInputByteForByte)
{
	std::string text;
	for (int i = 0; i < 10000; i++)
		text += (char)(i * 7 % 256);
	AdmResult r = adm({"setmotd"}, text);
	EXPECT_EQ(r.code, 0) << r.err;
	EXPECT_EQ(r.err, "");	// no prompt on a pipe
	EXPECT_EQ(read_file("motd"), text);
	r = adm({"getmotd", "any", "-x", "arguments"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, text);
	r = adm({"setmotd"});
	EXPECT_EQ(r.code, 0);
	EXPECT_TRUE(exists("motd"));
	EXPECT_EQ(read_file("motd"), "");
}

TEST_F(MotdTest, PromptsOnATerminal)
{
	tt::Process p;
	ASSERT_TRUE(adm_pty({"setmotd"}, &p));
	std::string seen;
	ASSERT_TRUE(tt::read_until(p.out, "Type message below:\r\n", 10000, &seen)) << seen;
	tt::write_all(p.in, "welcome\r\x04");
	tt::read_to_eof(p.out, 10000, &seen);
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0) << seen;
	EXPECT_EQ(read_file("motd"), "welcome\n");
}

TEST_F(MotdTest, DeletesAndRefuses)
{
	write_file("motd", "old\n");
	AdmResult r = adm({"setmotd", "-d", "-m", "x"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "Option '-d' cannot be used together with '-m'\n");
	r = adm({"setmotd", "-m", "x", "-d"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(read_file("motd"), "old\n");
	r = adm({"setmotd", "-d", "-h"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "Usage: setmotd [-m <message> | -d]\n");
	EXPECT_TRUE(exists("motd"));
	r = adm({"setmotd", "-q"});
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(r.err, "setmotd: invalid option -- 'q'\nUsage: setmotd [-m <message> | -d]\n");
	r = adm({"setmotd", "-d"});
	EXPECT_EQ(r.code, 0);
	EXPECT_FALSE(exists("motd"));
	r = adm({"setmotd", "-d"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "motd: No such file or directory\n");
	r = adm({"getmotd"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "motd: No such file or directory\n");
}

TEST_F(MotdTest, ReadersSeeTheOldTextUntilTheNewOneIsWhole)
{
	write_file("motd", "old text\n", 0640);
	tt::Spec s;
	s.argv = {tt::tolvaradm_path(), "setmotd"};
	s.env = default_env();
	s.uid = account_.uid;
	s.gid = account_.gid;
	tt::Process p;
	ASSERT_TRUE(tt::spawn(s, &p));
	tt::write_all(p.in, "new text, first half; ");
	// Wait until the first half has reached the temporary file.
	bool written = false;
	for (int i = 0; i < 1000 && !written; i++) {
		for (const std::string &t : motd_temporaries())
			written = written || read_file(t) == "new text, first half; ";
		if (!written)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	ASSERT_TRUE(written);
	EXPECT_EQ(read_file("motd"), "old text\n");
	EXPECT_EQ(adm({"getmotd"}).out, "old text\n");
	tt::write_all(p.in, "second half\n");
	p.close_in();
	ASSERT_TRUE(p.wait(10000));
	EXPECT_EQ(p.exit_code(), 0);
	EXPECT_EQ(read_file("motd"), "new text, first half; second half\n");
	EXPECT_EQ(mode_of("motd"), 0640u);
	EXPECT_TRUE(motd_temporaries().empty());
}

TEST_F(MotdTest, AFailedWriteKeepsTheOldText)
{
	write_file("motd", "old text\n");
	AdmResult r = adm_limited(8, {"setmotd"}, std::string(10000, 'n'));	// 4096 bytes may be written
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "write: File too large\n");
	EXPECT_EQ(read_file("motd"), "old text\n");
	EXPECT_TRUE(motd_temporaries().empty());
	r = adm_limited(0, {"setmotd", "-m", "hello"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "write: File too large\n");
	EXPECT_EQ(read_file("motd"), "old text\n");
	EXPECT_TRUE(motd_temporaries().empty());
}
