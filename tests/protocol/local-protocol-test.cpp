// The local protocol: exact wire sizes, the resumable reader, and the bounds-checked parsers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/local-protocol.h"

namespace {

struct SocketPair {
	int a = -1, b = -1;
	SocketPair()
	{
		int sv[2];
		EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
		a = sv[0];
		b = sv[1];
	}
	~SocketPair()
	{
		if (a >= 0)
			close(a);
		if (b >= 0)
			close(b);
	}
	void send(const void *p, size_t n) { ASSERT_EQ(write(a, p, n), (ssize_t)n); }
	void send(const std::string &s) { send(s.data(), s.size()); }
	void close_sender()
	{
		close(a);
		a = -1;
	}
};

uint64_t length_of(const unsigned char *p)
{
	uint64_t n;
	memcpy(&n, p, 8);
	return n;
}

int32_t type_of(const unsigned char *p)
{
	int32_t t;
	memcpy(&t, p + 8, 4);
	return t;
}

std::string as_string(const unsigned char *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

// A raw packet whose length field says length, with length bytes of body.
std::string raw_packet(uint64_t length, int32_t type, const std::string &payload)
{
	std::string p(8 + length, '\0');
	memcpy(&p[0], &length, 8);
	if (length >= 4)
		memcpy(&p[8], &type, 4);
	memcpy(&p[12], payload.data(), payload.size() < length - 4 ? payload.size() : length - 4);
	return p;
}

}  // namespace

TEST(LocalPacketBuild, ExactWireSizes)
{
	size_t size;
	unsigned char *p = local_packet_build_get_online_users(&size);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(size, 16u);
	EXPECT_EQ(length_of(p), 8u);
	EXPECT_EQ(type_of(p), LOCAL_PACKET_GET_ONLINE_USERS);
	free(p);

	p = local_packet_build_login("alice", "192.0.2.7", "UTF-8", &size);
	EXPECT_EQ(length_of(p), 174u);
	EXPECT_EQ(size, 182u);
	EXPECT_EQ(as_string(p + 12, 6), std::string("alice\0", 6));
	EXPECT_EQ(as_string(p + 44, 10), std::string("192.0.2.7\0", 10));
	EXPECT_EQ(as_string(p + 172, 6), std::string("UTF-8\0", 6));
	free(p);
	p = local_packet_build_login("alice", "h", "", &size);
	EXPECT_EQ(length_of(p), 169u);
	EXPECT_EQ(size, 177u);
	free(p);
	// The fixed fields carry at most 31 and 127 bytes and always a NUL.
	p = local_packet_build_login(std::string(40, 'u'), std::string(200, 'h'), "", &size);
	EXPECT_EQ(p[12 + 31], 0);
	EXPECT_EQ(p[12 + 30], 'u');
	EXPECT_EQ(p[44 + 127], 0);
	EXPECT_EQ(p[44 + 126], 'h');
	free(p);

	MessageRecord *r = message_record_new(10);
	ASSERT_NE(r, nullptr);
	memcpy(message_record_text(r), "0123456789", 10);
	strcpy(r->to_user, "GLOBAL");
	r->kind = MESSAGE_KIND_PLAIN;
	p = local_packet_build_message(LOCAL_PACKET_POST_MESSAGE, r, &size);
	EXPECT_EQ(length_of(p), 98u);
	EXPECT_EQ(size, 106u);
	EXPECT_EQ(as_string(p + 92, 10), "0123456789");
	uint64_t text_length;
	memcpy(&text_length, p + 84, 8);
	EXPECT_EQ(text_length, 10u);
	free(p);
	free(r);

	for (int32_t t : {LOCAL_PACKET_USER_NOT_FOUND, LOCAL_PACKET_USER_ONLINE, LOCAL_PACKET_USER_OFFLINE}) {
		p = local_packet_build_user_name(t, "bob", &size);
		EXPECT_EQ(length_of(p), 12u);	// 9 + name length
		EXPECT_EQ(size, 20u);
		EXPECT_EQ(type_of(p), t);
		EXPECT_EQ(as_string(p + 12, 4), std::string("bob\0", 4));
		free(p);
	}

	p = local_packet_build_online_users(7, 3, &size);
	EXPECT_EQ(length_of(p), 508u);
	EXPECT_EQ(size, 516u);
	for (uint32_t i = 0; i < 3; i++)
		local_packet_set_user_info(p, i, (int32_t)(10 - i), "u" + std::to_string(i), "host");
	LocalPacketView v;
	ASSERT_EQ(local_packet_open(p, &v), 0);
	OnlineUsersView list;
	ASSERT_EQ(local_parse_online_users(v, &list), 0);
	EXPECT_EQ(list.your_id, 7);
	EXPECT_EQ(list.count, 3u);
	UserInfoView e;
	ASSERT_EQ(local_online_users_entry(list, 2, &e), 0);
	EXPECT_EQ(e.id, 8);
	EXPECT_EQ(e.user, "u2");
	EXPECT_EQ(e.host, "host");
	EXPECT_EQ(local_online_users_entry(list, 3, &e), -1);
	free(p);

	p = local_packet_build_online_users(4, 0, &size);
	EXPECT_EQ(length_of(p), 16u);
	free(p);
}

TEST(LocalPacketBuild, OversizeIsRefusedBeforeAllocating)
{
	size_t size;
	errno = 0;
	EXPECT_EQ(message_record_new(UINT64_MAX - 10), nullptr);
	EXPECT_EQ(errno, EOVERFLOW);
	MessageRecord r = {};
	r.text_length = LOCAL_PACKET_MAX_LENGTH + 1;
	EXPECT_EQ(local_packet_build_message(LOCAL_PACKET_RECEIVE_MESSAGE, &r, &size), nullptr);
	EXPECT_EQ(errno, EOVERFLOW);
}

TEST(GetLocalPacket, BodyInThreePiecesBesideAnotherConnection)
{
	SocketPair one, two;
	LocalPacketReader r1, r2;
	local_packet_reader_init(&r1);
	local_packet_reader_init(&r2);
	size_t size;
	unsigned char *p = local_packet_build_user_name(LOCAL_PACKET_USER_ONLINE, "carol", &size);
	std::string wire = as_string(p, size);
	free(p);
	std::string other = raw_packet(8, LOCAL_PACKET_GET_ONLINE_USERS, "");

	GetPacketOut out = {};
	one.send(wire.substr(0, 10));
	EXPECT_EQ(get_local_packet(one.b, &out, &r1), GET_PACKET_INCOMPLETE);
	EXPECT_NE(r1.buffer, nullptr);
	EXPECT_EQ(r1.length, 14u);	// 9 + "carol"
	EXPECT_EQ(r1.received, 2u);

	two.send(other);
	ASSERT_EQ(get_local_packet(two.b, &out, &r2), GET_PACKET_OK);
	EXPECT_EQ(type_of(out.packet), LOCAL_PACKET_GET_ONLINE_USERS);
	free(out.packet);

	one.send(wire.substr(10, 5));
	EXPECT_EQ(get_local_packet(one.b, &out, &r1), GET_PACKET_INCOMPLETE);
	EXPECT_EQ(r1.received, 7u);
	one.send(wire.substr(15));
	ASSERT_EQ(get_local_packet(one.b, &out, &r1), GET_PACKET_OK);
	EXPECT_EQ(as_string(out.packet, wire.size()), wire);
	EXPECT_EQ(r1.buffer, nullptr);
	EXPECT_EQ(r1.length, 0u);
	EXPECT_EQ(r1.received, 0u);
	free(out.packet);
}

TEST(GetLocalPacket, LengthLimits)
{
	{
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		GetPacketOut out = {};
		uint64_t zero = 0;
		s.send(&zero, 8);
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_EOF);
		EXPECT_EQ(r.buffer, nullptr);
	}
	{
		// Exactly 2 MiB is accepted and assembled over several reads.
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		std::string big = raw_packet(LOCAL_PACKET_MAX_LENGTH, LOCAL_PACKET_POST_MESSAGE, "");
		int flags = fcntl(s.a, F_GETFL);
		fcntl(s.a, F_SETFL, flags | O_NONBLOCK);
		size_t sent = 0;
		GetPacketOut out = {};
		int rc = GET_PACKET_INCOMPLETE;
		while (rc == GET_PACKET_INCOMPLETE) {
			if (sent < big.size()) {
				ssize_t w = write(s.a, big.data() + sent, big.size() - sent);
				if (w > 0)
					sent += (size_t)w;
			}
			rc = get_local_packet(s.b, &out, &r);
		}
		ASSERT_EQ(rc, GET_PACKET_OK);
		EXPECT_EQ(length_of(out.packet), LOCAL_PACKET_MAX_LENGTH);
		free(out.packet);
	}
	{
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		uint64_t over = LOCAL_PACKET_MAX_LENGTH + 1;
		s.send(&over, 8);
		GetPacketOut out = {};
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_TOO_LARGE);
		EXPECT_EQ(out.length, 2097153u);
		EXPECT_EQ(r.buffer, nullptr);
	}
	{
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		uint64_t huge = 0x100000005ull;	// only its low 32 bits are reported
		s.send(&huge, 8);
		GetPacketOut out = {};
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_TOO_LARGE);
		EXPECT_EQ(out.length, 5u);
	}
}

TEST(GetLocalPacket, ShortLengthFieldEndsAndErrors)
{
	GetPacketOut out = {};
	{
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		s.send("12345", 5);
		s.close_sender();
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_SHORT_READ);
		EXPECT_EQ(r.buffer, nullptr);
	}
	{
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		s.close_sender();
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_EOF);
	}
	{
		// The peer closes in the middle of a body: end of file, the reader idle again.
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		std::string p = raw_packet(100, LOCAL_PACKET_POST_MESSAGE, "");
		s.send(p.substr(0, 40));
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_INCOMPLETE);
		s.close_sender();
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_EOF);
		EXPECT_EQ(r.buffer, nullptr);
		EXPECT_EQ(r.length, 0u);
		EXPECT_EQ(r.received, 0u);
	}
	{
		LocalPacketReader r;
		local_packet_reader_init(&r);
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		EXPECT_EQ(get_local_packet(p[1], &out, &r), GET_PACKET_READ_ERROR);	// a write end
		EXPECT_EQ(errno, EBADF);
		close(p[0]);
		close(p[1]);
	}
	{
		// A partial packet still held is released by a reset (the closing connection).
		SocketPair s;
		LocalPacketReader r;
		local_packet_reader_init(&r);
		s.send(raw_packet(64, 1, "").substr(0, 20));
		EXPECT_EQ(get_local_packet(s.b, &out, &r), GET_PACKET_INCOMPLETE);
		local_packet_reader_reset(&r);
		EXPECT_EQ(r.buffer, nullptr);
	}
}

namespace {

// Opens and parses a raw packet as a receiver would; returns the parser's result.
template <typename View, typename Parse> int parse_raw(const std::string &wire, View *v, Parse parse)
{
	LocalPacketView pv;
	if (local_packet_open(reinterpret_cast<const unsigned char *>(wire.data()), &pv) < 0)
		return -2;
	return parse(pv, v);
}

std::string message_payload(const std::string &from, const std::string &to, int32_t kind, uint64_t text_length,
			    const std::string &text)
{
	std::string pl(80, '\0');
	memcpy(&pl[0], from.data(), from.size());
	memcpy(&pl[32], to.data(), to.size());
	memcpy(&pl[64], &kind, 4);
	memcpy(&pl[72], &text_length, 8);
	return pl + text;
}

}  // namespace

TEST(LocalPacketParse, MalformedPacketsAreDetected)
{
	// Too short to hold the type and the reserved bytes.
	for (uint64_t len : {1u, 4u, 7u}) {
		std::string w = raw_packet(len, 1, "");
		LocalPacketView pv;
		EXPECT_EQ(local_packet_open(reinterpret_cast<const unsigned char *>(w.data()), &pv), -1) << len;
	}

	MessageView m;
	std::string good = message_payload("x", "bob", 1, 3, "abc");
	std::string w = raw_packet(8 + good.size(), LOCAL_PACKET_POST_MESSAGE, good);
	ASSERT_EQ(parse_raw(w, &m, local_parse_message), 0);
	EXPECT_EQ(m.to_user, "bob");
	EXPECT_EQ(m.text, "abc");
	EXPECT_EQ(m.text_offset, 92u);
	EXPECT_TRUE(m.from_user.empty());	// no value in a post

	// text_length past the end of the packet.
	std::string past = message_payload("x", "bob", 1, 4, "abc");
	w = raw_packet(8 + past.size(), LOCAL_PACKET_POST_MESSAGE, past);
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), -1);
	std::string wild = message_payload("x", "bob", 1, UINT64_MAX, "abc");
	w = raw_packet(8 + wild.size(), LOCAL_PACKET_POST_MESSAGE, wild);
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), -1);
	// Shorter than the fixed part.
	w = raw_packet(8 + 40, LOCAL_PACKET_POST_MESSAGE, good.substr(0, 40));
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), -1);
	// to_user without its NUL.
	std::string nonul = message_payload("x", std::string(32, 'b'), 1, 0, "");
	w = raw_packet(8 + nonul.size(), LOCAL_PACKET_POST_MESSAGE, nonul);
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), -1);
	// from_user matters in a delivered message.
	std::string nofrom = message_payload(std::string(32, 'a'), "bob", 1, 0, "");
	w = raw_packet(8 + nofrom.size(), LOCAL_PACKET_RECEIVE_MESSAGE, nofrom);
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), -1);
	w = raw_packet(8 + nofrom.size(), LOCAL_PACKET_POST_MESSAGE, nofrom);
	EXPECT_EQ(parse_raw(w, &m, local_parse_message), 0);

	LoginView l;
	std::string login(160, '\0');
	memcpy(&login[0], "alice", 5);
	memcpy(&login[32], "host", 4);
	w = raw_packet(8 + 160 + 6, LOCAL_PACKET_LOGIN, login + std::string("UTF-8\0", 6));
	ASSERT_EQ(parse_raw(w, &l, local_parse_login), 0);
	EXPECT_EQ(l.user, "alice");
	EXPECT_EQ(l.host, "host");
	EXPECT_EQ(l.encoding, "UTF-8");
	w = raw_packet(8 + 160 + 5, LOCAL_PACKET_LOGIN, login + "UTF-8");	// encoding without NUL
	EXPECT_EQ(parse_raw(w, &l, local_parse_login), -1);
	w = raw_packet(8 + 100, LOCAL_PACKET_LOGIN, login.substr(0, 100));
	EXPECT_EQ(parse_raw(w, &l, local_parse_login), -1);
	std::string longuser = login;
	memset(&longuser[0], 'u', 32);
	w = raw_packet(8 + 161, LOCAL_PACKET_LOGIN, longuser + std::string(1, '\0'));
	EXPECT_EQ(parse_raw(w, &l, local_parse_login), -1);

	std::string_view name;
	w = raw_packet(8 + 4, LOCAL_PACKET_USER_ONLINE, std::string("bob\0", 4));
	ASSERT_EQ(parse_raw(w, &name, local_parse_user_name), 0);
	EXPECT_EQ(name, "bob");
	w = raw_packet(8 + 3, LOCAL_PACKET_USER_ONLINE, "bob");
	EXPECT_EQ(parse_raw(w, &name, local_parse_user_name), -1);
	w = raw_packet(8, LOCAL_PACKET_USER_ONLINE, "");
	EXPECT_EQ(parse_raw(w, &name, local_parse_user_name), -1);

	OnlineUsersView list;
	std::string ou(8, '\0');
	uint32_t count = 2;
	memcpy(&ou[4], &count, 4);
	w = raw_packet(8 + 8 + 164, LOCAL_PACKET_ONLINE_USERS, ou + std::string(164, '\0'));
	EXPECT_EQ(parse_raw(w, &list, local_parse_online_users), -1);	// count runs past the end
	count = 0x40000000u;
	memcpy(&ou[4], &count, 4);
	w = raw_packet(8 + 8, LOCAL_PACKET_ONLINE_USERS, ou);
	EXPECT_EQ(parse_raw(w, &list, local_parse_online_users), -1);
	count = 1;
	memcpy(&ou[4], &count, 4);
	w = raw_packet(8 + 8 + 164, LOCAL_PACKET_ONLINE_USERS, ou + std::string(164, 'x'));
	ASSERT_EQ(parse_raw(w, &list, local_parse_online_users), 0);
	UserInfoView e;
	EXPECT_EQ(local_online_users_entry(list, 0, &e), -1);	// fields without NUL
}
