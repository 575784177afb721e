// Fuzzes the API packet parsing of the frontend (get_api_packet on a descriptor, the
// handshake and send-message parsers, the translation of server packets) and of the client
// library (framing and every packet parser), checking after each input that nothing was read
// outside the input and that what was parsed builds back to the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "api/api-protocol.h"
#include "api/tolvar-api-client.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 17;

#define CHECK(c)                                                     \
	do {                                                         \
		if (!(c))                                            \
			abort();                                     \
	} while (0)

bool inside(std::string_view part, const void *data, size_t size)
{
	auto *b = static_cast<const char *>(data);
	return part.empty() || (part.data() >= b && part.data() + part.size() <= b + size);
}

std::string take(unsigned char *p, const size_t &size)
{
	CHECK(p != nullptr);
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

// What was built from parsed fields is the start of the fields that were parsed.
void check_rebuilt(const std::string &built, const tolvarapi::Packet &p)
{
	CHECK(built.size() >= 5 && (uint8_t)built[4] == p.type);
	CHECK(built.size() - 5 <= p.fields.size());
	CHECK(p.fields.substr(0, built.size() - 5) == std::string_view(built).substr(5));
}

void fuzz_frontend_reader(const uint8_t *data, size_t size)
{
	int fd = memfd_create("fuzz-api", 0);
	CHECK(fd >= 0);
	CHECK(write(fd, data, size) == (ssize_t)size);
	CHECK(lseek(fd, 0, SEEK_SET) == 0);
	for (;;) {
		GetPacketOut out = {nullptr, 0};
		int r = get_api_packet(fd, &out);
		if (r != GET_PACKET_OK) {
			CHECK(r == GET_PACKET_EOF || r == GET_PACKET_TOO_SMALL || r == GET_PACKET_TOO_LARGE);
			break;
		}
		CHECK(out.length >= 1 && out.length <= API_PACKET_MAX_LENGTH);
		size_t packet_size = API_LENGTH_SIZE + out.length;
		ApiPacketView p;
		CHECK(api_packet_open(out.packet, packet_size, &p) == 0);
		CHECK(p.length == out.length && p.fields.size() == out.length - 1);
		uint16_t version = 0;
		int h = api_parse_hello(p, &version);
		CHECK(h != API_HELLO_OK || (p.length == 9 && version != 0));
		ApiSendMessageView m;
		if (api_parse_send_message(p, &m) == 0) {
			CHECK(6 + m.to_user.size() + m.text.size() <= p.fields.size());
			CHECK(inside(m.to_user, out.packet, packet_size) && inside(m.text, out.packet, packet_size));
		}
		free(out.packet);
	}
	close(fd);
}

void fuzz_library(const uint8_t *data, size_t size)
{
	namespace api = tolvarapi;
	size_t whole = 0;
	const uint8_t *at = data;
	size_t left = size;
	while (api::frame(at, left, api::DEFAULT_MAX_LENGTH, &whole) == api::OK) {
		CHECK(whole >= 5 && whole <= left);
		api::Packet p;
		CHECK(api::open_packet(at, whole, &p) == api::OK);
		size_t n = 0;
		api::Hello hello;
		if (api::parse_hello(p, &hello) == api::OK)
			check_rebuilt(take(api::build_hello(hello.version, &n), n), p);
		api::SendMessage sm;
		if (api::parse_send_message(p, &sm) == api::OK)
			check_rebuilt(take(api::build_send_message(sm.to, sm.kind, sm.text, &n), n), p);
		api::Pass pass;
		if (api::parse_pass(p, &pass) == api::OK)
			check_rebuilt(take(api::build_pass(pass.version, pass.user, &n), n), p);
		api::OnlineUsers ou;
		if (api::parse_online_users(p, &ou) == api::OK) {
			CHECK(inside(ou.entries, at, whole));
			check_rebuilt(take(api::build_online_users(ou.your_id, ou.count, ou.entries, &n), n), p);
			api::UserEntry e;
			for (uint16_t i = 0; i < ou.count; i++) {
				CHECK(api::next_user(&ou.entries, &e) == api::OK);
				CHECK(inside(e.user, at, whole) && inside(e.host, at, whole));
			}
			CHECK(ou.entries.empty());
		}
		api::Message m;
		if (api::parse_message(p, &m) == api::OK) {
			CHECK(inside(m.text, at, whole));
			check_rebuilt(take(api::build_message(m.time, m.from, m.to, m.kind, m.text, &n), n), p);
		}
		api::UserState us;
		if (api::parse_user_state(p, &us) == api::OK && (uint8_t)p.fields[0] <= 1)
			check_rebuilt(take(api::build_user_state(us.online, us.user, &n), n), p);
		api::Error e;
		if (api::parse_error(p, &e) == api::OK)
			check_rebuilt(take(api::build_error(e.code, e.text, &n), n), p);
		api::Motd motd;
		if (api::parse_motd(p, &motd) == api::OK)
			check_rebuilt(take(api::build_motd(motd.text, &n), n), p);
		at += whole;
		left -= whole;
	}
}

// The input as one server packet (its length field made to fit), translated as the frontend
// does and read back with the library.
void fuzz_translation(const uint8_t *data, size_t size)
{
	if (size < LOCAL_PACKET_HEADER_SIZE)
		return;
	std::string buf(reinterpret_cast<const char *>(data), size);
	uint64_t length = size - LOCAL_PACKET_LENGTH_SIZE;
	memcpy(&buf[0], &length, sizeof length);
	const auto *packet = reinterpret_cast<const unsigned char *>(buf.data());
	LocalPacketView lp;
	if (local_packet_open(packet, &lp) < 0)
		return;
	namespace api = tolvarapi;
	size_t n = 0;
	MessageView m;
	if ((lp.type == LOCAL_PACKET_RECEIVE_MESSAGE) && local_parse_message(lp, &m) == 0) {
		std::string out = take(api_build_message(42, 1, m, &n), n);
		api::Packet p;
		api::Message back;
		CHECK(api::open_packet(out.data(), out.size(), &p) == api::OK && api::parse_message(p, &back) == api::OK);
		CHECK(back.time == 42 && back.from == m.from_user && back.text == m.text);
		CHECK(back.to == (m.to_user == "*" ? std::string_view("GLOBAL") : m.to_user));
		CHECK(back.kind == (uint8_t)m.kind);
	}
	OnlineUsersView list;
	if (lp.type == LOCAL_PACKET_ONLINE_USERS && local_parse_online_users(lp, &list) == 0) {
		unsigned char *out = api_build_online_users(list, &n);
		if (out != nullptr) {
			api::Packet p;
			api::OnlineUsers back;
			CHECK(api::open_packet(out, n, &p) == api::OK && api::parse_online_users(p, &back) == api::OK);
			CHECK(back.count == (uint16_t)list.count);
			free(out);
		}
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_INPUT)
		return 0;
	fuzz_frontend_reader(data, size);
	fuzz_library(data, size);
	fuzz_translation(data, size);
	return 0;
}
