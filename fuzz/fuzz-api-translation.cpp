// Fuzzes the API frontend's translation of server packets: the input becomes one local packet
// of any type, which the frontend reads from its server connection with do_local_packet after
// a handshake. Checked: the program gets one well-formed API packet of the matching type that
// reads back to what the local packet said, or nothing for a malformed or unknown packet.
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz-api-common.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 15;

fuzz_api::Frontend fe;

void check_message(const std::vector<std::string> &out, const LocalPacketView &lp, uint64_t t0, uint64_t t1)
{
	MessageView m;
	if (local_parse_message_lenient(lp, &m) < 0) {
		FUZZ_CHECK(out.empty());
		return;
	}
	FUZZ_CHECK(out.size() == 1);
	tolvarapi::Message back;
	FUZZ_CHECK(tolvarapi::parse_message(fuzz_api::open_api(out[0]), &back) == tolvarapi::OK);
	FUZZ_CHECK(back.time >= t0 && back.time <= t1);
	FUZZ_CHECK(back.from == m.from_user && back.text == m.text && back.kind == (uint8_t)m.kind);
	FUZZ_CHECK(back.to == (m.to_user == "*" ? std::string_view("GLOBAL") : m.to_user));
}

void check_online_users(const std::vector<std::string> &out, const LocalPacketView &lp)
{
	OnlineUsersView list;
	bool valid = local_parse_online_users(lp, &list) == 0;
	for (uint32_t i = 0; valid && i < list.count; i++) {
		UserInfoView e;
		valid = local_online_users_entry_lenient(list, i, &e) == 0;
	}
	if (!valid) {
		FUZZ_CHECK(out.empty());
		return;
	}
	FUZZ_CHECK(out.size() == 1);
	tolvarapi::OnlineUsers back;
	FUZZ_CHECK(tolvarapi::parse_online_users(fuzz_api::open_api(out[0]), &back) == tolvarapi::OK);
	FUZZ_CHECK(back.count == list.count && back.your_id == (uint16_t)list.your_id);
	for (uint32_t i = 0; i < list.count; i++) {
		UserInfoView e;
		tolvarapi::UserEntry b;
		FUZZ_CHECK(local_online_users_entry_lenient(list, i, &e) == 0);
		FUZZ_CHECK(tolvarapi::next_user(&back.entries, &b) == tolvarapi::OK);
		FUZZ_CHECK(b.id == (uint16_t)e.id && b.user == e.user && b.host == e.host);
	}
	FUZZ_CHECK(back.entries.empty());
}

void check_user_name(const std::vector<std::string> &out, const LocalPacketView &lp)
{
	std::string_view name;
	if (local_parse_user_name_lenient(lp, &name) < 0) {
		FUZZ_CHECK(out.empty());
		return;
	}
	FUZZ_CHECK(out.size() == 1);
	tolvarapi::Packet p = fuzz_api::open_api(out[0]);
	if (lp.type == LOCAL_PACKET_USER_NOT_FOUND) {
		tolvarapi::Error e;
		FUZZ_CHECK(tolvarapi::parse_error(p, &e) == tolvarapi::OK && e.code == TOLVAR_API_ERROR_USER_NOT_FOUND);
		// The text is formatted into 256 bytes; a name too long for that is cut with it.
		FUZZ_CHECK(e.text == ("User " + std::string(name) + " not found").substr(0, 255));
	} else {
		tolvarapi::UserState s;
		FUZZ_CHECK(tolvarapi::parse_user_state(p, &s) == tolvarapi::OK);
		// Names longer than a local name field (only a malformed packet has them) are cut.
		FUZZ_CHECK(s.online == (lp.type == LOCAL_PACKET_USER_ONLINE) && s.user == name.substr(0, LOCAL_NAME_FIELD));
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (fe.client_end < 0) {
		fuzz_api::start(&fe);
		fuzz_api::shake_hands(&fe);
		fuzz_api::api_output(&fe);
	}
	if (size < 1 || size > MAX_INPUT)
		return 0;
	// Byte 0: the type (0 to 9, 9 standing for an unknown large number); the rest: the payload.
	int32_t type = data[0] % 10 == 9 ? 0x10000 + data[0] : data[0] % 10;
	size_t payload = size - 1;
	std::string packet(LOCAL_PACKET_OVERHEAD + payload, '\0');
	uint64_t length = payload + 8;
	memcpy(&packet[0], &length, sizeof length);
	memcpy(&packet[8], &type, sizeof type);
	memcpy(&packet[LOCAL_PACKET_HEADER_SIZE], data + 1, payload);
	FUZZ_CHECK(write(fe.server_end, packet.data(), packet.size()) == (ssize_t)packet.size());

	uint64_t t0 = (uint64_t)time(nullptr);
	int waiting = 0;
	do {
		fe.ops.do_local_packet(fe.client_end);
		FUZZ_CHECK(ioctl(fe.client_end, FIONREAD, &waiting) == 0);
	} while (waiting > 0);
	uint64_t t1 = (uint64_t)time(nullptr);
	std::vector<std::string> out = fuzz_api::api_output(&fe);
	FUZZ_CHECK(fuzz_api::server_input(&fe).empty());

	LocalPacketView lp;
	FUZZ_CHECK(local_packet_open(reinterpret_cast<const unsigned char *>(packet.data()), &lp) == 0);
	switch (type) {
	case LOCAL_PACKET_RECEIVE_MESSAGE:
		check_message(out, lp, t0, t1);
		break;
	case LOCAL_PACKET_ONLINE_USERS:
		check_online_users(out, lp);
		break;
	case LOCAL_PACKET_USER_NOT_FOUND:
	case LOCAL_PACKET_USER_ONLINE:
	case LOCAL_PACKET_USER_OFFLINE:
		check_user_name(out, lp);
		break;
	default:
		FUZZ_CHECK(out.empty());
		break;
	}
	return 0;
}
