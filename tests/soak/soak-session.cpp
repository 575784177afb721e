#include "tests/soak/soak-session.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/tolvar-api-client.h"
#include "protocol/local-protocol.h"

namespace soak {

namespace api = tolvarapi;

namespace {

constexpr size_t READ_CHUNK = 65536;
constexpr size_t STDERR_KEPT = 16384;

void set_nonblocking(int fd)
{
	if (fd >= 0)
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void queue_bytes(Session *s, const std::string &bytes)
{
	s->out += bytes;
	s->queued_total += bytes.size();
}

// The size is taken by reference: it is filled by the builder call in the same expression.
std::string take(unsigned char *packet, const size_t &size)
{
	std::string s;
	if (packet != nullptr)
		s.assign(reinterpret_cast<char *>(packet), size);
	free(packet);
	return s;
}

// One local packet (length field included) into an event; false when it breaks the protocol.
bool decode_local(const std::string &packet, Event *ev, std::string *fault)
{
	tt::DecodedPacket p = tt::decode_packet(packet);
	size_t payload = packet.size() - LOCAL_PACKET_OVERHEAD;
	switch (p.type) {
	case -1:
		*fault = "local packet that does not open";
		return false;
	case LOCAL_PACKET_RECEIVE_MESSAGE:
		if (!p.ok || payload != MESSAGE_RECORD_FIXED_SIZE + p.text.size()) {
			*fault = "receive-message packet that does not parse or whose sizes disagree";
			return false;
		}
		ev->type = Event::MESSAGE;
		ev->from = p.from;
		ev->to = p.to;
		ev->kind = p.kind;
		ev->text = p.text;
		return true;
	case LOCAL_PACKET_USER_NOT_FOUND:
	case LOCAL_PACKET_USER_ONLINE:
	case LOCAL_PACKET_USER_OFFLINE:
		if (!p.ok || payload != p.name.size() + 1) {
			*fault = "user-name packet of type " + std::to_string(p.type) + " with a wrong size";
			return false;
		}
		ev->type = p.type == LOCAL_PACKET_USER_NOT_FOUND ? Event::NOT_FOUND : Event::PRESENCE;
		ev->online = p.type == LOCAL_PACKET_USER_ONLINE;
		ev->name = p.name;
		return true;
	case LOCAL_PACKET_ONLINE_USERS:
		if (!p.ok || payload != ONLINE_USERS_FIXED_SIZE + USER_INFO_RECORD_SIZE * p.entries.size()) {
			*fault = "online-users packet that does not parse or whose sizes disagree";
			return false;
		}
		ev->type = Event::ONLINE_LIST;
		ev->your_id = p.your_id;
		for (const tt::DecodedPacket::Entry &e : p.entries)
			ev->entries.emplace_back(e.id, e.user);
		return true;
	default:
		*fault = "local packet of unknown type " + std::to_string(p.type);
		return false;
	}
}

// One API packet (length field included) into an event; false when it breaks the protocol.
bool decode_api(std::string_view packet, Event *ev, std::string *fault)
{
	api::Packet p{};
	if (api::open_packet(packet.data(), packet.size(), &p) != api::OK) {
		*fault = "API packet that does not open";
		return false;
	}
	bool ok = false;
	switch (p.type) {
	case TOLVAR_API_RECEIVE_MESSAGE: {
		api::Message m{};
		ok = api::parse_message(p, &m) == api::OK &&
		     p.length == 16 + m.from.size() + m.to.size() + m.text.size();
		if (!ok)
			break;
		ev->type = Event::MESSAGE;
		ev->from = std::string(m.from);
		ev->to = std::string(m.to);
		ev->kind = m.kind;
		ev->text = std::string(m.text);
		break;
	}
	case TOLVAR_API_USER_STATE: {
		api::UserState u{};
		ok = api::parse_user_state(p, &u) == api::OK;
		if (!ok)
			break;
		ev->type = Event::PRESENCE;
		ev->online = u.online;
		ev->name = std::string(u.user);
		break;
	}
	case TOLVAR_API_ONLINE_USERS: {
		api::OnlineUsers list{};
		ok = api::parse_online_users(p, &list) == api::OK;
		if (!ok)
			break;
		ev->type = Event::ONLINE_LIST;
		ev->your_id = list.your_id;
		std::string_view entries = list.entries;
		for (uint16_t i = 0; ok && i < list.count; i++) {
			api::UserEntry e{};
			ok = api::next_user(&entries, &e) == api::OK;
			if (!ok)
				break;
			ev->entries.emplace_back(e.id, std::string(e.user));
		}
		break;
	}
	case TOLVAR_API_PASS: {
		api::Pass pass{};
		ok = api::parse_pass(p, &pass) == api::OK;
		if (!ok)
			break;
		ev->type = Event::PASS;
		ev->name = std::string(pass.user);
		break;
	}
	case TOLVAR_API_ERROR: {
		api::Error e{};
		ok = api::parse_error(p, &e) == api::OK;
		if (!ok)
			break;
		ev->type = Event::ERROR;
		ev->code = e.code;
		ev->text = std::string(e.text);
		break;
	}
	case TOLVAR_API_MOTD: {
		api::Motd m{};
		ok = api::parse_motd(p, &m) == api::OK;
		ev->type = Event::MOTD;
		break;
	}
	default:
		*fault = "API packet of unknown type " + std::to_string(p.type);
		return false;
	}
	if (!ok)
		*fault = "API packet of type " + std::to_string(p.type) + " that does not parse";
	return ok;
}

// Cuts the whole packets off the front of s->in. False when the stream breaks its protocol.
bool cut_local_packets(Session *s, std::vector<Event> *events, std::string *fault)
{
	std::vector<std::string> packets;
	bool framed = tt::split_local_packets(&s->in, &packets);
	for (const std::string &packet : packets) {
		Event ev;
		if (!decode_local(packet, &ev, fault))
			return false;
		events->push_back(std::move(ev));
	}
	if (!framed)
		*fault = "local packet length " + std::to_string(tt::packet_length(s->in));
	return framed;
}

bool cut_api_packets(Session *s, std::vector<Event> *events, std::string *fault)
{
	size_t pos = 0;
	bool ok = true;
	while (ok) {
		std::string_view rest(s->in.data() + pos, s->in.size() - pos);
		size_t size = 0;
		int f = api::frame(rest.data(), rest.size(), api::DEFAULT_MAX_LENGTH, &size);
		if (f == api::NEED_MORE)
			break;
		if (f != api::OK) {
			*fault = "API packet length field refused (" + std::to_string(f) + ")";
			ok = false;
			break;
		}
		Event ev;
		ok = decode_api(rest.substr(0, size), &ev, fault);
		if (ok)
			events->push_back(std::move(ev));
		pos += size;
	}
	s->in.erase(0, pos);
	return ok;
}

}  // namespace

const char *end_name(End e)
{
	switch (e) {
	case End::ALIVE:
		return "alive";
	case End::CLOSED:
		return "closed";
	case End::HARD_CLOSED:
		return "pipes closed";
	case End::KILLED:
		return "killed";
	case End::DROPPED:
		return "dropped";
	case End::SERVER_KILLED:
		return "server killed";
	case End::LOST:
		return "lost";
	}
	return "?";
}

bool start_raw(Session *s, const std::string &socket_path)
{
	s->sock = tt::connect_socket(socket_path);
	if (s->sock < 0)
		return false;
	set_nonblocking(s->sock);
	if (!s->probe)
		queue_bytes(s, tt::login_packet(s->name, "192.0.2.9", s->encoding));
	queue_online_request(s);
	return true;
}

bool start_api(Session *s, const tt::Account &a)
{
	if (!tt::spawn(tt::session_spec(a, s->name, tt::ssh_env(a, "api")), &s->proc))
		return false;
	set_nonblocking(s->proc.in);
	set_nonblocking(s->proc.out);
	set_nonblocking(s->proc.err);
	size_t size = 0;
	queue_bytes(s, take(api::build_hello(TOLVAR_API_VERSION, &size), size));
	queue_online_request(s);
	return true;
}

void queue_post(Session *s, uint32_t seq, const std::string &to, int kind, const std::string &text)
{
	if (s->kind == Kind::RAW) {
		queue_bytes(s, tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", to, kind, text));
	} else {
		size_t size = 0;
		queue_bytes(s, take(api::build_send_message(to, (uint8_t)kind, text, &size), size));
	}
	s->posts.emplace_back(s->queued_total, seq);
}

void queue_online_request(Session *s)
{
	if (s->kind == Kind::RAW) {
		queue_bytes(s, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
	} else {
		size_t size = 0;
		queue_bytes(s, take(api::build_get_online_user(&size), size));
	}
}

bool has_output(const Session &s)
{
	return s.out_sent < s.out.size();
}

int output_fd(const Session &s)
{
	return s.kind == Kind::RAW ? s.sock : s.proc.in;
}

int flush(Session *s, std::vector<uint32_t> *written)
{
	int fd = output_fd(*s);
	if (fd < 0) {
		errno = EBADF;
		return -1;
	}
	while (has_output(*s)) {
		const char *p = s->out.data() + s->out_sent;
		size_t n = s->out.size() - s->out_sent;
		ssize_t w = s->kind == Kind::RAW ? send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT) : write(fd, p, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			break;
		if (w <= 0)
			return -1;
		s->out_sent += (size_t)w;
		s->written_total += (uint64_t)w;
	}
	while (!s->posts.empty() && s->posts.front().first <= s->written_total) {
		written->push_back(s->posts.front().second);
		s->posts.pop_front();
	}
	if (s->out_sent == s->out.size()) {
		s->out.clear();
		s->out_sent = 0;
	} else if (s->out_sent > (1u << 20)) {
		s->out.erase(0, s->out_sent);
		s->out_sent = 0;
	}
	return 0;
}

std::vector<uint32_t> unsent_posts(Session *s)
{
	std::vector<uint32_t> seqs;
	for (const auto &p : s->posts)
		seqs.push_back(p.second);
	s->posts.clear();
	s->out.clear();
	s->out_sent = 0;
	return seqs;
}

int receive(Session *s, std::vector<Event> *events, std::string *fault)
{
	int fd = s->kind == Kind::RAW ? s->sock : s->proc.out;
	char buf[READ_CHUNK];
	ssize_t r;
	do
		r = read(fd, buf, sizeof buf);
	while (r < 0 && errno == EINTR);
	if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
		return 1;
	if (r < 0) {
		*fault = std::string("read: ") + strerror(errno);
		return -1;
	}
	if (r == 0)
		return 0;
	s->in.append(buf, (size_t)r);
	bool ok = s->kind == Kind::RAW ? cut_local_packets(s, events, fault) : cut_api_packets(s, events, fault);
	return ok ? 1 : -1;
}

int receive_stderr(Session *s)
{
	char buf[4096];
	ssize_t r;
	do
		r = read(s->proc.err, buf, sizeof buf);
	while (r < 0 && errno == EINTR);
	if (r < 0)
		return errno == EAGAIN || errno == EWOULDBLOCK ? 1 : 0;
	if (r == 0)
		return 0;
	if (s->err_text.size() < STDERR_KEPT)
		s->err_text.append(buf, (size_t)r);
	return 1;
}

void close_all(Session *s)
{
	if (s->sock >= 0)
		close(s->sock);
	s->sock = -1;
	for (int *fd : {&s->proc.in, &s->proc.out, &s->proc.err}) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

}  // namespace soak
