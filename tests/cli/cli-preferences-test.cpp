// The preferences file: loading, cleaning and storing, checked on the file's bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "tests/cli/capture.h"

namespace {

class CliPrefs : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/tolvar-prefs-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		path_ = dir_ + "/file";
	}
	void TearDown() override
	{
		if (f_ != nullptr)
			fclose(f_);
		std::string cmd = "rm -rf '" + dir_ + "'";
		ASSERT_EQ(system(cmd.c_str()), 0);
	}
	// Writes content and opens the file for update, as loading does.
	FILE *open_with(const std::string &content)
	{
		FILE *w = fopen(path_.c_str(), "w");
		fwrite(content.data(), 1, content.size(), w);
		fclose(w);
		f_ = fopen(path_.c_str(), "r+");
		return f_;
	}
	std::string bytes()
	{
		if (f_ != nullptr)
			fflush(f_);
		FILE *r = fopen(path_.c_str(), "r");
		std::string s;
		int c;
		while ((c = getc(r)) != EOF)
			s += (char)c;
		fclose(r);
		return s;
	}
	// Loads content; returns what was printed on standard error.
	std::string load(const std::string &content, CliState *st)
	{
		*st = CLI_STATE_INITIAL;
		FILE *f = open_with(content);
		Capture err(2);
		EXPECT_EQ(preferences_apply_stream(f, st), 0);
		return err.text();
	}
	std::string dir_, path_;
	FILE *f_ = nullptr;
};

}  // namespace

TEST_F(CliPrefs, ValidLinesSetTheSettingsAndStay)
{
	CliState st;
	EXPECT_EQ(load("alert=1\ncolor=0\nshowhtml=3\n", &st), "");
	EXPECT_EQ(st.alert, 1);
	EXPECT_EQ(st.color, 0);
	EXPECT_EQ(st.showhtml, 3);
	EXPECT_EQ(bytes(), "alert=1\ncolor=0\nshowhtml=3\n");

	EXPECT_EQ(load("alert=x\n", &st), "");
	EXPECT_EQ(st.alert, 0);
	// Any single character is taken, unchecked.
	EXPECT_EQ(load("color=x\n", &st), "");
	EXPECT_EQ(st.color, 'x' - '0');
	EXPECT_EQ(bytes(), "color=x\n");
	// The last line of a key wins.
	EXPECT_EQ(load("color=1\ncolor=0\n", &st), "");
	EXPECT_EQ(st.color, 0);
}

TEST_F(CliPrefs, CommentsAndEmptyLinesStay)
{
	CliState st;
	EXPECT_EQ(load("# my settings\n\ncolor=1\n\n#x=y\n", &st), "");
	EXPECT_EQ(st.color, 1);
	EXPECT_EQ(bytes(), "# my settings\n\ncolor=1\n\n#x=y\n");
}

TEST_F(CliPrefs, UnknownKeysAreReportedAndRemoved)
{
	CliState st;
	EXPECT_EQ(load("alert=1\ncolour=1\nshowhtml=2\n", &st), "Unrecognized option 'colour=1', removing\n");
	EXPECT_EQ(bytes(), "alert=1\nshowhtml=2\n");
	EXPECT_EQ(st.showhtml, 2);
	// Two in a row: the line after a removed one is read too.
	EXPECT_EQ(load("a=1\nb=2\ncolor=0\n", &st),
		  "Unrecognized option 'a=1', removing\nUnrecognized option 'b=2', removing\n");
	EXPECT_EQ(bytes(), "color=0\n");
	EXPECT_EQ(st.color, 0);
}

TEST_F(CliPrefs, WrongLengthsAreRemovedSilently)
{
	CliState st;
	EXPECT_EQ(load("color=11\nalert=\nshowhtml=10\nalert=1\n", &st), "");
	EXPECT_EQ(st.color, 2);
	EXPECT_EQ(st.showhtml, 0);
	EXPECT_EQ(st.alert, 1);
	EXPECT_EQ(bytes(), "alert=1\n");
}

TEST_F(CliPrefs, UnknownLastLineWithoutLfTakesTheLfBeforeIt)
{
	CliState st;
	EXPECT_EQ(load("color=1\nbogus", &st), "Unrecognized option 'bogus', removing\n");
	EXPECT_EQ(bytes(), "color=1");
	EXPECT_EQ(load("bogus", &st), "Unrecognized option 'bogus', removing\n");
	EXPECT_EQ(bytes(), "");
}

TEST_F(CliPrefs, OverlongLinesAreKeptAndNeverTakenApart)
{
	CliState st;
	std::string longline = "color=" + std::string(300, '1');
	std::string tail_like = std::string(250, '#') + "color=0";	// its tail would look like a setting
	std::string content = "alert=1\n" + longline + "\n" + tail_like + "\nshowhtml=2\n";
	EXPECT_EQ(load(content, &st), "");
	EXPECT_EQ(st.alert, 1);
	EXPECT_EQ(st.color, 2);
	EXPECT_EQ(st.showhtml, 2);
	EXPECT_EQ(bytes(), content);

	preferences_store_stream(f_, "color", "1");
	EXPECT_EQ(bytes(), content + "color=1\n");
}

TEST_F(CliPrefs, StoreRewritesInPlace)
{
	open_with("# c\ncolor=2\nalert=0\n");
	preferences_store_stream(f_, "color", "1");
	EXPECT_EQ(bytes(), "# c\ncolor=1\nalert=0\n");
	preferences_store_stream(f_, "alert", "1");
	EXPECT_EQ(bytes(), "# c\ncolor=1\nalert=1\n");
	// A last line without its LF is rewritten the same way.
	fclose(f_);
	open_with("color=2");
	preferences_store_stream(f_, "color", "0");
	EXPECT_EQ(bytes(), "color=0");
}

TEST_F(CliPrefs, StoreReplacesALineOfAnotherLength)
{
	open_with("color=12\nalert=1\n");
	preferences_store_stream(f_, "color", "0");
	EXPECT_EQ(bytes(), "alert=1\ncolor=0\n");
}

