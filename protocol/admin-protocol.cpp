#include "protocol/admin-protocol.h"

#include <cerrno>
#include <cstring>

#include "common/wire-reader.h"

namespace {

// What follows the administrator's uid in each request.
struct RequestLayout {
	int32_t type;
	bool user;
	bool seconds;
	bool message;
};

const RequestLayout request_layouts[] = {
	{LOCAL_PACKET_ADMIN_WHO, false, false, false},
	{LOCAL_PACKET_ADMIN_KICK, true, false, true},
	{LOCAL_PACKET_ADMIN_MUTE, true, true, false},
	{LOCAL_PACKET_ADMIN_UNMUTE, true, false, false},
	{LOCAL_PACKET_ADMIN_LIST_MUTES, false, false, false},
	{LOCAL_PACKET_ADMIN_STATS, false, false, false},
	{0, false, false, false},
};

const RequestLayout *layout_of(int32_t type)
{
	for (const RequestLayout *l = request_layouts; l->type != 0; l++)
		if (l->type == type)
			return l;
	return nullptr;
}

// A packet of type with a payload of n bytes, written through w from its start.
struct Builder {
	unsigned char *packet = nullptr;
	unsigned char *w = nullptr;

	bool start(int32_t type, size_t n, size_t *size)
	{
		packet = local_packet_new(type, n, size);
		w = packet != nullptr ? local_packet_payload(packet) : nullptr;
		return packet != nullptr;
	}
	template <typename T> void put(T v)
	{
		memcpy(w, &v, sizeof v);
		w += sizeof v;
	}
	void field(std::string_view s, size_t field_size)
	{
		local_copy_name(reinterpret_cast<char *>(w), field_size, s, field_size - 1);
		w += field_size;
	}
	void bytes(std::string_view s)
	{
		if (!s.empty())
			memcpy(w, s.data(), s.size());
		w += s.size();
	}
};

unsigned char *build_list(int32_t type, uint32_t count, size_t entry_size, size_t *size)
{
	if ((uint64_t)count * entry_size > LOCAL_PACKET_MAX_LENGTH - 16) {
		errno = EINVAL;
		return nullptr;
	}
	Builder b;
	if (!b.start(type, 4 + (size_t)count * entry_size, size))
		return nullptr;
	b.put(count);
	return b.packet;
}

// Where entry index of a list built with build_list starts.
unsigned char *list_entry(unsigned char *packet, uint32_t index, size_t entry_size)
{
	return local_packet_payload(packet) + 4 + (size_t)index * entry_size;
}

int parse_list(const LocalPacketView &p, int32_t type, size_t entry_size, AdminListView *out)
{
	WireReader r(p.payload);
	if (p.type != type || r.get_u32_host(&out->count) < 0 || out->count > r.remaining() / entry_size ||
	    r.remaining() != (size_t)out->count * entry_size)
		return -1;
	out->entries = r.rest();
	return 0;
}

int open_entry(const AdminListView &list, uint32_t index, size_t entry_size, WireReader *out)
{
	if (index >= list.count)
		return -1;
	WireReader r(list.entries);
	if (r.skip((size_t)index * entry_size) < 0)
		return -1;
	return r.sub(entry_size, out);
}

int64_t as_i64(uint64_t v)
{
	int64_t s;
	memcpy(&s, &v, sizeof s);
	return s;
}

}  // namespace

bool admin_is_request(int32_t type)
{
	return layout_of(type) != nullptr;
}

unsigned char *admin_build_request(const AdminRequest &request, size_t *size)
{
	const RequestLayout *l = layout_of(request.type);
	if (l == nullptr || request.message.size() > ADMIN_MESSAGE_MAX) {
		errno = EINVAL;
		return nullptr;
	}
	size_t n = 4 + (l->user ? LOCAL_NAME_FIELD : 0) + (l->seconds ? 8 : 0) + (l->message ? request.message.size() : 0);
	Builder b;
	if (!b.start(request.type, n, size))
		return nullptr;
	b.put(request.admin_uid);
	if (l->user)
		b.field(request.user, LOCAL_NAME_FIELD);
	if (l->seconds)
		b.put(request.seconds);
	if (l->message)
		b.bytes(request.message);
	return b.packet;
}

int admin_parse_request(const LocalPacketView &p, AdminRequest *out)
{
	const RequestLayout *l = layout_of(p.type);
	if (l == nullptr)
		return -1;
	WireReader r(p.payload);
	*out = AdminRequest{p.type, 0, {}, {}, 0};
	if (r.get_u32_host(&out->admin_uid) < 0)
		return -1;
	if (l->user && (r.get_cstring_field(LOCAL_NAME_FIELD, &out->user) < 0 || out->user.empty()))
		return -1;
	if (l->seconds && r.get_u64_host(&out->seconds) < 0)
		return -1;
	if (l->message) {
		out->message = r.rest();
		if (out->message.size() > ADMIN_MESSAGE_MAX || out->message.find('\0') != std::string_view::npos)
			return -1;
	}
	return r.empty() ? 0 : -1;
}

unsigned char *admin_build_result(int32_t result, size_t *size)
{
	Builder b;
	if (!b.start(LOCAL_PACKET_ADMIN_RESULT, 4, size))
		return nullptr;
	b.put(result);
	return b.packet;
}

int admin_parse_result(const LocalPacketView &p, int32_t *result)
{
	WireReader r(p.payload);
	if (p.type != LOCAL_PACKET_ADMIN_RESULT || r.get_i32_host(result) < 0 || !r.empty())
		return -1;
	return 0;
}

unsigned char *admin_build_sessions(uint32_t count, bool with_server, size_t *size)
{
	if (with_server)
		return build_list(LOCAL_PACKET_ADMIN_SERVER_SESSIONS, count, ADMIN_SERVER_SESSION_ENTRY_SIZE, size);
	return build_list(LOCAL_PACKET_ADMIN_SESSIONS, count, ADMIN_SESSION_ENTRY_SIZE, size);
}

void admin_set_session(unsigned char *packet, uint32_t index, const SessionEntry &entry)
{
	int32_t type;
	memcpy(&type, packet + LOCAL_PACKET_LENGTH_SIZE, sizeof type);
	bool with_server = type == LOCAL_PACKET_ADMIN_SERVER_SESSIONS;
	Builder b;
	b.w = list_entry(packet, index, with_server ? ADMIN_SERVER_SESSION_ENTRY_SIZE : ADMIN_SESSION_ENTRY_SIZE);
	b.put(entry.id);
	b.field(entry.user, LOCAL_NAME_FIELD);
	b.field(entry.host, LOCAL_HOST_FIELD);
	b.field(entry.encoding, ADMIN_ENCODING_FIELD);
	b.put(entry.since);
	b.put(entry.last_post);
	b.put(entry.posts);
	if (with_server)
		b.field(entry.server, ADMIN_SERVER_FIELD);
}

int admin_parse_sessions(const LocalPacketView &p, AdminListView *out)
{
	out->with_server = p.type == LOCAL_PACKET_ADMIN_SERVER_SESSIONS;
	if (out->with_server)
		return parse_list(p, LOCAL_PACKET_ADMIN_SERVER_SESSIONS, ADMIN_SERVER_SESSION_ENTRY_SIZE, out);
	return parse_list(p, LOCAL_PACKET_ADMIN_SESSIONS, ADMIN_SESSION_ENTRY_SIZE, out);
}

int admin_session_entry(const AdminListView &list, uint32_t index, SessionEntry *out)
{
	WireReader r;
	uint64_t since, last_post;
	size_t entry_size = list.with_server ? ADMIN_SERVER_SESSION_ENTRY_SIZE : ADMIN_SESSION_ENTRY_SIZE;
	out->server = std::string_view();
	if (open_entry(list, index, entry_size, &r) < 0 || r.get_i32_host(&out->id) < 0 ||
	    r.get_cstring_field(LOCAL_NAME_FIELD, &out->user) < 0 ||
	    r.get_cstring_field(LOCAL_HOST_FIELD, &out->host) < 0 ||
	    r.get_cstring_field(ADMIN_ENCODING_FIELD, &out->encoding) < 0 || r.get_u64_host(&since) < 0 ||
	    r.get_u64_host(&last_post) < 0 || r.get_u64_host(&out->posts) < 0)
		return -1;
	if (list.with_server && r.get_cstring_field(ADMIN_SERVER_FIELD, &out->server) < 0)
		return -1;
	out->since = as_i64(since);
	out->last_post = as_i64(last_post);
	return 0;
}

unsigned char *admin_build_mutes(uint32_t count, size_t *size)
{
	return build_list(LOCAL_PACKET_ADMIN_MUTES, count, ADMIN_MUTE_ENTRY_SIZE, size);
}

void admin_set_mute(unsigned char *packet, uint32_t index, const MuteEntry &entry)
{
	Builder b;
	b.w = list_entry(packet, index, ADMIN_MUTE_ENTRY_SIZE);
	b.field(entry.user, LOCAL_NAME_FIELD);
	b.put(entry.until);
}

int admin_parse_mutes(const LocalPacketView &p, AdminListView *out)
{
	return parse_list(p, LOCAL_PACKET_ADMIN_MUTES, ADMIN_MUTE_ENTRY_SIZE, out);
}

int admin_mute_entry(const AdminListView &list, uint32_t index, MuteEntry *out)
{
	WireReader r;
	uint64_t until;
	if (open_entry(list, index, ADMIN_MUTE_ENTRY_SIZE, &r) < 0 ||
	    r.get_cstring_field(LOCAL_NAME_FIELD, &out->user) < 0 || r.get_u64_host(&until) < 0)
		return -1;
	out->until = as_i64(until);
	return 0;
}

unsigned char *admin_build_counters(const uint64_t *values, uint32_t count, size_t *size)
{
	unsigned char *packet = build_list(LOCAL_PACKET_ADMIN_COUNTERS, count, 8, size);
	if (packet != nullptr && count > 0)
		memcpy(list_entry(packet, 0, 8), values, (size_t)count * 8);
	return packet;
}

int admin_parse_counters(const LocalPacketView &p, uint64_t *values, uint32_t max, uint32_t *count)
{
	AdminListView list;
	if (parse_list(p, LOCAL_PACKET_ADMIN_COUNTERS, 8, &list) < 0)
		return -1;
	WireReader r(list.entries);
	for (uint32_t i = 0; i < max; i++)
		if (i >= list.count || r.get_u64_host(&values[i]) < 0)
			values[i] = 0;
	*count = list.count;
	return 0;
}

unsigned char *notice_build_kicked(std::string_view message, size_t *size)
{
	if (message.size() > ADMIN_MESSAGE_MAX) {
		errno = EINVAL;
		return nullptr;
	}
	Builder b;
	if (!b.start(LOCAL_PACKET_KICKED, message.size(), size))
		return nullptr;
	b.bytes(message);
	return b.packet;
}

int notice_parse_kicked(const LocalPacketView &p, std::string_view *message)
{
	if (p.type != LOCAL_PACKET_KICKED || p.payload.size() > ADMIN_MESSAGE_MAX ||
	    p.payload.find('\0') != std::string_view::npos)
		return -1;
	*message = p.payload;
	return 0;
}

unsigned char *notice_build_muted(uint64_t seconds, size_t *size)
{
	Builder b;
	if (!b.start(LOCAL_PACKET_MUTED, 8, size))
		return nullptr;
	b.put(seconds);
	return b.packet;
}

int notice_parse_muted(const LocalPacketView &p, uint64_t *seconds)
{
	WireReader r(p.payload);
	if (p.type != LOCAL_PACKET_MUTED || r.get_u64_host(seconds) < 0 || !r.empty())
		return -1;
	return 0;
}

unsigned char *notice_build_login_refused(uint32_t reason, uint32_t limit, size_t *size)
{
	Builder b;
	if (!b.start(LOCAL_PACKET_LOGIN_REFUSED, 8, size))
		return nullptr;
	b.put(reason);
	b.put(limit);
	return b.packet;
}

int notice_parse_login_refused(const LocalPacketView &p, uint32_t *reason, uint32_t *limit)
{
	WireReader r(p.payload);
	if (p.type != LOCAL_PACKET_LOGIN_REFUSED || r.get_u32_host(reason) < 0 || r.get_u32_host(limit) < 0 ||
	    !r.empty())
		return -1;
	return 0;
}
