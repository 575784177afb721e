// Feeds arbitrary bytes to the local packet reader (in arbitrary pieces, over a real socket)
// and to every parser, and checks that each view lies inside the packet it came from.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "protocol/local-protocol.h"

namespace {

void check_inside(const unsigned char *packet, size_t size, std::string_view v)
{
	if (v.empty())
		return;
	auto *b = reinterpret_cast<const unsigned char *>(v.data());
	if (b < packet || b + v.size() > packet + size)
		abort();
}

void parse_all(const unsigned char *packet)
{
	LocalPacketView p;
	if (local_packet_open(packet, &p) < 0)
		return;
	size_t size = (size_t)p.length + LOCAL_PACKET_LENGTH_SIZE;
	check_inside(packet, size, p.payload);
	LoginView l;
	if (local_parse_login(p, &l) == 0) {
		check_inside(packet, size, l.user);
		check_inside(packet, size, l.encoding);
		if (l.user.size() > 31 || l.host.size() > 127)
			abort();
	}
	MessageView m;
	if (local_parse_message(p, &m) == 0) {
		check_inside(packet, size, m.text);
		if (m.text_offset + m.text.size() > size)
			abort();
	}
	std::string_view name;
	if (local_parse_user_name(p, &name) == 0)
		check_inside(packet, size, name);
	OnlineUsersView list;
	if (local_parse_online_users(p, &list) == 0) {
		for (uint32_t i = 0; i < list.count; i++) {
			UserInfoView e;
			if (local_online_users_entry(list, i, &e) == 0) {
				check_inside(packet, size, e.user);
				check_inside(packet, size, e.host);
			}
		}
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > 65536)
		return 0;
	// The first byte picks the piece size in which the stream arrives.
	size_t piece = 1 + data[0] % 64;
	data++;
	size--;
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) < 0)
		return 0;
	LocalPacketReader reader;
	local_packet_reader_init(&reader);
	size_t sent = 0;
	bool shut = false;
	for (;;) {
		// One call may read the length field and then the body: it must find a byte of the
		// body waiting (or the end), as the server's readiness wait and time-out make sure.
		size_t want = reader.buffer == nullptr ? LOCAL_PACKET_LENGTH_SIZE + 1 : 1;
		int waiting = 0;
		while (!shut && (ioctl(sv[1], FIONREAD, &waiting) < 0 || (size_t)waiting < want)) {
			if (sent == size) {
				shutdown(sv[0], SHUT_WR);	// the reader must see the end, never wait for more
				shut = true;
				break;
			}
			size_t n = size - sent < piece ? size - sent : piece;
			if (write(sv[0], data + sent, n) != (ssize_t)n)
				abort();
			sent += n;
		}
		GetPacketOut out = {};
		int rc = get_local_packet(sv[1], &out, &reader);
		if (rc == GET_PACKET_OK) {
			parse_all(out.packet);
			free(out.packet);
			continue;
		}
		if (rc == GET_PACKET_INCOMPLETE)
			continue;
		if (reader.buffer != nullptr)
			abort();	// every end leaves the reader idle
		break;
	}
	local_packet_reader_reset(&reader);
	close(sv[0]);
	close(sv[1]);
	return 0;
}
