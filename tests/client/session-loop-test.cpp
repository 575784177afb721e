// The session loop: a session ends with status 0 once its parent (the SSH daemon's process
// for the connection) is gone, within one 60-second wait when nothing else happens.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/proc-files.h"
#include "tests/client/session-harness.h"

namespace {

using Clock = std::chrono::steady_clock;

class ClientLoop : public ::testing::Test {
protected:
	void SetUp() override
	{
		tt::Syslog::instance();
		// Orphaned sessions come to us, so that we can see how they end.
		ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvapi"), &acct_));
		ASSERT_TRUE(tt::start_server(acct_, &server_));
	}
	void TearDown() override
	{
		if (session_pid_ > 0) {
			kill(session_pid_, SIGKILL);
			waitpid(session_pid_, nullptr, 0);
		}
		server_.proc.kill_now();
		server_.proc.wait(5000);
		tt::remove_account(acct_);
	}

	// Starts an api session under an intermediate shell that stands in for the SSH daemon's
	// process; the session's pid comes on the shell's standard error.
	void start_under_parent()
	{
		tt::Spec s;
		s.argv = {"/bin/sh", "-c", "exec 3<&0; \"$0\" -c alice 0<&3 3<&- & echo $! >&2; wait", tt::tolvard_path()};
		s.env = tt::ssh_env(acct_, "api");
		s.uid = acct_.uid;
		s.gid = acct_.gid;
		s.cwd = acct_.home;
		ASSERT_TRUE(tt::spawn(s, &parent_));
		std::string pid;
		ASSERT_TRUE(tt::read_until(parent_.err, "\n", 5000, &pid));
		session_pid_ = atoi(pid.c_str());
		ASSERT_GT(session_pid_, 0);
	}

	// Waits for the orphaned session's end; its exit code, or -1 on time-out.
	int wait_session(int timeout_ms)
	{
		auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
		while (Clock::now() < end) {
			int status;
			pid_t r = waitpid(session_pid_, &status, WNOHANG);
			if (r == session_pid_) {
				session_pid_ = -1;
				return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
			}
			usleep(20000);
		}
		return -1;
	}

	void handshake_and_settle()
	{
		std::string pass, state;
		ASSERT_TRUE(tt::write_all(parent_.in, st::api_hello()));
		ASSERT_TRUE(st::api_read(parent_.out, &pass));
		ASSERT_EQ(st::api_type(pass), 0x80);
		// Our own announcement: after it the session has nothing more to do.
		ASSERT_TRUE(st::api_read_type(parent_.out, 0x83, &state));
		// Its check of the parent comes before the next wait: let it get there, or a parent
		// killed at once would be noticed without any event.
		ASSERT_TRUE(session_waits(5000));
	}

	// True once the session sleeps in its readiness wait (from /proc/PID/syscall).
	bool session_waits(int timeout_ms)
	{
		auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
		while (Clock::now() < end) {
			long nr = -1;
			tt::read_syscall(session_pid_, &nr);
			if (nr == SYS_pselect6)
				return true;
#ifdef SYS_select
			if (nr == SYS_select)
				return true;
#endif
			usleep(1000);
		}
		return false;
	}

	tt::Account acct_;
	tt::Server server_;
	tt::Process parent_;
	pid_t session_pid_ = -1;
};

}  // namespace

TEST_F(ClientLoop, EndsWithinSixtySecondsOfItsParentWhenIdle)
{
	start_under_parent();
	handshake_and_settle();
	auto killed = Clock::now();
	parent_.kill_now(SIGKILL);
	ASSERT_TRUE(parent_.wait(5000));
	int code = wait_session(70000);
	auto took = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - killed).count();
	EXPECT_EQ(code, 0);
	EXPECT_LE(took, 62);
}

TEST_F(ClientLoop, NoticesItsParentsEndAtTheNextEvent)
{
	start_under_parent();
	handshake_and_settle();
	parent_.kill_now(SIGKILL);
	ASSERT_TRUE(parent_.wait(5000));
	// Another user comes online: the session wakes, passes it on, and sees it is orphaned.
	tt::Process bob;
	ASSERT_TRUE(st::start_session(acct_, "bob", tt::ssh_env(acct_, "api"), &bob));
	ASSERT_TRUE(st::api_handshake(bob));
	EXPECT_EQ(wait_session(10000), 0);
	std::string state;
	EXPECT_TRUE(st::api_read_type(parent_.out, 0x83, &state, 2000));
}

TEST_F(ClientLoop, BeforeTheHandshakeTheParentIsStillWatched)
{
	start_under_parent();
	// Once it has logged in it has long noted its parent.
	ASSERT_TRUE(tt::Syslog::instance().wait_for("user alice login", LOG_INFO)) << tt::Syslog::instance().dump();
	parent_.kill_now(SIGKILL);
	ASSERT_TRUE(parent_.wait(5000));
	// Its own announcement waits in the socket, so the loop wakes every second.
	EXPECT_EQ(wait_session(10000), 0);
	std::string out;
	tt::read_for(parent_.out, 200, &out);
	EXPECT_EQ(out, "");
}
