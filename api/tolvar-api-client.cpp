#include "api/tolvar-api-client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "common/wire-reader.h"

namespace tolvarapi {

namespace {

constexpr size_t LENGTH_SIZE = 4;
constexpr size_t HEADER_SIZE = 5;	// length and type
constexpr uint32_t HELLO_LENGTH = 9;

bool name_fits(std::string_view s) { return s.size() <= UINT8_MAX; }

// A packet of type with body bytes after the type; w starts behind the type. nullptr with
// errno (EOVERFLOW when the length field cannot hold it).
unsigned char *new_packet(uint8_t type, uint64_t body, size_t *size, WireWriter *w)
{
	if (body > UINT32_MAX - 1 || body > SIZE_MAX - HEADER_SIZE) {
		errno = EOVERFLOW;
		return nullptr;
	}
	auto *p = static_cast<unsigned char *>(malloc(HEADER_SIZE + (size_t)body));
	if (p == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	put_u32_be(p, (uint32_t)(body + 1));
	p[4] = type;
	w->p = p + HEADER_SIZE;
	*size = HEADER_SIZE + (size_t)body;
	return p;
}

unsigned char *overflow()
{
	errno = EOVERFLOW;
	return nullptr;
}

int get_name(WireReader *r, std::string_view *out)
{
	uint8_t n;
	if (r->get_u8(&n) < 0 || r->get_bytes(n, out) < 0)
		return -1;
	return 0;
}

int get_text(WireReader *r, std::string_view *out)
{
	uint32_t n;
	if (r->get_u32_be(&n) < 0 || r->get_bytes(n, out) < 0)
		return -1;
	return 0;
}

int get_magic(WireReader *r)
{
	std::string_view magic;
	if (r->get_bytes(TOLVAR_API_MAGIC.size(), &magic) < 0 || magic != TOLVAR_API_MAGIC)
		return -1;
	return 0;
}

// Reads n bytes into buf, retrying EINTR: OK, END before all of them, or IO_ERROR.
int read_all(int fd, unsigned char *buf, size_t n)
{
	size_t got = 0;
	while (got < n) {
		ssize_t r = read(fd, buf + got, n - got);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return IO_ERROR;
		if (r == 0)
			return END;
		got += (size_t)r;
	}
	return OK;
}

// The fields of a received or a history message.
int parse_message_fields(const Packet &p, Message *out)
{
	WireReader r(p.fields);
	if (r.get_u64_be(&out->time) < 0 || get_name(&r, &out->from) < 0 || get_name(&r, &out->to) < 0 ||
	    r.get_u8(&out->kind) < 0 || get_text(&r, &out->text) < 0)
		return MALFORMED;
	return OK;
}

unsigned char *build_message_of_type(uint8_t type, uint64_t time, std::string_view from, std::string_view to,
				     uint8_t kind, std::string_view text, size_t *size)
{
	if (!name_fits(from) || !name_fits(to))
		return overflow();
	WireWriter w;
	unsigned char *p = new_packet(type, 8 + 1 + from.size() + 1 + to.size() + 1 + 4 + (uint64_t)text.size(), size, &w);
	if (p != nullptr) {
		w.u64(time);
		w.name(from);
		w.name(to);
		w.u8(kind);
		w.text(text);
	}
	return p;
}

int send_built(int fd, unsigned char *packet, size_t size)
{
	if (packet == nullptr)
		return errno == ENOMEM ? NO_MEMORY : MALFORMED;
	int r = write_packet(fd, packet, size);
	free(packet);
	return r;
}

}  // namespace

int frame(const void *data, size_t size, uint32_t max_length, size_t *packet_size)
{
	WireReader r(data, size);
	uint32_t length;
	if (r.get_u32_be(&length) < 0)
		return NEED_MORE;
	if (length == 0)
		return TOO_SMALL;
	if (length > max_length)
		return TOO_LARGE;
	if (r.remaining() < length)
		return NEED_MORE;
	*packet_size = LENGTH_SIZE + length;
	return OK;
}

int read_packet(int fd, uint32_t max_length, unsigned char **packet, size_t *size)
{
	unsigned char field[LENGTH_SIZE];
	int r = read_all(fd, field, sizeof field);
	if (r != OK)
		return r;
	WireReader lr(field, sizeof field);
	uint32_t length = 0;
	lr.get_u32_be(&length);
	*size = LENGTH_SIZE + (size_t)length;
	if (length == 0)
		return TOO_SMALL;
	if (length > max_length)
		return TOO_LARGE;
	auto *p = static_cast<unsigned char *>(malloc(*size));
	if (p == nullptr)
		return NO_MEMORY;
	memcpy(p, field, sizeof field);
	r = read_all(fd, p + LENGTH_SIZE, length);
	if (r != OK) {
		int saved = errno;
		free(p);
		errno = saved;
		return r;
	}
	*packet = p;
	return OK;
}

int write_packet(int fd, const void *packet, size_t size)
{
	const auto *p = static_cast<const unsigned char *>(packet);
	while (size > 0) {
		ssize_t w = write(fd, p, size);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0) {
			if (w == 0)
				errno = EIO;
			return IO_ERROR;
		}
		p += w;
		size -= (size_t)w;
	}
	return OK;
}

int open_packet(const void *data, size_t size, Packet *out)
{
	WireReader r(data, size);
	uint32_t length;
	if (r.get_u32_be(&length) < 0 || length == 0 || length != r.remaining() || r.get_u8(&out->type) < 0)
		return MALFORMED;
	out->length = length;
	out->fields = r.rest();
	return OK;
}

int parse_hello(const Packet &p, Hello *out)
{
	if (p.type != TOLVAR_API_HELLO)
		return MALFORMED;
	WireReader r(p.fields);
	if (p.length != HELLO_LENGTH || r.remaining() != HELLO_LENGTH - 1)
		return HELLO_BAD_LENGTH;
	if (get_magic(&r) < 0)
		return HELLO_BAD_MAGIC;
	r.get_u16_be(&out->version);
	return out->version == 0 ? HELLO_BAD_VERSION : OK;
}

int parse_send_message(const Packet &p, SendMessage *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_SEND_MESSAGE || get_name(&r, &out->to) < 0 || r.get_u8(&out->kind) < 0 ||
	    get_text(&r, &out->text) < 0)
		return MALFORMED;
	return OK;
}

int parse_pass(const Packet &p, Pass *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_PASS || get_magic(&r) < 0 || r.get_u16_be(&out->version) < 0 || out->version == 0 ||
	    get_name(&r, &out->user) < 0)
		return MALFORMED;
	return OK;
}

int next_user(std::string_view *entries, UserEntry *out)
{
	WireReader r(*entries);
	if (r.get_u16_be(&out->id) < 0 || get_name(&r, &out->user) < 0 || get_name(&r, &out->host) < 0)
		return MALFORMED;
	entries->remove_prefix(r.offset());
	return OK;
}

int parse_online_users(const Packet &p, OnlineUsers *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_ONLINE_USERS || r.get_u16_be(&out->your_id) < 0 || r.get_u16_be(&out->count) < 0)
		return MALFORMED;
	std::string_view all = r.rest(), walk = all;
	for (uint16_t i = 0; i < out->count; i++) {
		UserEntry e;
		if (next_user(&walk, &e) != OK)
			return MALFORMED;
	}
	out->entries = all.substr(0, all.size() - walk.size());
	return OK;
}

int parse_message(const Packet &p, Message *out)
{
	return p.type == TOLVAR_API_RECEIVE_MESSAGE ? parse_message_fields(p, out) : MALFORMED;
}

int parse_history_message(const Packet &p, Message *out)
{
	return p.type == TOLVAR_API_HISTORY_MESSAGE ? parse_message_fields(p, out) : MALFORMED;
}

int parse_get_history(const Packet &p, GetHistory *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_GET_HISTORY || r.get_u16_be(&out->max) < 0)
		return MALFORMED;
	return OK;
}

int parse_history_end(const Packet &p, HistoryEnd *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_HISTORY_END || r.get_u16_be(&out->count) < 0)
		return MALFORMED;
	return OK;
}

int parse_user_state(const Packet &p, UserState *out)
{
	WireReader r(p.fields);
	uint8_t online;
	if (p.type != TOLVAR_API_USER_STATE || r.get_u8(&online) < 0 || get_name(&r, &out->user) < 0)
		return MALFORMED;
	out->online = online != 0;
	return OK;
}

int parse_error(const Packet &p, Error *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_ERROR || r.get_u32_be(&out->code) < 0 || get_text(&r, &out->text) < 0)
		return MALFORMED;
	return OK;
}

int parse_motd(const Packet &p, Motd *out)
{
	WireReader r(p.fields);
	if (p.type != TOLVAR_API_MOTD || get_text(&r, &out->text) < 0)
		return MALFORMED;
	return OK;
}

unsigned char *build_packet(uint8_t type, std::string_view fields, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(type, fields.size(), size, &w);
	if (p != nullptr)
		w.bytes(fields);
	return p;
}

unsigned char *build_hello(uint16_t version, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_HELLO, TOLVAR_API_MAGIC.size() + 2, size, &w);
	if (p != nullptr) {
		w.bytes(TOLVAR_API_MAGIC);
		w.u16(version);
	}
	return p;
}

unsigned char *build_get_online_user(size_t *size) { return build_packet(TOLVAR_API_GET_ONLINE_USER, {}, size); }

unsigned char *build_get_motd(size_t *size) { return build_packet(TOLVAR_API_GET_MOTD, {}, size); }

unsigned char *build_send_message(std::string_view to, uint8_t kind, std::string_view text, size_t *size)
{
	if (!name_fits(to))
		return overflow();
	WireWriter w;
	unsigned char *p =
		new_packet(TOLVAR_API_SEND_MESSAGE, 1 + to.size() + 1 + 4 + (uint64_t)text.size(), size, &w);
	if (p != nullptr) {
		w.name(to);
		w.u8(kind);
		w.text(text);
	}
	return p;
}

unsigned char *build_pass(uint16_t version, std::string_view user, size_t *size)
{
	if (!name_fits(user))
		return overflow();
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_PASS, TOLVAR_API_MAGIC.size() + 2 + 1 + user.size(), size, &w);
	if (p != nullptr) {
		w.bytes(TOLVAR_API_MAGIC);
		w.u16(version);
		w.name(user);
	}
	return p;
}

unsigned char *build_online_users(uint16_t your_id, const UserEntry *entries, size_t count, size_t *size)
{
	if (count > UINT16_MAX)
		return overflow();
	uint64_t body = 4;
	for (size_t i = 0; i < count; i++) {
		if (!name_fits(entries[i].user) || !name_fits(entries[i].host))
			return overflow();
		body += 2 + 1 + entries[i].user.size() + 1 + entries[i].host.size();
	}
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_ONLINE_USERS, body, size, &w);
	if (p == nullptr)
		return nullptr;
	w.u16(your_id);
	w.u16((uint16_t)count);
	for (size_t i = 0; i < count; i++) {
		w.u16(entries[i].id);
		w.name(entries[i].user);
		w.name(entries[i].host);
	}
	return p;
}

unsigned char *build_message(uint64_t time, std::string_view from, std::string_view to, uint8_t kind,
			     std::string_view text, size_t *size)
{
	return build_message_of_type(TOLVAR_API_RECEIVE_MESSAGE, time, from, to, kind, text, size);
}

unsigned char *build_history_message(uint64_t time, std::string_view from, std::string_view to, uint8_t kind,
				     std::string_view text, size_t *size)
{
	return build_message_of_type(TOLVAR_API_HISTORY_MESSAGE, time, from, to, kind, text, size);
}

unsigned char *build_get_history(uint16_t max, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_GET_HISTORY, 2, size, &w);
	if (p != nullptr)
		w.u16(max);
	return p;
}

unsigned char *build_history_end(uint16_t count, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_HISTORY_END, 2, size, &w);
	if (p != nullptr)
		w.u16(count);
	return p;
}

unsigned char *build_user_state(bool online, std::string_view user, size_t *size)
{
	if (!name_fits(user))
		return overflow();
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_USER_STATE, 2 + user.size(), size, &w);
	if (p != nullptr) {
		w.u8(online ? 1 : 0);
		w.name(user);
	}
	return p;
}

unsigned char *build_error(uint32_t code, std::string_view text, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_ERROR, 8 + (uint64_t)text.size(), size, &w);
	if (p != nullptr) {
		w.u32(code);
		w.text(text);
	}
	return p;
}

unsigned char *build_motd(std::string_view text, size_t *size)
{
	WireWriter w;
	unsigned char *p = new_packet(TOLVAR_API_MOTD, 4 + (uint64_t)text.size(), size, &w);
	if (p != nullptr)
		w.text(text);
	return p;
}

int handshake(int in_fd, int out_fd, uint16_t version, unsigned char **packet, Pass *pass)
{
	size_t size = 0;
	unsigned char *hello = build_hello(version, &size);
	int r = send_built(out_fd, hello, size);
	if (r != OK)
		return r;
	unsigned char *answer;
	r = read_packet(in_fd, DEFAULT_MAX_LENGTH, &answer, &size);
	if (r != OK)
		return r;
	Packet p;
	if (open_packet(answer, size, &p) != OK || parse_pass(p, pass) != OK) {
		free(answer);
		return MALFORMED;
	}
	*packet = answer;
	return OK;
}

int send_message(int fd, std::string_view to, uint8_t kind, std::string_view text)
{
	size_t size = 0;
	unsigned char *packet = build_send_message(to, kind, text, &size);
	return send_built(fd, packet, size);
}

int get_history(int fd, uint16_t max)
{
	size_t size = 0;
	unsigned char *packet = build_get_history(max, &size);
	return send_built(fd, packet, size);
}

}  // namespace tolvarapi
