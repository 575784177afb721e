// A real tolvard run by a fresh account, its private system log, and raw clients that speak
// the local protocol to it over its socket.
#ifndef TOLVAR_TESTS_SERVER_FIXTURE_H
#define TOLVAR_TESTS_SERVER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/local-protocol.h"
#include "testing/support.h"

namespace st {

// One packet the server sent, decoded with the protocol's own parsers.
using Packet = tt::DecodedPacket;

// Splits what a client received into whole packets; fails the test unless at most a partial
// packet follows them (its size goes to *tail).
std::vector<Packet> whole_packets(const std::string &stream, size_t *tail);

class ServerTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// A new raw connection (closed at the end of the test).
	int connect_client();
	// Connects and logs in; returns the connection.
	int login(const std::string &user, const std::string &encoding = "UTF-8", const std::string &host = "192.0.2.7");
	// Logs in and reads the announcements, so that later packets are the interesting ones.
	int quiet_login(const std::string &user, const std::string &encoding = "UTF-8",
			const std::string &host = "192.0.2.7");
	// Reads everything queued for fd before the answer to an online-users request made now.
	void drain(int fd);
	void drain_all(std::initializer_list<int> fds);
	void send_raw(int fd, const std::string &bytes);
	void post(int fd, const std::string &to, const std::string &text, int32_t kind = MESSAGE_KIND_PLAIN,
		  const std::string &from = "");
	// The next packet on fd (ok false on time-out or end of file).
	Packet next(int fd, int timeout_ms = 10000);
	// The next packet of each connection, read at the same time (for large packets, which
	// the server sends to one recipient after the other).
	std::vector<Packet> next_each(const std::vector<int> &fds, int timeout_ms = 20000);
	// The next packet, which must have the given type.
	Packet expect(int fd, int32_t type, int timeout_ms = 10000);
	// Asks for the online list on fd and returns it; fails the test if anything else comes first.
	Packet online_list(int fd);
	// The connection id of fd (its descriptor in the server).
	int id_of(int fd);
	// Fails the test unless fd has nothing queued before the answer to a request made now.
	void expect_quiet(int fd);
	// Returns once every record that the server sent before now has been read.
	void log_sync();
	// The records of this server whose text contains needle.
	size_t log_count(const std::string &needle);
	// Waits for a record of this server whose text contains needle (and has level, if >= 0).
	bool wait_log(const std::string &needle, int level = -1, int timeout_ms = 10000);
	// The texts of this server's records that contain needle, in the order logged.
	std::vector<std::string> log_texts(const std::string &needle);
	// 1 when the server process is still running.
	bool server_alive();
	void close_client(int fd);
	// Kills the server and starts it again in the same home, with env added to its environment
	// and, through prlimit, the descriptor limits nofile ("SOFT:HARD"; empty: this process's
	// own). With fill_to, the free descriptors of this process from 3 to fill_to are open on
	// /dev/null while it starts, so the new server inherits them and its clients get the
	// descriptors above. The fixture's clients are closed first.
	void restart_server(const std::vector<std::string> &env = {}, const std::string &nofile = std::string(),
			    int fill_to = 0);
	// The server's resident memory in KiB; -1 when it cannot be read.
	long server_rss_kib();

	tt::Syslog *log_ = nullptr;
	std::vector<std::string> server_env_;	// more of the server's environment (set before SetUp)
	tt::Account account_;
	tt::Server server_;
	std::vector<int> fds_;
};

}  // namespace st

#endif
