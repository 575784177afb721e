// Fuzzes the API codec: the input read as the frontend reads standard input (get_api_packet on
// a descriptor) and split in memory as a program splits what it reads (frame), then every
// packet through every parser, checking that nothing was read outside the input and that what
// was parsed builds back to the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/api-frontend.h"
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

// Every parser on one whole packet: what it parsed lies inside the packet and builds back to
// the start of its fields.
void check_packet(const unsigned char *at, size_t whole)
{
	namespace api = tolvarapi;
	api::Packet p;
	CHECK(api::open_packet(at, whole, &p) == api::OK);
	CHECK(p.length == whole - 4 && p.fields.size() == whole - 5);
	size_t n = 0;
	api::Hello hello{};
	int h = api::parse_hello(p, &hello);
	CHECK(h != api::OK || (p.length == 9 && hello.version != 0));
	if (h == api::OK)
		check_rebuilt(take(api::build_hello(hello.version, &n), n), p);
	api::SendMessage sm;
	if (api::parse_send_message(p, &sm) == api::OK) {
		CHECK(6 + sm.to.size() + sm.text.size() <= p.fields.size());
		CHECK(inside(sm.to, at, whole) && inside(sm.text, at, whole));
		check_rebuilt(take(api::build_send_message(sm.to, sm.kind, sm.text, &n), n), p);
	}
	api::Pass pass;
	if (api::parse_pass(p, &pass) == api::OK)
		check_rebuilt(take(api::build_pass(pass.version, pass.user, &n), n), p);
	api::OnlineUsers ou;
	if (api::parse_online_users(p, &ou) == api::OK) {
		CHECK(inside(ou.entries, at, whole));
		std::vector<api::UserEntry> entries(ou.count);
		for (api::UserEntry &e : entries) {
			CHECK(api::next_user(&ou.entries, &e) == api::OK);
			CHECK(inside(e.user, at, whole) && inside(e.host, at, whole));
		}
		CHECK(ou.entries.empty());
		check_rebuilt(take(api::build_online_users(ou.your_id, entries.data(), entries.size(), &n), n), p);
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
}

// The input read as the frontend reads standard input.
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
		CHECK(out.length >= 1 && out.length <= TOLVAR_API_MAX_REQUEST_LENGTH);
		check_packet(out.packet, 4 + (size_t)out.length);
		free(out.packet);
	}
	close(fd);
}

// The input split into packets in memory, as a program does with what its session sends.
void fuzz_frames(const uint8_t *data, size_t size)
{
	size_t whole = 0;
	while (tolvarapi::frame(data, size, tolvarapi::DEFAULT_MAX_LENGTH, &whole) == tolvarapi::OK) {
		CHECK(whole >= 5 && whole <= size);
		check_packet(data, whole);
		data += whole;
		size -= whole;
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_INPUT)
		return 0;
	fuzz_frontend_reader(data, size);
	fuzz_frames(data, size);
	return 0;
}
