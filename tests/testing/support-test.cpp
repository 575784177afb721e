// The shared support itself: a private system log that children write to, accounts, processes,
// the cutting of local packet streams, and what /proc says about a process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/local-protocol.h"
#include "testing/proc-files.h"
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

TEST(Support, LocalStreamsAreCutIntoWholePacketsUpToAPartialOrRefusedOne)
{
	std::string login = tt::login_packet("alice", "192.0.2.7", "UTF-8");
	std::string list = tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS);
	std::string message = tt::message_packet(LOCAL_PACKET_RECEIVE_MESSAGE, "bob", "GLOBAL", MESSAGE_KIND_PLAIN, "hi");
	std::string stream = login + list + message.substr(0, 10);
	std::vector<std::string> packets;
	ASSERT_TRUE(tt::split_local_packets(&stream, &packets));
	EXPECT_EQ(packets, (std::vector<std::string>{login, list}));
	EXPECT_EQ(stream, message.substr(0, 10));
	stream += message.substr(10);
	ASSERT_TRUE(tt::split_local_packets(&stream, &packets));
	EXPECT_TRUE(stream.empty());
	ASSERT_EQ(packets.size(), 3u);
	tt::DecodedPacket p = tt::decode_packet(packets[2]);
	EXPECT_TRUE(p.ok);
	EXPECT_EQ(p.type, LOCAL_PACKET_RECEIVE_MESSAGE);
	EXPECT_EQ(p.from, "bob");
	EXPECT_EQ(p.text, "hi");

	// Lengths the programs' reader refuses stop the cutting there.
	for (uint64_t bad : {(uint64_t)7, LOCAL_PACKET_MAX_LENGTH + 1}) {
		std::string field(8, '\0');
		memcpy(&field[0], &bad, 8);
		stream = list + field + list;
		packets.clear();
		EXPECT_FALSE(tt::split_local_packets(&stream, &packets));
		EXPECT_EQ(packets, std::vector<std::string>{list});
		EXPECT_EQ(tt::packet_length(stream), bad);
	}
}

TEST(Support, ProcFilesDescribeThisProcess)
{
	tt::MemoryFigures m;
	ASSERT_TRUE(tt::read_memory(getpid(), &m));
	EXPECT_GT(m.rss_kib, 0);
	EXPECT_GT(m.private_dirty_kib, 0);
	EXPECT_FALSE(tt::private_by_mapping(getpid()).empty());
	EXPECT_GE(tt::count_fds(getpid()), 3);
	long nr = -1;
	EXPECT_TRUE(tt::read_syscall(getpid(), &nr));
	EXPECT_EQ(nr, SYS_read);	// its own read of the file
}
