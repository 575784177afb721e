#include "tests/client/session-harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "api/tolvar-api-client.h"
#include "common/wire-reader.h"

namespace st {

bool start_session(const tt::Account &a, const std::string &user, const std::vector<std::string> &env,
		   tt::Process *p, bool pty)
{
	tt::Spec s;
	s.argv = {tt::tolvard_path(), "-c", user};
	s.env = env;
	s.uid = a.uid;
	s.gid = a.gid;
	s.cwd = a.home;
	s.pty = pty;
	return tt::spawn(s, p);
}

int run_session(const tt::Account &a, const std::string &user, const std::vector<std::string> &env,
		std::string *out, std::string *err, int timeout_ms)
{
	tt::Spec s;
	s.argv = {tt::tolvard_path(), "-c", user};
	s.env = env;
	s.uid = a.uid;
	s.gid = a.gid;
	s.cwd = a.home;
	return tt::run(s, out, err, timeout_ms);
}

std::vector<std::string> with_env(std::vector<std::string> env, const std::string &name, const std::string &value,
				  bool remove)
{
	std::vector<std::string> out;
	for (const auto &e : env)
		if (e.compare(0, name.size() + 1, name + "=") != 0)
			out.push_back(e);
	if (!remove)
		out.push_back(name + "=" + value);
	return out;
}

FakeServer::~FakeServer()
{
	if (fd_ >= 0) {
		close(fd_);
		unlink(path_.c_str());
	}
}

bool FakeServer::start(const tt::Account &a)
{
	path_ = a.home + "/socket";
	fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	if (fd_ < 0 || path_.size() >= sizeof addr.sun_path)
		return false;
	strcpy(addr.sun_path, path_.c_str());
	unlink(path_.c_str());
	return bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && chmod(path_.c_str(), 0666) == 0 &&
	       listen(fd_, 8) == 0;
}

int FakeServer::accept_one(int timeout_ms)
{
	struct pollfd pfd = {fd_, POLLIN, 0};
	if (poll(&pfd, 1, timeout_ms) <= 0)
		return -1;
	return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

static std::string take(unsigned char *p, const size_t &size)
{
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

std::string api_packet(uint8_t type, const std::string &fields)
{
	size_t size = 0;
	return take(tolvarapi::build_packet(type, fields, &size), size);
}

std::string api_hello(uint16_t version)
{
	size_t size = 0;
	return take(tolvarapi::build_hello(version, &size), size);
}

std::string api_send(const std::string &to, uint8_t kind, const std::string &text)
{
	size_t size = 0;
	return take(tolvarapi::build_send_message(to, kind, text, &size), size);
}

std::string api_get_motd() { return api_packet(TOLVAR_API_GET_MOTD, ""); }
std::string api_get_online_users() { return api_packet(TOLVAR_API_GET_ONLINE_USER, ""); }

uint32_t be32(const std::string &s, size_t offset)
{
	WireReader r(s);
	uint32_t v = 0;
	if (r.skip(offset) == 0)
		r.get_u32_be(&v);
	return v;
}

uint16_t be16(const std::string &s, size_t offset)
{
	WireReader r(s);
	uint16_t v = 0;
	if (r.skip(offset) == 0)
		r.get_u16_be(&v);
	return v;
}

bool api_read(int fd, std::string *packet, int timeout_ms)
{
	packet->clear();
	if (!tt::read_exact(fd, 4, timeout_ms, packet))
		return false;
	uint32_t n = be32(*packet, 0);
	return n <= tolvarapi::DEFAULT_MAX_LENGTH && tt::read_exact(fd, n, timeout_ms, packet);
}

bool api_read_type(int fd, uint8_t type, std::string *packet, int timeout_ms)
{
	while (api_read(fd, packet, timeout_ms))
		if (api_type(*packet) == type)
			return true;
	return false;
}

bool api_handshake(tt::Process &p, std::string *pass, uint16_t version)
{
	std::string got;
	if (!tt::write_all(p.in, api_hello(version)) || !api_read(p.out, &got) || api_type(got) != TOLVAR_API_PASS)
		return false;
	if (pass != nullptr)
		*pass = got;
	return true;
}

}  // namespace st
