// Start-up of the real server: the pid file, the socket, the system log identity, and the
// files an earlier server left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "protocol/local-protocol.h"
#include "testing/sshd.h"
#include "testing/support.h"

namespace {

class ServerStartup : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_ = &tt::Syslog::instance();
		ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvsrv"), &account_));
	}
	void TearDown() override { tt::remove_account(account_); }

	// Runs tolvard to its end as the account (a server that cannot start ends at once), with
	// more of its environment.
	int run_server(std::string *err, const std::vector<std::string> &env = {})
	{
		tt::Spec s;
		s.argv = {tt::tolvard_path()};
		s.env = {"HOME=" + account_.home, "PATH=/usr/bin:/bin"};
		s.env.insert(s.env.end(), env.begin(), env.end());
		s.uid = account_.uid;
		s.gid = account_.gid;
		s.cwd = account_.home;
		std::string out;
		return tt::run(s, &out, err, 10000);
	}

	void write_file(const std::string &name, const std::string &content)
	{
		std::string path = account_.home + "/" + name;
		std::ofstream(path, std::ios::binary) << content;
		ASSERT_EQ(chown(path.c_str(), account_.uid, account_.gid), 0);
	}

	std::string read_file(const std::string &name)
	{
		std::ifstream f(account_.home + "/" + name, std::ios::binary);
		std::stringstream ss;
		ss << f.rdbuf();
		return ss.str();
	}

	// The server answers an online-users request on its socket.
	bool answers(const tt::Server &server)
	{
		int fd = tt::connect_socket(server.socket_path);
		if (fd < 0)
			return false;
		bool ok = tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)) &&
			  tt::packet_type(tt::read_local_packet(fd)) == LOCAL_PACKET_ONLINE_USERS;
		close(fd);
		return ok;
	}

	// A process of the account with a child that has ended and that it never reaps: *zombie
	// is that child, which stays a process of the account until *parent is killed.
	void make_zombie(pid_t *parent, pid_t *zombie)
	{
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			close(p[0]);
			signal(SIGCHLD, SIG_DFL);
			if (setgroups(0, nullptr) < 0 || setgid(account_.gid) < 0 || setuid(account_.uid) < 0)
				_exit(1);
			pid_t child = fork();
			if (child == 0)
				_exit(0);
			siginfo_t info;
			if (child < 0 || waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT) < 0 ||
			    write(p[1], &child, sizeof child) != (ssize_t)sizeof child)
				_exit(1);
			for (;;)
				pause();
		}
		close(p[1]);
		*parent = pid;
		pid_t z = 0;
		ssize_t n = read(p[0], &z, sizeof z);
		close(p[0]);
		ASSERT_EQ(n, (ssize_t)sizeof z);
		*zombie = z;
	}

	tt::Syslog *log_ = nullptr;
	tt::Account account_;
};

TEST_F(ServerStartup, RunningServerHasItsPidFileSocketAndLogIdentity)
{
	tt::Server server;
	ASSERT_TRUE(tt::start_server(account_, &server));
	EXPECT_EQ(read_file("tolvard.pid"), std::to_string(server.proc.pid) + "\n");
	struct stat st;
	ASSERT_EQ(lstat(server.socket_path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISSOCK(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(st.st_uid, account_.uid);
	// The readiness probe: accepted (debug), ended (info), no logout.
	tt::LogRecord rec;
	ASSERT_TRUE(log_->wait_for("client fd 1 EOF", LOG_INFO, 5000, &rec)) << log_->dump();
	EXPECT_EQ(rec.ident, "tolvard");
	EXPECT_EQ(rec.pid, server.proc.pid);
	EXPECT_EQ(rec.facility, LOG_DAEMON);
	EXPECT_TRUE(log_->contains("client fd 1", LOG_DEBUG));
	EXPECT_FALSE(log_->contains("logout"));
	EXPECT_TRUE(answers(server));
}

TEST_F(ServerStartup, SecondServerIsRefusedAndLeavesTheFirstAlone)
{
	tt::Server server;
	ASSERT_TRUE(tt::start_server(account_, &server));
	std::string err;
	EXPECT_EQ(run_server(&err), 1);
	EXPECT_EQ(err, "Another server process " + std::to_string(server.proc.pid) + " is running\n");
	EXPECT_EQ(read_file("tolvard.pid"), std::to_string(server.proc.pid) + "\n");
	EXPECT_TRUE(answers(server));
}

TEST_F(ServerStartup, StalePidAndSocketFilesDoNotStopANewServer)
{
	// A process that is gone, and a socket file nobody listens on.
	pid_t gone = fork();
	if (gone == 0)
		_exit(0);
	waitpid(gone, nullptr, 0);
	std::string socket_path = account_.home + "/socket";
	int s = socket(AF_UNIX, SOCK_STREAM, 0);
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, socket_path.c_str());
	ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
	close(s);
	ASSERT_EQ(chown(socket_path.c_str(), account_.uid, account_.gid), 0);

	// Pid 1 exists but may not be signalled by the account: no server either.
	for (std::string content : {std::to_string(gone) + "\n", std::string("1\n"), std::string("0\n"),
				    std::string("-7\n"), std::string("junk\n"), std::string(""),
				    std::string("123456789012345678901234\n")}) {
		SCOPED_TRACE("pid file: " + content);
		write_file("tolvard.pid", content);
		tt::Server server;
		ASSERT_TRUE(tt::start_server(account_, &server)) << log_->dump();
		EXPECT_TRUE(answers(server));
		EXPECT_EQ(read_file("tolvard.pid"), std::to_string(server.proc.pid) + "\n");
		server.proc.kill_now(SIGKILL);
		ASSERT_TRUE(server.proc.wait(10000));
	}
}

TEST_F(ServerStartup, PidOfAnotherProcessOfTheAccountDoesNotStopARestart)
{
	// The recorded pid now names a zombie of the account: a process that exists and that the
	// account may signal, but no server.
	pid_t parent = -1, zombie = -1;
	make_zombie(&parent, &zombie);
	ASSERT_EQ(kill(zombie, 0), 0);
	write_file("tolvard.pid", std::to_string(zombie) + "\n");
	tt::Server server;
	ASSERT_TRUE(tt::start_server(account_, &server)) << log_->dump();
	EXPECT_TRUE(answers(server));
	EXPECT_EQ(read_file("tolvard.pid"), std::to_string(server.proc.pid) + "\n");
	kill(parent, SIGKILL);
	waitpid(parent, nullptr, 0);
}

TEST_F(ServerStartup, UnwritablePidFileEndsTheStart)
{
	std::string path = account_.home + "/tolvard.pid";
	ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
	std::string err;
	EXPECT_EQ(run_server(&err), 1);
	EXPECT_EQ(err, "tolvard.pid: Is a directory\n");
	struct stat st;
	EXPECT_NE(lstat((account_.home + "/socket").c_str(), &st), 0);
	rmdir(path.c_str());
}

// Bus settings that cannot work stop the start with a message; a bus that cannot be reached
// does not: the server serves its own sessions and says so.
TEST_F(ServerStartup, BusSettingsAreCheckedAndAnAbsentBusDoesNotStopTheChat)
{
	std::string err;
	EXPECT_EQ(run_server(&err, {"TOLVAR_NATS_URL=nats://127.0.0.1:1", "TOLVAR_SERVER_NAME=chat.example"}), 1);
	EXPECT_NE(err.find("TOLVAR_SERVER_NAME: \"chat.example\" cannot name a server"), std::string::npos) << err;
	EXPECT_EQ(run_server(&err, {"TOLVAR_NATS_URL= , ", "TOLVAR_SERVER_NAME=chat1"}), 1);
	EXPECT_NE(err.find("TOLVAR_NATS_URL names no server"), std::string::npos) << err;

	int port = tt::free_port();
	tt::Server server;
	ASSERT_TRUE(tt::start_server(account_, &server, std::string(),
				     {"TOLVAR_NATS_URL=nats://127.0.0.1:" + std::to_string(port), "TOLVAR_SERVER_NAME=chat1"}));
	EXPECT_TRUE(log_->wait_for("bus: no NATS server reachable yet; local chat goes on", LOG_WARNING));
	int a = tt::connect_socket(server.socket_path), b = tt::connect_socket(server.socket_path);
	auto next_of_type = [](int fd, int32_t type) {
		tt::DecodedPacket p;
		do
			p = tt::decode_packet(tt::read_local_packet(fd));
		while (!p.raw.empty() && p.type != type);
		return p;
	};
	ASSERT_TRUE(tt::write_all(b, tt::login_packet("bob", "h", "UTF-8")));
	EXPECT_EQ(next_of_type(b, LOCAL_PACKET_USER_ONLINE).name, "bob");
	ASSERT_TRUE(tt::write_all(a, tt::login_packet("alice", "h", "UTF-8")));
	ASSERT_TRUE(tt::write_all(a, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "bob", MESSAGE_KIND_PLAIN, "hi")));
	EXPECT_EQ(next_of_type(b, LOCAL_PACKET_RECEIVE_MESSAGE).text, "hi");
	close(a);
	close(b);
	tt::stop_server(&server);
}

}  // namespace
