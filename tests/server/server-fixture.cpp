#include "tests/server/server-fixture.h"

#include "testing/proc-files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <syslog.h>

namespace st {

std::vector<Packet> whole_packets(const std::string &stream, size_t *tail)
{
	std::string rest = stream;
	std::vector<std::string> raw;
	if (!tt::split_local_packets(&rest, &raw))
		ADD_FAILURE() << "garbage length " << tt::packet_length(rest) << " at " << stream.size() - rest.size();
	std::vector<Packet> packets;
	for (const std::string &p : raw)
		packets.push_back(tt::decode_packet(p));
	*tail = rest.size();
	return packets;
}

void ServerTest::SetUp()
{
	log_ = &tt::Syslog::instance();
	ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvsrv"), &account_));
	ASSERT_TRUE(tt::start_server(account_, &server_, std::string(), server_env_)) << log_->dump();
	// The readiness probe of start_server has come and gone.
	ASSERT_TRUE(wait_log("client fd 1 EOF", LOG_INFO)) << log_->dump();
}

void ServerTest::TearDown()
{
	for (int fd : fds_)
		close(fd);
	fds_.clear();
	tt::stop_server(&server_);
	tt::remove_account(account_);
}

int ServerTest::connect_client()
{
	int fd = tt::connect_socket(server_.socket_path);
	EXPECT_GE(fd, 0) << strerror(errno);
	if (fd >= 0)
		fds_.push_back(fd);
	return fd;
}

int ServerTest::login(const std::string &user, const std::string &encoding, const std::string &host)
{
	int fd = connect_client();
	send_raw(fd, tt::login_packet(user, host, encoding));
	return fd;
}

int ServerTest::quiet_login(const std::string &user, const std::string &encoding, const std::string &host)
{
	int fd = login(user, encoding, host);
	drain(fd);
	return fd;
}

void ServerTest::drain(int fd)
{
	send_raw(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
	for (;;) {
		Packet p = next(fd);
		ASSERT_TRUE(p.ok) << log_->dump();
		if (p.type == LOCAL_PACKET_ONLINE_USERS)
			return;
	}
}

void ServerTest::drain_all(std::initializer_list<int> fds)
{
	for (int fd : fds)
		drain(fd);
}

void ServerTest::send_raw(int fd, const std::string &bytes)
{
	EXPECT_TRUE(tt::write_all(fd, bytes)) << strerror(errno);
}

void ServerTest::post(int fd, const std::string &to, const std::string &text, int32_t kind, const std::string &from)
{
	send_raw(fd, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, from, to, kind, text));
}

Packet ServerTest::next(int fd, int timeout_ms)
{
	return tt::decode_packet(tt::read_local_packet(fd, timeout_ms));
}

std::vector<Packet> ServerTest::next_each(const std::vector<int> &fds, int timeout_ms)
{
	std::vector<std::string> raw(fds.size());
	std::vector<std::thread> readers;
	for (size_t i = 0; i < fds.size(); i++)
		readers.emplace_back([&raw, &fds, i, timeout_ms] { raw[i] = tt::read_local_packet(fds[i], timeout_ms); });
	for (std::thread &t : readers)
		t.join();
	std::vector<Packet> packets;
	for (const std::string &r : raw)
		packets.push_back(tt::decode_packet(r));
	return packets;
}

Packet ServerTest::expect(int fd, int32_t type, int timeout_ms)
{
	Packet p = next(fd, timeout_ms);
	EXPECT_TRUE(p.ok) << "no whole packet of type " << type << "\n" << log_->dump();
	EXPECT_EQ(p.type, type);
	return p;
}

Packet ServerTest::online_list(int fd)
{
	send_raw(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
	return expect(fd, LOCAL_PACKET_ONLINE_USERS);
}

int ServerTest::id_of(int fd)
{
	return online_list(fd).your_id;
}

void ServerTest::expect_quiet(int fd)
{
	Packet p = online_list(fd);
	EXPECT_EQ(p.type, LOCAL_PACKET_ONLINE_USERS) << "unexpected packet of type " << p.type << " text " << p.text
						     << " name " << p.name;
}

void ServerTest::log_sync()
{
	static int serial = 0;
	std::string marker = "log barrier " + std::to_string(getpid()) + "." + std::to_string(++serial);
	syslog(LOG_DEBUG, "%s", marker.c_str());
	EXPECT_TRUE(log_->wait_for(marker, LOG_DEBUG, 10000));
}

size_t ServerTest::log_count(const std::string &needle)
{
	log_sync();
	size_t n = 0;
	for (const tt::LogRecord &r : log_->records())
		if (r.pid == server_.proc.pid && r.text.find(needle) != std::string::npos)
			n++;
	return n;
}

bool ServerTest::wait_log(const std::string &needle, int level, int timeout_ms)
{
	for (int waited = 0;; waited += 5) {
		for (const tt::LogRecord &r : log_->records())
			if (r.pid == server_.proc.pid && r.text.find(needle) != std::string::npos &&
			    (level < 0 || r.level == level))
				return true;
		if (waited >= timeout_ms)
			return false;
		usleep(5000);
	}
}

std::vector<std::string> ServerTest::log_texts(const std::string &needle)
{
	log_sync();
	std::vector<std::string> texts;
	for (const tt::LogRecord &r : log_->records())
		if (r.pid == server_.proc.pid && r.text.find(needle) != std::string::npos)
			texts.push_back(r.text);
	return texts;
}

bool ServerTest::server_alive()
{
	return !server_.proc.wait(0);
}

void ServerTest::restart_server(const std::vector<std::string> &env, const std::string &nofile, int fill_to)
{
	for (int fd : fds_)
		close(fd);
	fds_.clear();
	server_.proc.kill_now(SIGKILL);
	ASSERT_TRUE(server_.proc.wait(10000));
	tt::Spec s;
	s.argv = {tt::tolvard_path()};
	if (!nofile.empty())
		s.argv = {"/usr/bin/prlimit", "--nofile=" + nofile, tt::tolvard_path()};	// prlimit becomes the server
	s.env = {"HOME=" + account_.home, "PATH=/usr/bin:/bin"};
	s.env.insert(s.env.end(), env.begin(), env.end());
	s.uid = account_.uid;
	s.gid = account_.gid;
	s.cwd = account_.home;
	s.stdin_null = true;
	std::vector<int> filled;
	int null_fd = fill_to > 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
	for (int fd = 3; fd <= fill_to && null_fd >= 0; fd++)
		if (fcntl(fd, F_GETFD) < 0 && dup2(null_fd, fd) == fd)	// without close-on-exec
			filled.push_back(fd);
	bool spawned = tt::spawn(s, &server_.proc);
	for (int fd : filled)
		close(fd);
	if (null_fd >= 0)
		close(null_fd);
	ASSERT_TRUE(spawned);
	for (int i = 0; i < 1000; i++) {
		int fd = tt::connect_socket(server_.socket_path);
		if (fd >= 0) {
			bool ok = tt::write_all(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)) &&
				  tt::packet_type(tt::read_local_packet(fd)) == LOCAL_PACKET_ONLINE_USERS;
			close(fd);
			if (ok) {
				// The probe's descriptor is free again before the test goes on.
				ASSERT_TRUE(wait_log("client fd 1 EOF", LOG_INFO)) << log_->dump();
				return;
			}
		}
		ASSERT_FALSE(server_.proc.wait(0)) << "server ended";
		usleep(10000);
	}
	FAIL() << "server did not start";
}

long ServerTest::server_rss_kib()
{
	tt::MemoryFigures m;
	return tt::read_memory(server_.proc.pid, &m) ? m.rss_kib : -1;
}

void ServerTest::close_client(int fd)
{
	for (auto it = fds_.begin(); it != fds_.end(); ++it) {
		if (*it == fd) {
			fds_.erase(it);
			break;
		}
	}
	close(fd);
}

}  // namespace st
