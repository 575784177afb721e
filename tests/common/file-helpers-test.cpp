// The helpers both programs share: the bounded line reader, removing a span of a file in
// place, the user-name rule, and whole-buffer descriptor transfers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/file-helpers.h"
#include "common/user-name.h"

namespace {

// A stream over a temporary file holding content, open for reading and writing.
FILE *temp_stream(const std::string &content)
{
	FILE *f = tmpfile();
	EXPECT_NE(f, nullptr);
	EXPECT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
	rewind(f);
	return f;
}

std::string file_content(FILE *f)
{
	long pos = ftell(f);
	std::string s;
	rewind(f);
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	fseek(f, pos, SEEK_SET);
	return s;
}

}  // namespace

TEST(Fgetline, LinesUpToTheCapacity)
{
	FILE *f = temp_stream("12345\n" + std::string(15, 'a') + "\n" + std::string(16, 'b') + "\nrest");
	char buf[16];
	EXPECT_EQ(fgetline(f, buf, sizeof buf), 5);
	EXPECT_STREQ(buf, "12345");
	EXPECT_EQ(fgetline(f, buf, sizeof buf), 15);
	EXPECT_EQ(std::string(buf), std::string(15, 'a'));
	// 16 characters do not fit: the first 15 are kept without a NUL, the 16th is lost.
	memset(buf, 'x', sizeof buf);
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -2);
	EXPECT_EQ(std::string(buf, 15), std::string(15, 'b'));
	EXPECT_EQ(buf[15], 'x');
	EXPECT_EQ(fgetline(f, buf, sizeof buf), 0);	// only the newline was left
	EXPECT_EQ(fgetline(f, buf, sizeof buf), 4);	// a last line without newline
	EXPECT_STREQ(buf, "rest");
	strcpy(buf, "kept");
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -1);
	EXPECT_STREQ(buf, "kept");	// untouched at end of input
	fclose(f);
}

TEST(Fgetline, OverlongLineIsReadOnInPieces)
{
	FILE *f = temp_stream(std::string(40, 'z') + "\n");
	char buf[16];
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -2);	// 15 stored, 1 dropped
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -2);	// 15 stored, 1 dropped
	EXPECT_EQ(fgetline(f, buf, sizeof buf), 8);	// the last 8
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -1);
	fclose(f);
}

TEST(Fgetline, EmptyFileAndTinyBuffer)
{
	FILE *f = temp_stream("");
	char buf[4];
	EXPECT_EQ(fgetline(f, buf, sizeof buf), -1);
	fclose(f);
	f = temp_stream("\nab\n");
	EXPECT_EQ(fgetline(f, buf, 1), 0);	// an empty line fits in a 1-byte buffer
	EXPECT_EQ(buf[0], '\0');
	EXPECT_EQ(fgetline(f, buf, 1), -2);
	fclose(f);
}

TEST(Fbackwardoverwrite, RemovesTheSpanBeforeThePosition)
{
	FILE *f = temp_stream("abcdefgh");
	fseek(f, 5, SEEK_SET);
	EXPECT_EQ(fbackwardoverwrite(f, 2), 0);
	EXPECT_EQ(ftell(f), 3);
	EXPECT_EQ(file_content(f), "abcfgh");
	// The stream goes on reading where the span began.
	EXPECT_EQ(fgetc(f), 'f');
	fclose(f);
}

TEST(Fbackwardoverwrite, AtTheEndBeyondTheStartAndNothing)
{
	FILE *f = temp_stream("0123456789");
	fseek(f, 0, SEEK_END);
	EXPECT_EQ(fbackwardoverwrite(f, 3), 0);
	EXPECT_EQ(file_content(f), "0123456");
	EXPECT_EQ(ftell(f), 7);

	fseek(f, 4, SEEK_SET);
	EXPECT_EQ(fbackwardoverwrite(f, 100), 0);	// n larger than the position
	EXPECT_EQ(file_content(f), "456");
	EXPECT_EQ(ftell(f), 0);

	fseek(f, 2, SEEK_SET);
	EXPECT_EQ(fbackwardoverwrite(f, 0), 0);
	EXPECT_EQ(file_content(f), "456");
	EXPECT_EQ(ftell(f), 2);
	fclose(f);
}

TEST(Fbackwardoverwrite, MovesManyBlocksOfALargeFile)
{
	std::string content;
	for (int i = 0; i < 9000; i++)
		content += (char)('a' + i % 26);
	for (size_t cut : {1u, 1023u, 1024u, 1025u, 3000u}) {
		FILE *f = temp_stream(content);
		size_t at = 2500;
		fseek(f, (long)at, SEEK_SET);
		ASSERT_EQ(fbackwardoverwrite(f, cut), 0);
		size_t n = cut > at ? at : cut;
		std::string expect = content.substr(0, at - n) + content.substr(at);
		EXPECT_EQ(file_content(f), expect) << "cut " << cut;
		EXPECT_EQ((size_t)ftell(f), at - n);
		fclose(f);
	}
}

TEST(Fbackwardoverwrite, ReportsAStreamThatCannotBeWritten)
{
	char path[] = "/tmp/tolvar-fbo-XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(write(fd, "abcdefgh", 8), 8);
	close(fd);
	FILE *f = fopen(path, "r");	// read-only: the move cannot be written
	fseek(f, 4, SEEK_SET);
	EXPECT_EQ(fbackwardoverwrite(f, 2), -1);
	fclose(f);
	unlink(path);
}

TEST(UserName, TheRule)
{
	EXPECT_EQ(is_valid_user_name(""), 0);
	EXPECT_EQ(is_valid_user_name("alice"), 1);
	EXPECT_EQ(is_valid_user_name("alice smith"), 1);
	EXPECT_EQ(is_valid_user_name("GLOBAL"), 1);
	EXPECT_EQ(is_valid_user_name("\xc3\xa9l\xc3\xa8ve"), 1);
	EXPECT_EQ(is_valid_user_name(std::string(32, 'n').c_str()), 1);
	EXPECT_EQ(is_valid_user_name(std::string(33, 'n').c_str()), 0);
	for (char bad : std::string("/:*#\"'\\\t\033\x04\x07\x08\x0a\x0b\x0c\x0d\x7f")) {
		std::string name = std::string("ab") + bad + "cd";
		EXPECT_EQ(is_valid_user_name(name.c_str()), 0) << "byte " << (int)(unsigned char)bad;
	}
	for (char ok : std::string("\x01\x02\x03\x05\x06\x0e\x1a\x1c\x1f!$%&()+,-.;<=>?@[]^_`{|}~")) {
		std::string name = std::string("ab") + ok + "cd";
		EXPECT_EQ(is_valid_user_name(name.c_str()), 1) << "byte " << (int)(unsigned char)ok;
	}
	EXPECT_EQ(is_valid_user_name("*"), 0);
}

TEST(ReadFully, PipeThatDeliversLessAndCloses)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	ASSERT_EQ(write(p[1], "0123456789", 10), 10);
	char buf[100];
	// Asked for exactly what is there: returns without waiting for the close.
	EXPECT_EQ(read_fully(p[0], buf, 10), 10);
	ASSERT_EQ(write(p[1], "0123456789", 10), 10);
	close(p[1]);
	EXPECT_EQ(read_fully(p[0], buf, 100), 10);
	EXPECT_EQ(read_fully(p[0], buf, 100), 0);
	EXPECT_EQ(read_fully(p[0], buf, 0), 0);
	close(p[0]);
	EXPECT_EQ(read_fully(p[0], buf, 1), -1);
	EXPECT_EQ(errno, EBADF);
}

namespace {

volatile sig_atomic_t alarms;
void on_alarm(int) { alarms = alarms + 1; }

// SIGALRM every 2 ms without SA_RESTART, so blocked transfers see EINTR.
struct AlarmStorm {
	struct sigaction old {};
	AlarmStorm()
	{
		struct sigaction sa {};
		sa.sa_handler = on_alarm;
		sigaction(SIGALRM, &sa, &old);
		struct itimerval it = {{0, 2000}, {0, 2000}};
		setitimer(ITIMER_REAL, &it, nullptr);
	}
	~AlarmStorm()
	{
		struct itimerval it = {};
		setitimer(ITIMER_REAL, &it, nullptr);
		sigaction(SIGALRM, &old, nullptr);
	}
};

}  // namespace

TEST(ReadFully, SignalsMidTransferDoNotChangeTheResult)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		for (int i = 0; i < 20; i++) {
			usleep(5000);
			if (write(p[1], "abcde", 5) != 5)
				_exit(1);
		}
		_exit(0);
	}
	close(p[1]);
	alarms = 0;
	char buf[200];
	int32_t n;
	{
		AlarmStorm storm;
		n = read_fully(p[0], buf, sizeof buf);
	}
	EXPECT_EQ(n, 100);
	EXPECT_GT(alarms, 0);
	close(p[0]);
	waitpid(pid, nullptr, 0);
}

TEST(WriteFully, SignalsMidTransferDoNotChangeTheResult)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	const size_t total = 1 << 20;	// far more than a pipe holds
	pid_t pid = fork();
	if (pid == 0) {
		close(p[1]);
		char buf[4096];
		size_t got = 0;
		ssize_t r;
		while ((r = read(p[0], buf, sizeof buf)) > 0) {
			got += (size_t)r;
			if (got % (64 * 1024) < sizeof buf)
				usleep(3000);
		}
		_exit(got == total ? 0 : 1);
	}
	close(p[0]);
	std::string data(total, 'w');
	alarms = 0;
	int32_t n;
	{
		AlarmStorm storm;
		n = write_fully(p[1], data.data(), data.size());
	}
	EXPECT_EQ(n, (int32_t)total);
	EXPECT_GT(alarms, 0);
	close(p[1]);
	int status;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(WriteFully, ErrorsComeWithErrno)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	close(p[0]);
	signal(SIGPIPE, SIG_IGN);
	EXPECT_EQ(write_fully(p[1], "x", 1), -1);
	EXPECT_EQ(errno, EPIPE);
	signal(SIGPIPE, SIG_DFL);
	close(p[1]);
}
