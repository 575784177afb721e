// Building and parsing the messages servers send each other over the bus.
#include "protocol/bus-protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/user-name.h"
#include "common/wire-reader.h"

namespace {

constexpr size_t HEADER_FIXED = 3 + 1 + 8;	// magic, version, type, server length, boot

// The rule reads a C string: a NUL inside would hide the bytes after it.
bool valid_user(std::string_view name)
{
	if (name.empty() || name.size() >= LOCAL_NAME_FIELD || memchr(name.data(), 0, name.size()) != nullptr)
		return false;
	char copy[LOCAL_NAME_FIELD];
	memcpy(copy, name.data(), name.size());
	copy[name.size()] = '\0';
	return is_valid_user_name(copy) != 0;
}

bool valid_host(std::string_view host)
{
	return host.size() < LOCAL_HOST_FIELD && memchr(host.data(), 0, host.size()) == nullptr;
}

bool valid_recipient(std::string_view to)
{
	return to == "GLOBAL" || to == "*" || valid_user(to);
}

bool valid_charset(std::string_view charset)
{
	for (char c : charset)
		if (!(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') && c != '-' &&
		    c != '_' && c != '.' && c != ':')
			return false;
	return charset.size() <= BUS_CHARSET_MAX;
}

// The bytes of the fields after the header, 0 when one does not fit.
size_t body_size(const BusMessage &m)
{
	switch (m.type) {
	case BUS_CHAT:
		if (m.user.size() > 255 || m.to.size() > 255 || m.charset.size() > BUS_CHARSET_MAX ||
		    m.text.size() > LOCAL_MESSAGE_TEXT_MAX)
			return 0;
		return 8 + 1 + m.user.size() + 1 + m.to.size() + 4 + 1 + m.charset.size() + 4 + m.text.size();
	case BUS_SESSION_ON:
		if (m.user.size() > 255 || m.host.size() > 255)
			return 0;
		return 8 + 4 + 1 + m.user.size() + 1 + m.host.size() + 8;
	case BUS_SESSION_OFF:
		return 8 + 4;
	case BUS_HEARTBEAT:
		return 8;
	case BUS_SNAPSHOT:
		return 8 + 4 + m.entries.size();
	case BUS_SNAPSHOT_ASK:
		return m.to.size() > BUS_SERVER_NAME_MAX ? 0 : 1 + m.to.size();
	case BUS_KICK:
		if (m.user.size() > 255 || m.text.size() > BUS_KICK_MESSAGE_MAX)
			return 0;
		return 4 + 1 + m.user.size() + 1 + m.text.size();
	case BUS_MUTE:
		return m.user.size() > 255 ? 0 : 4 + 1 + m.user.size() + 8;
	case BUS_UNMUTE:
		return m.user.size() > 255 ? 0 : 4 + 1 + m.user.size();
	default:
		return 0;
	}
}

int get_name(WireReader *r, std::string_view *out)
{
	uint8_t n;
	return r->get_u8(&n) < 0 ? -1 : r->get_bytes(n, out);
}

int get_text(WireReader *r, std::string_view *out)
{
	uint32_t n;
	return r->get_u32_be(&n) < 0 ? -1 : r->get_bytes(n, out);
}

int get_i64(WireReader *r, int64_t *out)
{
	uint64_t v;
	if (r->get_u64_be(&v) < 0)
		return -1;
	*out = (int64_t)v;
	return 0;
}

int read_entry(WireReader *r, BusSessionEntry *out)
{
	if (r->get_u32_be(&out->session) < 0 || get_name(r, &out->user) < 0 || get_name(r, &out->host) < 0 ||
	    get_i64(r, &out->since) < 0)
		return -1;
	return valid_user(out->user) && valid_host(out->host) ? 0 : -1;
}

// The fields of m's type from r (a snapshot is read by the caller); -1 when one is missing or
// out of its range.
int parse_body(WireReader *r, BusMessage *m)
{
	uint32_t kind;
	switch (m->type) {
	case BUS_CHAT:
		if (get_i64(r, &m->when) < 0 || get_name(r, &m->user) < 0 || get_name(r, &m->to) < 0 ||
		    r->get_u32_be(&kind) < 0 || get_name(r, &m->charset) < 0 || get_text(r, &m->text) < 0)
			return -1;
		m->kind = (int32_t)kind;
		return valid_user(m->user) && valid_recipient(m->to) && valid_charset(m->charset) &&
			       m->text.size() <= LOCAL_MESSAGE_TEXT_MAX
			   ? 0
			   : -1;
	case BUS_SESSION_ON:
		if (r->get_u64_be(&m->event) < 0 || r->get_u32_be(&m->session) < 0 || get_name(r, &m->user) < 0 ||
		    get_name(r, &m->host) < 0 || get_i64(r, &m->when) < 0)
			return -1;
		return valid_user(m->user) && valid_host(m->host) ? 0 : -1;
	case BUS_SESSION_OFF:
		return r->get_u64_be(&m->event) < 0 || r->get_u32_be(&m->session) < 0 ? -1 : 0;
	case BUS_HEARTBEAT:
		return r->get_u64_be(&m->event);
	case BUS_SNAPSHOT_ASK:
		if (get_name(r, &m->to) < 0)
			return -1;
		return m->to.empty() || bus_valid_server_name(m->to) ? 0 : -1;
	case BUS_KICK:
		if (r->get_u32_be(&m->admin_uid) < 0 || get_name(r, &m->user) < 0 || get_name(r, &m->text) < 0)
			return -1;
		return valid_user(m->user) ? 0 : -1;
	case BUS_MUTE:
		if (r->get_u32_be(&m->admin_uid) < 0 || get_name(r, &m->user) < 0 || get_i64(r, &m->when) < 0)
			return -1;
		return valid_user(m->user) ? 0 : -1;
	case BUS_UNMUTE:
		if (r->get_u32_be(&m->admin_uid) < 0 || get_name(r, &m->user) < 0)
			return -1;
		return valid_user(m->user) ? 0 : -1;
	default:
		return -1;
	}
}

// Reads into m, which holds whatever was read so far when this fails.
int parse_message(const void *data, size_t size, BusMessage *m)
{
	WireReader r(data, size);
	uint8_t magic, version;
	if (r.get_u8(&magic) < 0 || magic != BUS_MAGIC || r.get_u8(&version) < 0 || version != BUS_VERSION ||
	    r.get_u8(&m->type) < 0 || get_name(&r, &m->server) < 0 || !bus_valid_server_name(m->server) ||
	    r.get_u64_be(&m->boot) < 0)
		return -1;
	if (m->type == BUS_SNAPSHOT) {
		if (r.get_u64_be(&m->event) < 0 || r.get_u32_be(&m->count) < 0)
			return -1;
		// Every entry is checked here, so that reading them later cannot fail half-way.
		std::string_view entries(static_cast<const char *>(data) + r.offset(), r.remaining());
		for (uint32_t i = 0; i < m->count; i++) {
			BusSessionEntry e;
			if (read_entry(&r, &e) < 0)
				return -1;
		}
		m->entries = entries.substr(0, entries.size() - r.remaining());
		return r.empty() ? 0 : -1;
	}
	if (parse_body(&r, m) < 0 || !r.empty())
		return -1;
	return 0;
}

}  // namespace

bool bus_valid_server_name(std::string_view name)
{
	if (name.empty() || name.size() > BUS_SERVER_NAME_MAX)
		return false;
	for (char c : name)
		if (!(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') && c != '-' && c != '_')
			return false;
	return true;
}

size_t bus_message_size(const BusMessage &m)
{
	if (m.server.size() > BUS_SERVER_NAME_MAX)
		return 0;
	size_t body = body_size(m);
	if (body == 0)
		return 0;
	return HEADER_FIXED + m.server.size() + body;
}

void bus_write_message(const BusMessage &m, unsigned char *out)
{
	out[0] = BUS_MAGIC;
	WireWriter w{out + 1};
	w.u8(BUS_VERSION);
	w.u8(m.type);
	w.name(m.server);
	w.u64(m.boot);
	switch (m.type) {
	case BUS_CHAT:
		w.u64((uint64_t)m.when);
		w.name(m.user);
		w.name(m.to);
		w.u32((uint32_t)m.kind);
		w.name(m.charset);
		w.text(m.text);
		break;
	case BUS_SESSION_ON:
		w.u64(m.event);
		w.u32(m.session);
		w.name(m.user);
		w.name(m.host);
		w.u64((uint64_t)m.when);
		break;
	case BUS_SESSION_OFF:
		w.u64(m.event);
		w.u32(m.session);
		break;
	case BUS_HEARTBEAT:
		w.u64(m.event);
		break;
	case BUS_SNAPSHOT:
		w.u64(m.event);
		w.u32(m.count);
		w.bytes(m.entries);
		break;
	case BUS_SNAPSHOT_ASK:
		w.name(m.to);
		break;
	case BUS_KICK:
		w.u32(m.admin_uid);
		w.name(m.user);
		w.name(m.text);
		break;
	case BUS_MUTE:
		w.u32(m.admin_uid);
		w.name(m.user);
		w.u64((uint64_t)m.when);
		break;
	case BUS_UNMUTE:
		w.u32(m.admin_uid);
		w.name(m.user);
		break;
	default:
		break;
	}
}

unsigned char *bus_build_message(const BusMessage &m, size_t *size)
{
	size_t n = bus_message_size(m);
	if (n == 0) {
		errno = EINVAL;
		return nullptr;
	}
	auto *p = static_cast<unsigned char *>(malloc(n));
	if (p == nullptr) {
		errno = ENOMEM;
		return nullptr;
	}
	bus_write_message(m, p);
	*size = n;
	return p;
}

size_t bus_snapshot_entry_size(const BusSessionEntry &e)
{
	if (e.user.size() > 255 || e.host.size() > 255)
		return 0;
	return 4 + 1 + e.user.size() + 1 + e.host.size() + 8;
}

unsigned char *bus_write_snapshot_entry(unsigned char *out, const BusSessionEntry &e)
{
	put_u32_be(out, e.session);
	WireWriter w{out + 4};
	w.name(e.user);
	w.name(e.host);
	w.u64((uint64_t)e.since);
	return w.p;
}

// A payload that does not parse leaves *out empty: no field of it, and no view into it.
int bus_parse_message(const void *data, size_t size, BusMessage *out)
{
	BusMessage m = {};
	if (parse_message(data, size, &m) < 0) {
		*out = BusMessage{};
		return -1;
	}
	*out = m;
	return 0;
}

int bus_next_snapshot_entry(std::string_view *rest, BusSessionEntry *out)
{
	WireReader r(*rest);
	if (r.empty() || read_entry(&r, out) < 0)
		return -1;
	*rest = rest->substr(r.offset());
	return 0;
}

unsigned char *bus_write_batch_entry(unsigned char *out, const void *message, size_t size)
{
	put_u32_be(out, (uint32_t)size);
	WireWriter w{out + 4};
	w.bytes(std::string_view(static_cast<const char *>(message), size));
	return w.p;
}

int bus_next_batch_entry(std::string_view *rest, std::string_view *message, bool *malformed)
{
	*malformed = false;
	if (rest->empty())
		return -1;
	WireReader r(*rest);
	if (get_text(&r, message) < 0) {
		*malformed = true;
		return -1;
	}
	*rest = rest->substr(r.offset());
	return 0;
}
