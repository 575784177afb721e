// Line assembly from a plain byte stream.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli-raw-input.h"

namespace {

class CliRawInput : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(pipe(fds_), 0);
		in_.input_length = 0;
	}
	void TearDown() override
	{
		close(fds_[0]);
		if (fds_[1] >= 0)
			close(fds_[1]);
	}
	static void on_line(const char *text, void *context)
	{
		static_cast<std::vector<std::string> *>(context)->push_back(text);
	}
	// Writes bytes and lets one read take them.
	RawReadResult feed(const std::string &bytes)
	{
		if (!bytes.empty()) {
			EXPECT_EQ(write(fds_[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
		}
		return raw_input_read(&in_, fds_[0], on_line, &lines_);
	}
	int fds_[2] = {-1, -1};
	RawInput in_;
	std::vector<std::string> lines_;
};

using L = std::vector<std::string>;

}  // namespace

TEST_F(CliRawInput, TerminatorsEndLines)
{
	EXPECT_EQ(feed("abc\r\n"), RAW_READ_OK);
	EXPECT_EQ(lines_, (L{"abc", ""}));
	lines_.clear();
	EXPECT_EQ(feed(std::string("one\0two\nthree\rfour", 18)), RAW_READ_OK);
	EXPECT_EQ(lines_, (L{"one", "two", "three"}));
	EXPECT_EQ(in_.input_length, 4u);
	lines_.clear();
	EXPECT_EQ(feed("\n"), RAW_READ_OK);
	EXPECT_EQ(lines_, (L{"four"}));
	EXPECT_EQ(in_.input_length, 0u);
}

TEST_F(CliRawInput, PartialLinesWaitForTheirTerminator)
{
	feed("ab");
	feed("cd");
	EXPECT_TRUE(lines_.empty());
	feed("\x08\x7f" "e\n");	// backspace and DEL are ordinary bytes of a line
	EXPECT_EQ(lines_, (L{"abcd\x08\x7f" "e"}));
}

TEST_F(CliRawInput, FullBufferOnlyShrinksByErasing)
{
	std::string full(2048, 'x');
	full[0] = 'A';
	ASSERT_EQ(write(fds_[1], full.data(), full.size()), 2048);
	while (in_.input_length < 2048)
		ASSERT_EQ(raw_input_read(&in_, fds_[0], on_line, &lines_), RAW_READ_OK);
	EXPECT_TRUE(lines_.empty());
	feed("\n");
	EXPECT_TRUE(lines_.empty());
	EXPECT_EQ(in_.input_length, 2048u);
	// Three DEL in one read: three bytes erased, and the LF of that read lost too.
	feed("\x7f\x7f\x7fzz\n");
	EXPECT_EQ(in_.input_length, 2045u);
	EXPECT_TRUE(lines_.empty());
	feed("\n");
	ASSERT_EQ(lines_.size(), 1u);
	EXPECT_EQ(lines_[0], "A" + std::string(2044, 'x'));
	EXPECT_EQ(in_.input_length, 0u);
}

TEST_F(CliRawInput, AtMostOneSmallChunkWhileFull)
{
	in_.input_length = 2048;
	feed(std::string(100, '\x08'));
	EXPECT_EQ(in_.input_length, 2048u - 64u);
	// The other 36 are read as ordinary bytes of the line now that there is room.
	feed("");
	EXPECT_EQ(in_.input_length, 2048u - 64u + 36u);
}

TEST_F(CliRawInput, EndOfInputAndNothingThere)
{
	fcntl(fds_[0], F_SETFL, O_NONBLOCK);
	EXPECT_EQ(raw_input_read(&in_, fds_[0], on_line, &lines_), RAW_READ_OK);	// EAGAIN
	feed("held");
	close(fds_[1]);
	fds_[1] = -1;
	EXPECT_EQ(raw_input_read(&in_, fds_[0], on_line, &lines_), RAW_READ_EOF);
	EXPECT_TRUE(lines_.empty());
	EXPECT_EQ(raw_input_read(&in_, -1, on_line, &lines_), RAW_READ_ERROR);
}
