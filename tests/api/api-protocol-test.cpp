// The API codec that the frontend and programs share: the frontend's packet reader on real
// pipes, framing in memory, every packet built, parsed back and refused when cut short, the
// handshake rules, and the worked example of docs/api.md byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/api-frontend.h"
#include "api/tolvar-api-client.h"

namespace api = tolvarapi;

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
	EXPECT_NE(p, nullptr);
	if (p == nullptr)
		return std::string();
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

std::string packet(uint8_t type, const std::string &fields)
{
	size_t size = 0;
	return take(api::build_packet(type, fields, &size), size);
}

api::Packet open(const std::string &p)
{
	api::Packet v{};
	EXPECT_EQ(api::open_packet(p.data(), p.size(), &v), api::OK);
	return v;
}

// Every packet cut short (and re-framed) must be refused by its parser.
void expect_truncations_refused(const std::string &p, const std::function<int(const api::Packet &)> &parse)
{
	std::string fields = p.substr(5);
	for (size_t n = 0; n < fields.size(); n++)
		EXPECT_EQ(parse(open(packet((uint8_t)p[4], fields.substr(0, n)))), api::MALFORMED) << "cut at " << n;
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

}  // namespace

TEST(ApiFraming, GetApiPacketReadsWholePacketsAndReportsEveryFault)
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
	ASSERT_EQ(read_from(packet(3, std::string(1048575, 'x')), &out), GET_PACKET_OK);
	EXPECT_EQ(out.length, 1048576u);
	free(out.packet);

	int bad = open("/dev/null", O_WRONLY);
	EXPECT_EQ(get_api_packet(bad, &out), GET_PACKET_READ_ERROR);
	close(bad);
}

TEST(ApiFraming, FrameFindsWholePacketsOnly)
{
	std::string hello = unhex("0000000901544f4c5641520001");
	size_t whole = 0;
	for (size_t n = 0; n < hello.size(); n++)
		EXPECT_EQ(api::frame(hello.data(), n, api::DEFAULT_MAX_LENGTH, &whole), api::NEED_MORE) << n;
	std::string two = hello + hello;
	ASSERT_EQ(api::frame(two.data(), two.size(), api::DEFAULT_MAX_LENGTH, &whole), api::OK);
	EXPECT_EQ(whole, 13u);
	EXPECT_EQ(api::frame("\0\0\0\0", 4, api::DEFAULT_MAX_LENGTH, &whole), api::TOO_SMALL);
	EXPECT_EQ(api::frame("\0\0\0\x0b", 4, 10, &whole), api::TOO_LARGE);
	EXPECT_EQ(api::frame("\xff\xff\xff\xff", 4, api::DEFAULT_MAX_LENGTH, &whole), api::TOO_LARGE);

	api::Packet p;
	EXPECT_EQ(api::open_packet(two.data(), two.size(), &p), api::MALFORMED);	// two packets
	EXPECT_EQ(api::open_packet(hello.data(), 12, &p), api::MALFORMED);
	EXPECT_EQ(api::open_packet("\0\0\0\0", 4, &p), api::MALFORMED);
}

TEST(ApiPackets, HandshakeRulesInTheirOrder)
{
	api::Hello h{};
	EXPECT_EQ(api::parse_hello(open(unhex("0000000901544f4c5641520001")), &h), api::OK);
	EXPECT_EQ(h.version, 1);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000901544f4c5641520005")), &h), api::OK);
	EXPECT_EQ(h.version, 5);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000901544f4c5641520000")), &h), api::HELLO_BAD_VERSION);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000a01544f4c564152000100")), &h), api::HELLO_BAD_LENGTH);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000101")), &h), api::HELLO_BAD_LENGTH);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000901746f6c7661720001")), &h), api::HELLO_BAD_MAGIC);
	EXPECT_EQ(api::parse_hello(open(unhex("0000000904544f4c5641520001")), &h), api::MALFORMED);
}

TEST(ApiPackets, EveryTypeRoundTripsAndRefusesTruncation)
{
	size_t size = 0;
	std::string p;

	EXPECT_EQ(take(api::build_get_online_user(&size), size), std::string("\0\0\0\x01\x02", 5));
	EXPECT_EQ(take(api::build_get_motd(&size), size), std::string("\0\0\0\x01\x04", 5));

	p = take(api::build_send_message("bob", TOLVAR_API_KIND_HTML, "<p>x</p>", &size), size);
	EXPECT_EQ(p, std::string("\0\0\0\x12\x03\x03" "bob\x02\0\0\0\x08<p>x</p>", 22));
	api::SendMessage sm;
	ASSERT_EQ(api::parse_send_message(open(p), &sm), api::OK);
	EXPECT_EQ(sm.to, "bob");
	EXPECT_EQ(sm.kind, 2);
	EXPECT_EQ(sm.text, "<p>x</p>");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_send_message(v, &sm); });
	std::string trailing = packet(3, p.substr(5) + "zz");	// bytes after the text are ignored
	ASSERT_EQ(api::parse_send_message(open(trailing), &sm), api::OK);
	EXPECT_EQ(sm.text, "<p>x</p>");
	EXPECT_EQ(api::parse_send_message(open(packet(3, unhex("03626f6201ffffffff"))), &sm), api::MALFORMED);

	p = take(api::build_pass(1, "alice", &size), size);
	api::Pass pass;
	ASSERT_EQ(api::parse_pass(open(p), &pass), api::OK);
	EXPECT_EQ(pass.version, 1);
	EXPECT_EQ(pass.user, "alice");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_pass(v, &pass); });
	EXPECT_EQ(api::parse_pass(open(take(api::build_pass(0, "alice", &size), size)), &pass), api::MALFORMED);

	api::UserEntry entries[] = {{7, "bob", "h1h2"}, {256, "a", ""}};
	p = take(api::build_online_users(7, entries, 2, &size), size);
	EXPECT_EQ(hex(p), "00000015" "81" "0007" "0002" "0007" "03" + hex("bob") + "04" + hex("h1h2") + "0100" "01" +
				  hex("a") + "00");
	api::OnlineUsers ou;
	ASSERT_EQ(api::parse_online_users(open(p), &ou), api::OK);
	EXPECT_EQ(ou.your_id, 7);
	EXPECT_EQ(ou.count, 2);
	api::UserEntry e;
	ASSERT_EQ(api::next_user(&ou.entries, &e), api::OK);
	EXPECT_EQ(e.id, 7);
	EXPECT_EQ(e.user, "bob");
	EXPECT_EQ(e.host, "h1h2");
	ASSERT_EQ(api::next_user(&ou.entries, &e), api::OK);
	EXPECT_EQ(e.id, 256);
	EXPECT_EQ(e.user, "a");
	EXPECT_EQ(e.host, "");
	EXPECT_EQ(api::next_user(&ou.entries, &e), api::MALFORMED);
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_online_users(v, &ou); });
	// A count larger than the entries that follow.
	std::string three = p;
	three[8] = 3;
	EXPECT_EQ(api::parse_online_users(open(three), &ou), api::MALFORMED);
	EXPECT_EQ(hex(take(api::build_online_users(4, nullptr, 0, &size), size)), "0000000581" "0004" "0000");

	p = take(api::build_message(1700000000, "alice", "GLOBAL", TOLVAR_API_KIND_PLAIN, std::string("a\0b", 3), &size),
		 size);
	api::Message m;
	ASSERT_EQ(api::parse_message(open(p), &m), api::OK);
	EXPECT_EQ(m.time, 1700000000u);
	EXPECT_EQ(m.from, "alice");
	EXPECT_EQ(m.to, "GLOBAL");
	EXPECT_EQ(m.kind, 1);
	EXPECT_EQ(m.text, std::string("a\0b", 3));
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_message(v, &m); });

	p = take(api::build_user_state(false, "carol", &size), size);
	api::UserState us;
	ASSERT_EQ(api::parse_user_state(open(p), &us), api::OK);
	EXPECT_FALSE(us.online);
	EXPECT_EQ(us.user, "carol");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_user_state(v, &us); });

	p = take(api::build_error(TOLVAR_API_ERROR_USER_NOT_FOUND, "User x not found", &size), size);
	api::Error err;
	ASSERT_EQ(api::parse_error(open(p), &err), api::OK);
	EXPECT_EQ(err.code, 6u);
	EXPECT_EQ(err.text, "User x not found");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_error(v, &err); });

	p = take(api::build_motd("hello", &size), size);
	api::Motd motd;
	ASSERT_EQ(api::parse_motd(open(p), &motd), api::OK);
	EXPECT_EQ(motd.text, "hello");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_motd(v, &motd); });

	// A parser refuses a packet of another type.
	EXPECT_EQ(api::parse_error(open(p), &err), api::MALFORMED);
}

TEST(ApiPackets, OversizedFieldsAreRefusedWhenBuilding)
{
	size_t size;
	std::string long_name(256, 'n');
	errno = 0;
	EXPECT_EQ(api::build_send_message(long_name, 1, "x", &size), nullptr);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_EQ(api::build_message(0, "a", long_name, 1, "x", &size), nullptr);
	EXPECT_EQ(api::build_user_state(true, long_name, &size), nullptr);
	api::UserEntry entry = {1, "a", long_name};
	EXPECT_EQ(api::build_online_users(1, &entry, 1, &size), nullptr);
	EXPECT_EQ(api::build_online_users(1, &entry, 65536, &size), nullptr);
	EXPECT_EQ(api::send_message(-1, long_name, 1, "x"), api::MALFORMED);
	unsigned char *p = api::build_send_message(std::string(255, 'n'), 1, "", &size);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(size, 5u + 1 + 255 + 1 + 4);
	free(p);
}

TEST(ApiConversation, HandshakeSendsHelloAndWantsPass)
{
	int to_session[2], from_session[2];
	ASSERT_EQ(pipe(to_session), 0);
	ASSERT_EQ(pipe(from_session), 0);
	size_t size;
	std::string pass = take(api::build_pass(1, "bot", &size), size);
	ASSERT_EQ(write(from_session[1], pass.data(), pass.size()), (ssize_t)pass.size());
	unsigned char *answer = nullptr;
	api::Pass got;
	ASSERT_EQ(api::handshake(from_session[0], to_session[1], 3, &answer, &got), api::OK);
	EXPECT_EQ(got.user, "bot");
	free(answer);
	char hello[13];
	ASSERT_EQ(read(to_session[0], hello, sizeof hello), 13);
	EXPECT_EQ(std::string(hello, 13), std::string("\0\0\0\x09\x01TOLVAR\0\x03", 13));

	// An answer that is no PASS.
	std::string err = take(api::build_error(1, "x", &size), size);
	ASSERT_EQ(write(from_session[1], err.data(), err.size()), (ssize_t)err.size());
	EXPECT_EQ(api::handshake(from_session[0], to_session[1], 1, &answer, &got), api::MALFORMED);
	close(from_session[1]);
	EXPECT_EQ(api::handshake(from_session[0], to_session[1], 1, &answer, &got), api::END);
	for (int fd : {to_session[0], to_session[1], from_session[0]})
		close(fd);
}

// The worked example of docs/api.md: every packet in it is what the codec builds from the
// values the text gives.
// The packets, in hex lines, of one section of docs/api.md.
std::vector<std::string> doc_packets(const std::string &section)
{
	std::ifstream f(std::string(TOLVAR_SOURCE_DIR) + "/docs/api.md");
	EXPECT_TRUE(f.good());
	std::string line;
	std::vector<std::string> packets;
	bool in_example = false;
	while (std::getline(f, line)) {
		if (line.rfind("## ", 0) == 0)
			in_example = line == section;
		if (!in_example || line.rfind("      ", 0) != 0)
			continue;
		std::string h;
		for (char c : line)
			if (c != ' ')
				h += c;
		packets.push_back(unhex(h));
	}
	return packets;
}

TEST(ApiDocs, WorkedExampleMatchesTheCode)
{
	std::vector<std::string> packets = doc_packets("## A worked example");
	ASSERT_EQ(packets.size(), 12u);
	size_t size = 0;
	api::UserEntry bot = {5, "bot", "192.0.2.7"};
	std::string built[] = {
		take(api::build_hello(1, &size), size),
		take(api::build_pass(1, "bot", &size), size),
		take(api::build_motd("Hi\n", &size), size),
		take(api::build_user_state(true, "bot", &size), size),
		take(api::build_get_online_user(&size), size),
		take(api::build_online_users(5, &bot, 1, &size), size),
		take(api::build_send_message("alice", TOLVAR_API_KIND_PLAIN, "hi", &size), size),
		take(api::build_error(TOLVAR_API_ERROR_USER_NOT_FOUND, "User alice not found", &size), size),
		take(api::build_user_state(true, "alice", &size), size),
		take(api::build_message(1705570000, "alice", "bot", TOLVAR_API_KIND_PLAIN, "hey", &size), size),
		take(api::build_send_message("alice", TOLVAR_API_KIND_PLAIN, "hey yourself", &size), size),
		take(api::build_message(1705570001, "bot", "alice", TOLVAR_API_KIND_PLAIN, "hey yourself", &size), size),
	};
	for (size_t i = 0; i < packets.size(); i++)
		EXPECT_EQ(hex(packets[i]), hex(built[i])) << "packet " << i;
}

TEST(ApiDocs, WorkedExampleOfHistoryMatchesTheCode)
{
	std::vector<std::string> packets = doc_packets("## A worked example of history");
	ASSERT_EQ(packets.size(), 6u);
	size_t size = 0;
	std::string built[] = {
		take(api::build_hello(2, &size), size),
		take(api::build_pass(2, "bot", &size), size),
		take(api::build_get_history(2, &size), size),
		take(api::build_history_message(1705570000, "alice", "GLOBAL", TOLVAR_API_KIND_PLAIN, "hi all", &size), size),
		take(api::build_history_message(1705570042, "carol", "*", TOLVAR_API_KIND_PLAIN, "hello", &size), size),
		take(api::build_history_end(2, &size), size),
	};
	for (size_t i = 0; i < packets.size(); i++)
		EXPECT_EQ(hex(packets[i]), hex(built[i])) << "packet " << i;
	// And they parse back to the values the text gives.
	api::Packet p;
	api::GetHistory ask;
	ASSERT_EQ(api::open_packet(packets[2].data(), packets[2].size(), &p), api::OK);
	ASSERT_EQ(api::parse_get_history(p, &ask), api::OK);
	EXPECT_EQ(ask.max, 2);
	api::Message m;
	ASSERT_EQ(api::open_packet(packets[4].data(), packets[4].size(), &p), api::OK);
	ASSERT_EQ(api::parse_history_message(p, &m), api::OK);
	EXPECT_EQ(m.time, 1705570042u);
	EXPECT_EQ(m.to, "*");
	EXPECT_EQ(api::parse_message(p, &m), api::MALFORMED);	// not a live message
	api::HistoryEnd end;
	ASSERT_EQ(api::open_packet(packets[5].data(), packets[5].size(), &p), api::OK);
	ASSERT_EQ(api::parse_history_end(p, &end), api::OK);
	EXPECT_EQ(end.count, 2);
	// A request of length 2 holds no count.
	std::string short_ask("\0\0\0\x02\x05\x00", 6);
	ASSERT_EQ(api::open_packet(short_ask.data(), short_ask.size(), &p), api::OK);
	EXPECT_EQ(api::parse_get_history(p, &ask), api::MALFORMED);
}
