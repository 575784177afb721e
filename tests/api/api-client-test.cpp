// The client library for programs: framing in memory and on pipes, and every packet built,
// parsed back, and refused when cut short.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "api/tolvar-api-client.h"

namespace api = tolvarapi;

namespace {

std::string take(unsigned char *p, const size_t &size)
{
	EXPECT_NE(p, nullptr);
	if (p == nullptr)
		return std::string();
	std::string s(reinterpret_cast<char *>(p), size);
	free(p);
	return s;
}

std::string reframe(uint8_t type, const std::string &fields)
{
	uint32_t n = (uint32_t)fields.size() + 1;
	std::string p = {(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n, (char)type};
	return p + fields;
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
	for (size_t n = 0; n < fields.size(); n++) {
		std::string cut = reframe((uint8_t)p[4], fields.substr(0, n));
		EXPECT_EQ(parse(open(cut)), api::MALFORMED) << "cut at " << n;
	}
}

}  // namespace

TEST(ApiClientFraming, FrameFindsWholePacketsOnly)
{
	size_t size = 0;
	std::string hello = take(api::build_hello(1, &size), size);
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

TEST(ApiClientFraming, ReadPacketOnAPipe)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	size_t size = 0;
	std::string motd = take(api::build_motd("welcome\n", &size), size);
	std::string bytes = motd + std::string("\0\0\0\x30\x85", 5) + "cut";
	ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
	close(fds[1]);
	unsigned char *packet = nullptr;
	ASSERT_EQ(api::read_packet(fds[0], api::DEFAULT_MAX_LENGTH, &packet, &size), api::OK);
	EXPECT_EQ(take(packet, size), motd);
	EXPECT_EQ(api::read_packet(fds[0], api::DEFAULT_MAX_LENGTH, &packet, &size), api::END);
	EXPECT_EQ(api::read_packet(fds[0], api::DEFAULT_MAX_LENGTH, &packet, &size), api::END);
	close(fds[0]);

	ASSERT_EQ(pipe(fds), 0);
	ASSERT_EQ(write(fds[1], "\x00\x10\x00\x01", 4), 4);
	EXPECT_EQ(api::read_packet(fds[0], api::MAX_REQUEST_LENGTH, &packet, &size), api::TOO_LARGE);
	close(fds[0]);
	close(fds[1]);
}

TEST(ApiClientPackets, EveryTypeRoundTripsAndRefusesTruncation)
{
	size_t size = 0;
	std::string p;

	p = take(api::build_hello(5, &size), size);
	EXPECT_EQ(p, std::string("\0\0\0\x09\x01TOLVAR\0\x05", 13));
	api::Hello h;
	ASSERT_EQ(api::parse_hello(open(p), &h), api::OK);
	EXPECT_EQ(h.version, 5);
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_hello(v, &h); });
	EXPECT_EQ(api::parse_hello(open(reframe(1, p.substr(5) + "x")), &h), api::MALFORMED) << "a hello is exactly 13 bytes";
	EXPECT_EQ(api::parse_hello(open(reframe(1, std::string("TOLVAx\0\1", 8))), &h), api::MALFORMED);

	EXPECT_EQ(take(api::build_get_online_user(&size), size), std::string("\0\0\0\x01\x02", 5));
	EXPECT_EQ(take(api::build_get_motd(&size), size), std::string("\0\0\0\x01\x04", 5));

	p = take(api::build_send_message("bob", api::KIND_HTML, "<p>x</p>", &size), size);
	EXPECT_EQ(p, std::string("\0\0\0\x12\x03\x03" "bob\x02\0\0\0\x08<p>x</p>", 22));
	api::SendMessage sm;
	ASSERT_EQ(api::parse_send_message(open(p), &sm), api::OK);
	EXPECT_EQ(sm.to, "bob");
	EXPECT_EQ(sm.kind, 2);
	EXPECT_EQ(sm.text, "<p>x</p>");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_send_message(v, &sm); });

	p = take(api::build_pass(1, "alice", &size), size);
	api::Pass pass;
	ASSERT_EQ(api::parse_pass(open(p), &pass), api::OK);
	EXPECT_EQ(pass.version, 1);
	EXPECT_EQ(pass.user, "alice");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_pass(v, &pass); });

	std::string entries = std::string("\0\x07\x03" "bob\x04" "h1h2", 11) + std::string("\x01\x00\x01" "a\x00", 5);
	p = take(api::build_online_users(7, 2, entries, &size), size);
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
	EXPECT_EQ(api::parse_online_users(open(take(api::build_online_users(7, 3, entries, &size), size)), &ou),
		  api::MALFORMED);

	p = take(api::build_message(1700000000, "alice", "GLOBAL", api::KIND_PLAIN, std::string("a\0b", 3), &size),
		 size);
	api::Message m;
	ASSERT_EQ(api::parse_message(open(p), &m), api::OK);
	EXPECT_EQ(m.time, 1700000000u);
	EXPECT_EQ(m.from, "alice");
	EXPECT_EQ(m.to, "GLOBAL");
	EXPECT_EQ(m.kind, 1);
	EXPECT_EQ(m.text, std::string("a\0b", 3));
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_message(v, &m); });

	p = take(api::build_user_state(true, "carol", &size), size);
	api::UserState us;
	ASSERT_EQ(api::parse_user_state(open(p), &us), api::OK);
	EXPECT_TRUE(us.online);
	EXPECT_EQ(us.user, "carol");
	expect_truncations_refused(p, [&](const api::Packet &v) { return api::parse_user_state(v, &us); });

	p = take(api::build_error(api::ERROR_USER_NOT_FOUND, "User x not found", &size), size);
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

TEST(ApiClientPackets, OversizedFieldsAreRefusedWhenBuilding)
{
	size_t size;
	std::string long_name(256, 'n');
	errno = 0;
	EXPECT_EQ(api::build_send_message(long_name, 1, "x", &size), nullptr);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_EQ(api::build_message(0, "a", long_name, 1, "x", &size), nullptr);
	EXPECT_EQ(api::send_message(-1, long_name, 1, "x"), api::MALFORMED);
	unsigned char *p = api::build_send_message(std::string(255, 'n'), 1, "", &size);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(size, 5u + 1 + 255 + 1 + 4);
	free(p);
}

TEST(ApiClientConversation, HandshakeSendsHelloAndWantsPass)
{
	int to_session[2], from_session[2];
	ASSERT_EQ(pipe(to_session), 0);
	ASSERT_EQ(pipe(from_session), 0);
	size_t size;
	std::string pass = take(api::build_pass(1, "bot", &size), size);
	ASSERT_EQ(write(from_session[1], pass.data(), pass.size()), (ssize_t)pass.size());
	unsigned char *packet = nullptr;
	api::Pass got;
	ASSERT_EQ(api::handshake(from_session[0], to_session[1], 3, &packet, &got), api::OK);
	EXPECT_EQ(got.user, "bot");
	free(packet);
	char hello[13];
	ASSERT_EQ(read(to_session[0], hello, sizeof hello), 13);
	EXPECT_EQ(std::string(hello, 13), std::string("\0\0\0\x09\x01TOLVAR\0\x03", 13));

	// An answer that is no PASS.
	std::string err = take(api::build_error(1, "x", &size), size);
	ASSERT_EQ(write(from_session[1], err.data(), err.size()), (ssize_t)err.size());
	EXPECT_EQ(api::handshake(from_session[0], to_session[1], 1, &packet, &got), api::MALFORMED);
	close(from_session[1]);
	EXPECT_EQ(api::handshake(from_session[0], to_session[1], 1, &packet, &got), api::END);
	for (int fd : {to_session[0], to_session[1], from_session[0]})
		close(fd);
}
