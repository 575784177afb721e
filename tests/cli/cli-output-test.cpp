// Timestamped lines and the date line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "cli/cli-output.h"
#include "cli/cli-state.h"
#include "tests/cli/capture.h"

namespace {

class CliOutput : public ::testing::Test {
protected:
	void SetUp() override
	{
		cli_state = CLI_STATE_INITIAL;
		setenv("TZ", "UTC", 1);
		tzset();
	}
	void TearDown() override { cli_state = CLI_STATE_INITIAL; }
};

// 2026-03-01 09:05:03 UTC
constexpr time_t NINE_O_FIVE = 1772355903;

std::string print(time_t when, int flags, const char *text)
{
	Capture out(1);
	print_with_time(when, flags, "%s", text);
	return out.text();
}

}  // namespace

TEST_F(CliOutput, TimestampAndLineEnd)
{
	EXPECT_EQ(print(NINE_O_FIVE, 1, "x"), "\r[09:05:03] x\n");
	EXPECT_EQ(print(NINE_O_FIVE, 0, "x"), "\r[09:05:03] x");
	// Redraw alone neither ends the line nor does anything else.
	EXPECT_EQ(print(NINE_O_FIVE, 2, "x"), "\r[09:05:03] x");
	EXPECT_EQ(print(NINE_O_FIVE, 3, "x"), "\r[09:05:03] x\n");
}

TEST_F(CliOutput, CurrentTime)
{
	time_t before = time(nullptr);
	std::string s = print(-1, 1, "now");
	time_t after = time(nullptr);
	ASSERT_EQ(s.size(), strlen("\r[00:00:00] now\n"));
	bool matched = false;
	for (time_t t = before; t <= after; t++) {
		struct tm tm;
		gmtime_r(&t, &tm);
		char want[32];
		snprintf(want, sizeof want, "\r[%.2d:%.2d:%.2d] now\n", tm.tm_hour, tm.tm_min, tm.tm_sec);
		matched = matched || s == want;
	}
	EXPECT_TRUE(matched) << s;
}

TEST_F(CliOutput, BellWhenAlertAndNothingInLogMode)
{
	cli_state.alert = 1;
	EXPECT_EQ(print(NINE_O_FIVE, 1, "x"), "\a\r[09:05:03] x\n");
	cli_state.alert = 2;	// only 1 rings
	EXPECT_EQ(print(NINE_O_FIVE, 1, "x"), "\r[09:05:03] x\n");
	cli_state.alert = 1;
	cli_state.log_mode = true;
	EXPECT_EQ(print(NINE_O_FIVE, 1, "x"), "[09:05:03] x\n");
}

TEST_F(CliOutput, DateLineOnceANewDayBegins)
{
	{
		Capture out(1);
		cli_do_tick();
		cli_do_tick();
		EXPECT_EQ(out.text(), "");
	}
	time_t now = time(nullptr);
	struct tm tm;
	gmtime_r(&now, &tm);
	EXPECT_EQ(cli_state.last_yday, tm.tm_yday);
	cli_state.last_yday = (tm.tm_yday + 1) % 365;
	std::string s;
	{
		Capture out(1);
		cli_do_tick();
		cli_do_tick();
		s = out.text();
	}
	char date[64];
	snprintf(date, sizeof date, "%.2d/%.2d/%.2d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
	ASSERT_GE(s.size(), 12u) << s;
	EXPECT_EQ(s.substr(0, 2), "\r[");
	EXPECT_EQ(s.substr(12), std::string("[") + date + "]\n");
	EXPECT_EQ(cli_state.last_yday, tm.tm_yday);
}
