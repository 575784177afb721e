#include "testing/local-packets.h"

#include <cstring>

#include "common/wire-reader.h"
#include "protocol/local-protocol.h"

namespace tt {

namespace {

// The type and the reserved bytes.
constexpr uint64_t LOCAL_PACKET_MIN_LENGTH = LOCAL_PACKET_OVERHEAD - LOCAL_PACKET_LENGTH_SIZE;

void put_name(std::string *payload, const std::string &name, size_t field)
{
	std::string f(field, '\0');
	memcpy(&f[0], name.data(), name.size() < field ? name.size() : field);
	*payload += f;
}

}  // namespace

std::string local_packet(int32_t type, std::string_view payload)
{
	std::string p(LOCAL_PACKET_OVERHEAD + payload.size(), '\0');
	uint64_t length = payload.size() + LOCAL_PACKET_MIN_LENGTH;
	memcpy(&p[0], &length, sizeof length);
	memcpy(&p[LOCAL_PACKET_LENGTH_SIZE], &type, sizeof type);
	memcpy(&p[LOCAL_PACKET_HEADER_SIZE], payload.data(), payload.size());
	return p;
}

std::string login_packet(const std::string &user, const std::string &host, const std::string &encoding)
{
	std::string payload;
	put_name(&payload, user, LOCAL_NAME_FIELD);
	put_name(&payload, host, LOCAL_HOST_FIELD);
	payload += encoding;
	payload += '\0';
	return local_packet(LOCAL_PACKET_LOGIN, payload);
}

std::string message_packet(int32_t type, const std::string &from, const std::string &to, int32_t kind,
			   const std::string &text)
{
	std::string payload;
	put_name(&payload, from, LOCAL_NAME_FIELD);
	put_name(&payload, to, LOCAL_NAME_FIELD);
	payload.append(reinterpret_cast<const char *>(&kind), sizeof kind);
	payload.append(4, '\0');
	uint64_t n = text.size();
	payload.append(reinterpret_cast<const char *>(&n), sizeof n);
	payload += text;
	return local_packet(type, payload);
}

std::string empty_packet(int32_t type) { return local_packet(type, ""); }

uint64_t packet_length(std::string_view p)
{
	WireReader r(p);
	uint64_t length = 0;
	if (r.get_u64_host(&length) < 0)
		return 0;
	return length;
}

int32_t packet_type(std::string_view p)
{
	WireReader r(p);
	int32_t type = -1;
	if (r.skip(LOCAL_PACKET_LENGTH_SIZE) < 0 || r.get_i32_host(&type) < 0)
		return -1;
	return type;
}

bool split_local_packets(std::string *stream, std::vector<std::string> *packets)
{
	WireReader r(*stream);
	bool refused = false;
	for (;;) {
		WireReader next = r;
		uint64_t length;
		std::string_view body;
		if (next.get_u64_host(&length) < 0)
			break;
		if (length < LOCAL_PACKET_MIN_LENGTH || length > LOCAL_PACKET_MAX_LENGTH) {
			refused = true;
			break;
		}
		if (next.get_bytes((size_t)length, &body) < 0)
			break;
		packets->push_back(stream->substr(r.offset(), next.offset() - r.offset()));
		r = next;
	}
	stream->erase(0, r.offset());
	return !refused;
}

DecodedPacket decode_packet(std::string_view raw)
{
	DecodedPacket p;
	p.raw = std::string(raw);
	p.length = packet_length(raw);
	LocalPacketView v;
	if (raw.size() < LOCAL_PACKET_OVERHEAD || raw.size() - LOCAL_PACKET_LENGTH_SIZE != p.length ||
	    local_packet_open(reinterpret_cast<const unsigned char *>(raw.data()), &v) < 0)
		return p;
	p.type = v.type;
	switch (v.type) {
	case LOCAL_PACKET_RECEIVE_MESSAGE: {
		MessageView m;
		if (local_parse_message(v, &m) < 0)
			return p;
		p.from = std::string(m.from_user);
		p.to = std::string(m.to_user);
		p.kind = m.kind;
		p.text = std::string(m.text);
		break;
	}
	case LOCAL_PACKET_HISTORY_MESSAGE: {
		MessageView m;
		if (local_parse_history_message(v, &p.time, &m) < 0)
			return p;
		p.from = std::string(m.from_user);
		p.to = std::string(m.to_user);
		p.kind = m.kind;
		p.text = std::string(m.text);
		break;
	}
	case LOCAL_PACKET_HISTORY_END:
		if (local_parse_u32(v, &p.count) < 0)
			return p;
		break;
	case LOCAL_PACKET_USER_NOT_FOUND:
	case LOCAL_PACKET_USER_ONLINE:
	case LOCAL_PACKET_USER_OFFLINE: {
		std::string_view name;
		if (local_parse_user_name(v, &name) < 0)
			return p;
		p.name = std::string(name);
		break;
	}
	case LOCAL_PACKET_ONLINE_USERS: {
		OnlineUsersView list;
		if (local_parse_online_users(v, &list) < 0)
			return p;
		p.your_id = list.your_id;
		for (uint32_t i = 0; i < list.count; i++) {
			UserInfoView e;
			if (local_online_users_entry(list, i, &e) < 0)
				return p;
			p.entries.push_back({e.id, std::string(e.user), std::string(e.host)});
		}
		break;
	}
	default:
		return p;
	}
	p.ok = true;
	return p;
}

}  // namespace tt
