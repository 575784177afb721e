// The test support itself: a private system log that children write to, accounts, processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testing/support.h"

TEST(Support, PrivateSyslogReceivesRecordsOfChildren)
{
	tt::Syslog &log = tt::Syslog::instance();
	pid_t pid = fork();
	if (pid == 0) {
		openlog("probe", LOG_PID, LOG_DAEMON);
		syslog(LOG_WARNING, "hello %d", 42);
		_exit(0);
	}
	tt::LogRecord rec;
	ASSERT_TRUE(log.wait_for("hello 42", LOG_WARNING, 5000, &rec)) << log.dump();
	EXPECT_EQ(rec.ident, "probe");
	EXPECT_EQ(rec.pid, pid);
	EXPECT_EQ(rec.facility, LOG_DAEMON);
	EXPECT_EQ(access("/dev/null", W_OK), 0);
}

TEST(Support, AccountRunsProgramsWithItsIdentity)
{
	tt::Account a;
	ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvsup"), &a));
	tt::Spec s;
	s.argv = {"/usr/bin/id", "-u"};
	s.uid = a.uid;
	s.gid = a.gid;
	std::string out, err;
	EXPECT_EQ(tt::run(s, &out, &err), 0);
	EXPECT_EQ(out, std::to_string(a.uid) + "\n");
	struct stat st;
	ASSERT_EQ(stat(a.home.c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, a.uid);
	tt::remove_account(a);
	EXPECT_NE(access(a.home.c_str(), F_OK), 0);
}

TEST(Support, PseudoTerminalsWorkBesideThePrivateSyslog)
{
	tt::Syslog::instance();
	tt::Spec s;
	s.argv = {"/usr/bin/tty"};
	s.pty = true;
	tt::Process p;
	ASSERT_TRUE(tt::spawn(s, &p)) << strerror(errno);
	std::string out;
	tt::read_to_eof(p.out, 5000, &out);
	EXPECT_TRUE(p.wait(5000));
	EXPECT_EQ(out.rfind("/dev/pts/", 0), 0u) << out;
}
