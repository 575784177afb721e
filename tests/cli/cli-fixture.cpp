#include "tests/cli/cli-fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "testing/proc-files.h"

namespace ct {

namespace {

// Reads what both descriptors have within wait_ms; false when both are at their end.
bool pump(Session *s, int wait_ms)
{
	struct pollfd fds[2];
	int n = 0;
	if (s->proc.out >= 0 && !s->out_ended)
		fds[n++] = {s->proc.out, POLLIN, 0};
	if (s->proc.err >= 0 && !s->err_ended)
		fds[n++] = {s->proc.err, POLLIN, 0};
	if (n == 0)
		return false;
	if (poll(fds, n, wait_ms) <= 0)
		return true;
	bool open = false;
	for (int i = 0; i < n; i++) {
		if (fds[i].revents == 0) {
			open = true;
			continue;
		}
		char buf[65536];
		ssize_t r = read(fds[i].fd, buf, sizeof buf);
		bool is_out = fds[i].fd == s->proc.out;
		if (r > 0) {
			(is_out ? s->out : s->err).append(buf, (size_t)r);
			open = true;
		} else if (r == 0 || errno != EINTR) {
			(is_out ? s->out_ended : s->err_ended) = true;	// end, or EIO of a pty whose side is gone
		}
	}
	return open;
}

bool wait_in(Session *s, const std::string *target, const std::string &needle, int timeout_ms)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(timeout_ms);
	while (target->find(needle) == std::string::npos) {
		int64_t left = end - tt::now_ms();
		if (left <= 0)
			return false;
		if (!pump(s, (int)(left < 100 ? left : 100)) && target->find(needle) == std::string::npos)
			return false;
	}
	return true;
}

}  // namespace

bool Session::wait_out(const std::string &needle, int timeout_ms) { return wait_in(this, &out, needle, timeout_ms); }
bool Session::wait_err(const std::string &needle, int timeout_ms) { return wait_in(this, &err, needle, timeout_ms); }

void Session::read_for(int ms)
{
	int64_t end = tt::now_ms() + ms;
	for (int64_t left = ms; left > 0 && pump(this, (int)left); left = end - tt::now_ms()) {
	}
}

int Session::finish(int timeout_ms)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(timeout_ms);
	while (tt::now_ms() < end && pump(this, 50)) {
		if (proc.wait(0)) {
			while (pump(this, 20) && tt::now_ms() < end) {
			}
			break;
		}
	}
	int64_t left = end - tt::now_ms();
	if (!proc.wait(left > 0 ? (int)left : 0))
		return -1;
	return proc.exit_code();
}

void Session::type(const std::string &bytes) { ASSERT_TRUE(tt::write_all(proc.in, bytes)); }

void CliTest::SetUp()
{
	ASSERT_TRUE(tt::create_account(tt::unique_account_name("tvcli"), &account_));
	if (start_real_server_) {
		ASSERT_TRUE(tt::start_server(account_, &server_));
		announcer_ = peer("announcer");
	}
}

void CliTest::TearDown()
{
	for (int fd : peers_)
		close(fd);
	tt::stop_server(&server_);
	tt::remove_account(account_);
}

void CliTest::start(Session *s, const std::string &user, const SessionOptions &o)
{
	std::vector<std::string> env = tt::ssh_env(account_, o.mode, o.lang);
	for (auto &e : env)
		if (!o.path.empty() && e.rfind("PATH=", 0) == 0)
			e = "PATH=" + o.path;
	env.insert(env.end(), o.env.begin(), o.env.end());
	tt::Spec spec = tt::session_spec(account_, user, env);
	spec.pty = o.pty;
	int before = announcer_ >= 0 ? sessions_of(user.substr(0, 31)) : 0;
	ASSERT_TRUE(tt::spawn(spec, &s->proc));
	if (announcer_ < 0)
		return;
	// An earlier session of the user that has ended may still be listed until the server has
	// seen its end: a count that falls is the new base.
	int64_t end = tt::now_ms() + tt::scaled_ms(10000);
	for (int now = sessions_of(user.substr(0, 31)); now <= before; now = sessions_of(user.substr(0, 31))) {
		before = now < before ? now : before;
		ASSERT_LT(tt::now_ms(), end) << "session of " << user << " never logged in";
		ASSERT_FALSE(s->proc.wait(0)) << "session of " << user << " ended: " << s->proc.exit_code();
		usleep(10000);
	}
}

int CliTest::sessions_of(const std::string &user)
{
	EXPECT_TRUE(tt::write_all(announcer_, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS)));
	Packet p = expect(announcer_, LOCAL_PACKET_ONLINE_USERS);
	return (int)std::count_if(p.entries.begin(), p.entries.end(),
				  [&](const Packet::Entry &e) { return e.user == user; });
}

Packet CliTest::message_from(int fd, const std::string &sender, int timeout_ms)
{
	int64_t end = tt::now_ms() + timeout_ms;
	for (;;) {
		int64_t left = end - tt::now_ms();
		Packet p = expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE, "", left > 0 ? (int)left : 0);
		if (p.type == -1 || p.from == sender)
			return p;
	}
}

int CliTest::peer(const std::string &user)
{
	int fd = tt::connect_socket(server_.socket_path);
	EXPECT_GE(fd, 0);
	if (fd < 0)
		return -1;
	peers_.push_back(fd);
	EXPECT_TRUE(tt::write_all(fd, tt::login_packet(user, "198.51.100.9", "UTF-8")));
	return fd;
}

Packet CliTest::next(int fd, int timeout_ms)
{
	return tt::decode_packet(tt::read_local_packet(fd, timeout_ms));
}

Packet CliTest::expect(int fd, int32_t type, const std::string &name, int timeout_ms)
{
	int64_t end = tt::now_ms() + timeout_ms;
	for (;;) {
		int64_t left = end - tt::now_ms();
		Packet p = next(fd, left > 0 ? (int)left : 0);
		if (p.type == -1) {
			ADD_FAILURE() << "no packet of type " << type << " " << name;
			return p;
		}
		if (p.type == type && (name.empty() || p.name == name))
			return p;
	}
}

void CliTest::say(int fd, const std::string &to, const std::string &text, int32_t kind)
{
	ASSERT_TRUE(tt::write_all(fd, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", to, kind, text)));
}

void CliTest::write_home_file(const std::string &name, const std::string &content)
{
	std::string path = account_.home + "/" + name;
	FILE *f = fopen(path.c_str(), "w");
	ASSERT_NE(f, nullptr) << path;
	fwrite(content.data(), 1, content.size(), f);
	fclose(f);
	ASSERT_EQ(chown(path.c_str(), account_.uid, account_.gid), 0);
}

std::string CliTest::read_home_file(const std::string &name)
{
	std::string content;
	if (!tt::read_file(name[0] == '/' ? name : account_.home + "/" + name, &content))
		return "<missing>";
	return content;
}

}  // namespace ct
