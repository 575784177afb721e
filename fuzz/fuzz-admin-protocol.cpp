// Feeds arbitrary payloads to the parsers of the administrator's requests and answers and of
// the notices to sessions: every view must lie inside the packet, and whatever parses must
// come out of its builder with the same fields (byte for byte where the layout has no slack).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz-support.h"
#include "protocol/admin-protocol.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 14;
constexpr int32_t FIRST_TYPE = LOCAL_PACKET_ADMIN_WHO;
constexpr int32_t LAST_TYPE = LOCAL_PACKET_LOGIN_REFUSED;

struct Packet {
	std::string bytes;
	LocalPacketView view = {};
};

bool open_packet(std::string bytes, Packet *out)
{
	out->bytes = std::move(bytes);
	return local_packet_open(reinterpret_cast<const unsigned char *>(out->bytes.data()), &out->view) == 0;
}

// A built packet (nullptr: the builder refused) as a Packet; the builder must not have refused.
Packet built(unsigned char *packet, size_t size)
{
	FUZZ_CHECK(packet != nullptr);
	Packet p;
	FUZZ_CHECK(open_packet(std::string(reinterpret_cast<char *>(packet), size), &p));
	free(packet);
	return p;
}

void check_inside(const Packet &p, std::string_view v)
{
	if (v.empty())
		return;
	const char *b = p.bytes.data();
	FUZZ_CHECK(v.data() >= b && v.data() + v.size() <= b + p.bytes.size());
}

void check_request(const Packet &p)
{
	AdminRequest r;
	if (admin_parse_request(p.view, &r) < 0)
		return;
	check_inside(p, r.user);
	check_inside(p, r.message);
	FUZZ_CHECK(r.type == p.view.type && r.user.size() < LOCAL_NAME_FIELD && r.message.size() <= ADMIN_MESSAGE_MAX);
	size_t size = 0;
	Packet again = built(admin_build_request(r, &size), size);
	AdminRequest s;
	FUZZ_CHECK(admin_parse_request(again.view, &s) == 0);
	FUZZ_CHECK(s.type == r.type && s.admin_uid == r.admin_uid && s.user == r.user && s.message == r.message &&
		   s.seconds == r.seconds);
}

void check_lists(const Packet &p)
{
	AdminListView list;
	if (admin_parse_sessions(p.view, &list) == 0) {
		check_inside(p, list.entries);
		for (uint32_t i = 0; i < list.count; i++) {
			// An entry whose name fields lack their NUL does not parse.
			SessionEntry e;
			if (admin_session_entry(list, i, &e) < 0)
				continue;
			check_inside(p, e.user);
			check_inside(p, e.host);
			check_inside(p, e.encoding);
			FUZZ_CHECK(e.encoding.size() <= LOCAL_ENCODING_MAX);
		}
		SessionEntry beyond;
		FUZZ_CHECK(admin_session_entry(list, list.count, &beyond) < 0);
	}
	if (admin_parse_mutes(p.view, &list) == 0) {
		check_inside(p, list.entries);
		size_t size = 0;
		unsigned char *copy = admin_build_mutes(list.count, &size);
		bool whole = true;
		for (uint32_t i = 0; copy != nullptr && i < list.count; i++) {
			MuteEntry m;
			if (admin_mute_entry(list, i, &m) < 0) {
				whole = false;
				continue;
			}
			check_inside(p, m.user);
			admin_set_mute(copy, i, m);
		}
		Packet again = built(copy, size);
		AdminListView list2;
		FUZZ_CHECK(admin_parse_mutes(again.view, &list2) == 0 && list2.count == list.count);
		// Entries that parsed come out the same; the rebuilt ones always parse.
		for (uint32_t i = 0; whole && i < list.count; i++) {
			MuteEntry a, b;
			FUZZ_CHECK(admin_mute_entry(list, i, &a) == 0 && admin_mute_entry(list2, i, &b) == 0);
			FUZZ_CHECK(a.user == b.user && a.until == b.until);
		}
	}
	uint64_t values[COUNTER_COUNT + 1];
	uint32_t sent = 0;
	if (admin_parse_counters(p.view, values, COUNTER_COUNT + 1, &sent) == 0)
		FUZZ_CHECK(p.view.payload.size() == 4 + (size_t)sent * 8);
}

// Answers and notices whose layout has no slack: rebuilt, they are the same bytes.
void check_exact(const Packet &p)
{
	int32_t result;
	if (admin_parse_result(p.view, &result) == 0) {
		size_t size = 0;
		FUZZ_CHECK(built(admin_build_result(result, &size), size).bytes == p.bytes);
	}
	std::string_view message;
	if (notice_parse_kicked(p.view, &message) == 0) {
		check_inside(p, message);
		size_t size = 0;
		FUZZ_CHECK(built(notice_build_kicked(message, &size), size).bytes == p.bytes);
	}
	uint64_t seconds;
	if (notice_parse_muted(p.view, &seconds) == 0) {
		size_t size = 0;
		FUZZ_CHECK(built(notice_build_muted(seconds, &size), size).bytes == p.bytes);
	}
	uint32_t reason, limit;
	if (notice_parse_login_refused(p.view, &reason, &limit) == 0) {
		size_t size = 0;
		FUZZ_CHECK(built(notice_build_login_refused(reason, limit, &size), size).bytes == p.bytes);
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > MAX_INPUT)
		return 0;
	// Byte 0: the type, one of the administration and notice types; the rest: the payload.
	int32_t type = FIRST_TYPE + data[0] % (LAST_TYPE - FIRST_TYPE + 1);
	Packet p;
	std::string_view payload(reinterpret_cast<const char *>(data + 1), size - 1);
	FUZZ_CHECK(open_packet(tt::local_packet(type, payload), &p));
	check_request(p);
	check_lists(p);
	check_exact(p);
	return 0;
}
