// The frontend's side of the API wire format: the packet reader on real pipes, the
// handshake and send-message parsers, and the exact bytes of every packet it writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <fstream>
#include <vector>

#include "api/api-protocol.h"
#include "api/tolvar-api-client.h"
#include "common/holders.h"

namespace {

std::string hex(std::string_view s)
{
	static const char digits[] = "0123456789abcdef";
	std::string h;
	for (unsigned char c : s) {
		h += digits[c >> 4];
		h += digits[c & 15];
	}
	return h;
}

std::string unhex(const std::string &h)
{
	std::string s;
	for (size_t i = 0; i + 1 < h.size(); i += 2)
		s += (char)strtol(h.substr(i, 2).c_str(), nullptr, 16);
	return s;
}

std::string take(unsigned char *p, const size_t &size)
{
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

// Feeds bytes into a pipe from a thread, closes it, and reads one packet from the other end.
int read_from(const std::string &bytes, GetPacketOut *out)
{
	int fds[2];
	EXPECT_EQ(pipe(fds), 0);
	std::thread writer([&] {
		size_t done = 0;
		while (done < bytes.size()) {
			ssize_t w = write(fds[1], bytes.data() + done, bytes.size() - done);
			if (w <= 0)
				break;
			done += (size_t)w;
		}
		close(fds[1]);
	});
	int r = get_api_packet(fds[0], out);
	close(fds[0]);
	writer.join();
	return r;
}

std::string frame(uint8_t type, const std::string &fields)
{
	std::string p(4, '\0');
	uint32_t n = (uint32_t)fields.size() + 1;
	p[0] = (char)(n >> 24);
	p[1] = (char)(n >> 16);
	p[2] = (char)(n >> 8);
	p[3] = (char)n;
	p += (char)type;
	return p + fields;
}

ApiPacketView open_view(const std::string &p)
{
	ApiPacketView v{};
	EXPECT_EQ(api_packet_open(reinterpret_cast<const unsigned char *>(p.data()), p.size(), &v), 0);
	return v;
}

}  // namespace

TEST(GetApiPacket, ReadsWholePacketsAndReportsEveryFramingFault)
{
	GetPacketOut out{};
	std::string hello = unhex("0000000901544f4c5641520001");
	ASSERT_EQ(read_from(hello, &out), GET_PACKET_OK);
	EXPECT_EQ(out.length, 9u);
	EXPECT_EQ(hex(take(out.packet, 13)), hex(hello));

	EXPECT_EQ(read_from("", &out), GET_PACKET_EOF);			// between packets
	EXPECT_EQ(read_from(unhex("000000"), &out), GET_PACKET_EOF);		// inside the length
	EXPECT_EQ(read_from(unhex("0000000901544f"), &out), GET_PACKET_EOF);	// inside the body
	EXPECT_EQ(read_from(unhex("00000000"), &out), GET_PACKET_TOO_SMALL);
	EXPECT_EQ(out.length, 0u);
	EXPECT_EQ(read_from(unhex("00100001"), &out), GET_PACKET_TOO_LARGE);
	EXPECT_EQ(out.length, 1048577u);
	EXPECT_EQ(read_from(unhex("ffffffff"), &out), GET_PACKET_TOO_LARGE);
	EXPECT_EQ(out.length, 0xffffffffu);

	// Exactly 1 MiB is accepted.
	std::string big = frame(3, std::string(1048575, 'x'));
	ASSERT_EQ(read_from(big, &out), GET_PACKET_OK);
	EXPECT_EQ(out.length, 1048576u);
	free(out.packet);

	int bad = open("/dev/null", O_WRONLY);
	EXPECT_EQ(get_api_packet(bad, &out), GET_PACKET_READ_ERROR);
	close(bad);
}

TEST(ApiParse, HandshakeRulesInTheirOrder)
{
	uint16_t v = 0;
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000901544f4c5641520001")), &v), API_HELLO_OK);
	EXPECT_EQ(v, 1);
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000901544f4c5641520005")), &v), API_HELLO_OK);
	EXPECT_EQ(v, 5);
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000901544f4c5641520000")), &v), API_HELLO_BAD_VERSION);
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000a01544f4c564152000100")), &v), API_HELLO_BAD_LENGTH);
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000101")), &v), API_HELLO_BAD_LENGTH);
	EXPECT_EQ(api_parse_hello(open_view(unhex("0000000901746f6c7661720001")), &v), API_HELLO_BAD_MAGIC);
}

TEST(ApiParse, SendMessageFieldsNeverRunPastThePacket)
{
	ApiSendMessageView m;
	// to "bob", kind 1, text "hi", then two ignored bytes
	std::string ok = frame(3, unhex("03626f6201") + unhex("00000002") + "hi" + "zz");
	ASSERT_EQ(api_parse_send_message(open_view(ok), &m), 0);
	EXPECT_EQ(m.to_user, "bob");
	EXPECT_EQ(m.kind, 1);
	EXPECT_EQ(m.text, "hi");

	EXPECT_LT(api_parse_send_message(open_view(frame(3, "")), &m), 0);			// L = 1
	EXPECT_LT(api_parse_send_message(open_view(frame(3, unhex("0362"))), &m), 0);		// name cut
	EXPECT_LT(api_parse_send_message(open_view(frame(3, unhex("03626f62"))), &m), 0);	// no kind
	EXPECT_LT(api_parse_send_message(open_view(frame(3, unhex("03626f620100"))), &m), 0);	// length cut
	EXPECT_LT(api_parse_send_message(open_view(frame(3, unhex("03626f6201000000036869"))), &m), 0);
	EXPECT_LT(api_parse_send_message(open_view(frame(3, unhex("03626f6201ffffffff"))), &m), 0);

	// Every truncation of a good packet is refused, never read past.
	std::string fields = ok.substr(5, ok.size() - 7);
	for (size_t n = 0; n < fields.size(); n++)
		EXPECT_LT(api_parse_send_message(open_view(frame(3, fields.substr(0, n))), &m), 0) << n;
}

TEST(ApiBuild, PacketsHaveTheirExactLayouts)
{
	size_t size = 0;
	EXPECT_EQ(hex(take(api_build_pass(1, "alice", &size), size)), "0000000f80544f4c564152000105616c696365");
	EXPECT_EQ(hex(take(api_build_error(6, "User bob not found", &size), size)),
		  "0000001b840000000600000012" + hex("User bob not found"));
	EXPECT_EQ(hex(take(api_build_motd("hi\n", &size), size)), "000000088500000003" + hex("hi\n"));
	EXPECT_EQ(hex(take(api_build_user_state(true, "bob", &size), size)), "0000000683010362" "6f62");
	EXPECT_EQ(hex(take(api_build_user_state(false, "bob", &size), size)), "0000000683000362" "6f62");

	MessageView m{};
	m.from_user = "alice";
	m.to_user = "*";
	m.kind = 9;
	m.text = "hey";
	std::string want = "0000001e" "82" "000000006553f100" "05" + hex("alice") + "06" + hex("GLOBAL") + "09" "00000003" +
			   hex("hey");
	EXPECT_EQ(hex(take(api_build_message(0x6553f100, 1, m, &size), size)), want);
	m.to_user = "bob";
	m.kind = 1;
	EXPECT_EQ(hex(take(api_build_message(1, 1, m, &size), size)),
		  "0000001b" "82" "0000000000000001" "05" + hex("alice") + "03" + hex("bob") + "01" "00000003" + hex("hey"));
}

TEST(ApiBuild, OnlineUsersFromALocalList)
{
	size_t lsize;
	MallocPtr<unsigned char> local(local_packet_build_online_users(70000, 2, &lsize));
	ASSERT_NE(local, nullptr);
	local_packet_set_user_info(local.get(), 0, 7, "bob", "192.0.2.9");
	local_packet_set_user_info(local.get(), 1, 65541, "alice", "h");
	LocalPacketView lv;
	OnlineUsersView list;
	ASSERT_EQ(local_packet_open(local.get(), &lv), 0);
	ASSERT_EQ(local_parse_online_users(lv, &list), 0);
	size_t size;
	std::string p = take(api_build_online_users(list, &size), size);
	// your_id 70000 and id 65541 keep their low 16 bits.
	EXPECT_EQ(hex(p), "0000001f" "81" "1170" "0002" "0007" "03" + hex("bob") + "09" + hex("192.0.2.9") + "0005" "05" +
				  hex("alice") + "01" + hex("h"));

	// The library reads back what the frontend wrote.
	tolvarapi::Packet tp;
	tolvarapi::OnlineUsers ou;
	tolvarapi::UserEntry e;
	ASSERT_EQ(tolvarapi::open_packet(p.data(), p.size(), &tp), tolvarapi::OK);
	ASSERT_EQ(tolvarapi::parse_online_users(tp, &ou), tolvarapi::OK);
	EXPECT_EQ(ou.your_id, 0x1170);
	ASSERT_EQ(ou.count, 2);
	ASSERT_EQ(tolvarapi::next_user(&ou.entries, &e), tolvarapi::OK);
	EXPECT_EQ(e.user, "bob");
	EXPECT_EQ(e.host, "192.0.2.9");
	ASSERT_EQ(tolvarapi::next_user(&ou.entries, &e), tolvarapi::OK);
	EXPECT_EQ(e.id, 5);
	EXPECT_TRUE(ou.entries.empty());

	// An empty list is the nine fixed bytes.
	MallocPtr<unsigned char> none(local_packet_build_online_users(4, 0, &lsize));
	ASSERT_EQ(local_packet_open(none.get(), &lv), 0);
	ASSERT_EQ(local_parse_online_users(lv, &list), 0);
	EXPECT_EQ(hex(take(api_build_online_users(list, &size), size)), "0000000581" "0004" "0000");
}

// The worked example of docs/api.md: every packet is well formed, and those the frontend
// writes are exactly what it builds.
TEST(ApiDocs, WorkedExampleMatchesTheCode)
{
	std::ifstream f(std::string(TOLVAR_SOURCE_DIR) + "/docs/api.md");
	ASSERT_TRUE(f.good());
	std::string line;
	std::vector<std::string> packets;
	bool in_example = false;
	while (std::getline(f, line)) {
		if (line.rfind("## ", 0) == 0)
			in_example = line == "## A worked example";
		if (!in_example || line.rfind("      ", 0) != 0)
			continue;
		std::string h;
		for (char c : line)
			if (c != ' ')
				h += c;
		packets.push_back(unhex(h));
	}
	ASSERT_EQ(packets.size(), 12u);
	for (const auto &p : packets) {
		tolvarapi::Packet v;
		EXPECT_EQ(tolvarapi::open_packet(p.data(), p.size(), &v), tolvarapi::OK) << hex(p);
	}
	size_t size = 0;
	EXPECT_EQ(hex(take(api_build_pass(1, "bot", &size), size)), hex(packets[1]));
	EXPECT_EQ(hex(take(api_build_motd("Hi\n", &size), size)), hex(packets[2]));
	EXPECT_EQ(hex(take(api_build_user_state(true, "bot", &size), size)), hex(packets[3]));
	EXPECT_EQ(hex(take(api_build_error(6, "User alice not found", &size), size)), hex(packets[7]));
	MessageView m{};
	m.from_user = "alice";
	m.to_user = "bot";
	m.kind = 1;
	m.text = "hey";
	EXPECT_EQ(hex(take(api_build_message(1705570000, 1, m, &size), size)), hex(packets[9]));
	GetPacketOut out{};
	ASSERT_EQ(read_from(packets[6], &out), GET_PACKET_OK);
	ApiPacketView v;
	ASSERT_EQ(api_packet_open(out.packet, 4 + out.length, &v), 0);
	ApiSendMessageView sm;
	ASSERT_EQ(api_parse_send_message(v, &sm), 0);
	EXPECT_EQ(sm.to_user, "alice");
	EXPECT_EQ(sm.text, "hi");
	free(out.packet);
	uint16_t version;
	EXPECT_EQ(api_parse_hello(open_view(packets[0]), &version), API_HELLO_OK);
}
