// The messages servers send each other over the bus: each type on the wire byte for byte and
// back, and the payloads a receiver must never see parsed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/bus-protocol.h"

namespace {

// An encoder of its own, written from the layout, so that the builder is held to the wire.
std::string be(uint64_t v, int bytes)
{
	std::string s;
	for (int i = bytes - 1; i >= 0; i--)
		s += (char)(v >> (8 * i));
	return s;
}

std::string name(std::string_view s) { return std::string(1, (char)s.size()) + std::string(s); }
std::string text(std::string_view s) { return be(s.size(), 4) + std::string(s); }

std::string header(int type, std::string_view server = "alpha")
{
	return std::string("T\x01", 2) + (char)type + name(server) + be(0x0102030405060708, 8);
}

std::string entry(uint32_t session, std::string_view user, std::string_view host, int64_t since)
{
	return be(session, 4) + name(user) + name(host) + be((uint64_t)since, 8);
}

std::string chat(std::string_view user, std::string_view to, std::string_view charset, std::string_view body)
{
	return header(BUS_CHAT) + be(1700000000, 8) + name(user) + name(to) + be(1, 4) + name(charset) + text(body);
}

std::string session_on(std::string_view user, std::string_view host)
{
	return header(BUS_SESSION_ON) + be(7, 8) + be(12, 4) + name(user) + name(host) + be(1700000000, 8);
}

std::string snapshot(uint32_t count, const std::string &entries)
{
	return header(BUS_SNAPSHOT) + be(9, 8) + be(count, 4) + entries;
}

BusMessage base(uint8_t type)
{
	BusMessage m = {};
	m.type = type;
	m.server = "alpha";
	m.boot = 0x0102030405060708;
	return m;
}

void expect_same(const BusMessage &a, const BusMessage &b)
{
	EXPECT_EQ(a.type, b.type);
	EXPECT_EQ(a.server, b.server);
	EXPECT_EQ(a.boot, b.boot);
	EXPECT_EQ(a.event, b.event);
	EXPECT_EQ(a.session, b.session);
	EXPECT_EQ(a.user, b.user);
	EXPECT_EQ(a.host, b.host);
	EXPECT_EQ(a.to, b.to);
	EXPECT_EQ(a.when, b.when);
	EXPECT_EQ(a.kind, b.kind);
	EXPECT_EQ(a.charset, b.charset);
	EXPECT_EQ(a.text, b.text);
	EXPECT_EQ(a.admin_uid, b.admin_uid);
	EXPECT_EQ(a.count, b.count);
	EXPECT_EQ(a.entries, b.entries);
}

int parse(const std::string &wire, BusMessage *m) { return bus_parse_message(wire.data(), wire.size(), m); }

}  // namespace

TEST(BusMessage, EveryTypeOnTheWireAndBack)
{
	const BusSessionEntry sessions[] = {
		{4, "alice", "192.0.2.7", 1700000000},
		{5, "bob", "", -1},
	};
	std::string entries(bus_snapshot_entry_size(sessions[0]) + bus_snapshot_entry_size(sessions[1]), '\0');
	auto *w = reinterpret_cast<unsigned char *>(&entries[0]);
	w = bus_write_snapshot_entry(bus_write_snapshot_entry(w, sessions[0]), sessions[1]);
	ASSERT_EQ(w, reinterpret_cast<unsigned char *>(&entries[0]) + entries.size());
	ASSERT_EQ(entries, entry(4, "alice", "192.0.2.7", 1700000000) + entry(5, "bob", "", -1));

	std::vector<std::pair<BusMessage, std::string>> cases;
	BusMessage m = base(BUS_CHAT);
	m.when = -5;
	m.user = "alice";
	m.to = "GLOBAL";
	m.kind = -2;
	m.charset = "ISO-8859-1";
	m.text = std::string_view("caf\xe9\0!", 6);
	cases.push_back({m, header(BUS_CHAT) + be((uint64_t)-5, 8) + name("alice") + name("GLOBAL") +
				    be((uint32_t)-2, 4) + name("ISO-8859-1") + text(m.text)});
	m = base(BUS_SESSION_ON);
	m.event = 1ull << 40;
	m.session = 12;
	m.user = "bob";
	m.host = "2001:db8::1";
	m.when = 1700000000;
	cases.push_back({m, header(BUS_SESSION_ON) + be(1ull << 40, 8) + be(12, 4) + name("bob") +
				    name("2001:db8::1") + be(1700000000, 8)});
	m = base(BUS_SESSION_OFF);
	m.event = 8;
	m.session = 1023;
	cases.push_back({m, header(BUS_SESSION_OFF) + be(8, 8) + be(1023, 4)});
	m = base(BUS_HEARTBEAT);
	m.event = UINT64_MAX;
	cases.push_back({m, header(BUS_HEARTBEAT) + be(UINT64_MAX, 8)});
	m = base(BUS_SNAPSHOT);
	m.event = 9;
	m.count = 2;
	m.entries = entries;
	cases.push_back({m, snapshot(2, entries)});
	m = base(BUS_SNAPSHOT);
	m.event = 9;
	cases.push_back({m, snapshot(0, "")});
	m = base(BUS_SNAPSHOT_ASK);
	cases.push_back({m, header(BUS_SNAPSHOT_ASK) + name("")});
	m.to = "node_2-b";
	cases.push_back({m, header(BUS_SNAPSHOT_ASK) + name("node_2-b")});
	m = base(BUS_KICK);
	m.admin_uid = 1000;
	m.user = "mallory";
	std::string kick_text(BUS_KICK_MESSAGE_MAX, 'k');
	m.text = kick_text;
	cases.push_back({m, header(BUS_KICK) + be(1000, 4) + name("mallory") + name(kick_text)});
	m = base(BUS_MUTE);
	m.admin_uid = 0;
	m.user = "mallory";
	m.when = 1700003600;
	cases.push_back({m, header(BUS_MUTE) + be(0, 4) + name("mallory") + be(1700003600, 8)});
	m = base(BUS_UNMUTE);
	m.admin_uid = 1000;
	m.user = std::string_view("abcdefghijklmnopqrstuvwxyz01234", 31);
	cases.push_back({m, header(BUS_UNMUTE) + be(1000, 4) + name(m.user)});

	for (const auto &c : cases) {
		SCOPED_TRACE("type " + std::to_string(c.first.type));
		size_t size = 0;
		unsigned char *built = bus_build_message(c.first, &size);
		ASSERT_NE(built, nullptr);
		EXPECT_EQ(std::string(reinterpret_cast<char *>(built), size), c.second);
		EXPECT_EQ(bus_message_size(c.first), size);
		free(built);
		BusMessage back;
		ASSERT_EQ(parse(c.second, &back), 0);
		expect_same(back, c.first);
	}

	// The entries of the parsed snapshot, each once, then the end.
	BusMessage back;
	ASSERT_EQ(parse(cases[4].second, &back), 0);
	std::string_view rest = back.entries;
	for (const BusSessionEntry &want : sessions) {
		BusSessionEntry e;
		ASSERT_EQ(bus_next_snapshot_entry(&rest, &e), 0);
		EXPECT_EQ(e.session, want.session);
		EXPECT_EQ(e.user, want.user);
		EXPECT_EQ(e.host, want.host);
		EXPECT_EQ(e.since, want.since);
	}
	BusSessionEntry e;
	EXPECT_EQ(bus_next_snapshot_entry(&rest, &e), -1);
	EXPECT_TRUE(rest.empty());
}

// Each bad payload differs from a good one in the one thing named; the good one must parse,
// so that the bad one is refused for that thing and not for another.
TEST(BusMessage, RefusesWhatAReceiverCannotUse)
{
	const std::string heartbeat = header(BUS_HEARTBEAT) + be(3, 8);
	const std::string one_entry = entry(4, "alice", "h", 0);
	const std::string two_entries = one_entry + one_entry;
	const std::string ask = header(BUS_SNAPSHOT_ASK);
	const std::string big_text(LOCAL_MESSAGE_TEXT_MAX, 'x');
	struct Case {
		const char *what;
		std::string good;
		std::string bad;
	};
	const Case cases[] = {
		{"magic", heartbeat, "U" + heartbeat.substr(1)},
		{"version", heartbeat, heartbeat.substr(0, 1) + '\x02' + heartbeat.substr(2)},
		{"type 0", heartbeat, heartbeat.substr(0, 2) + '\x00' + heartbeat.substr(3)},
		{"type 10", heartbeat, heartbeat.substr(0, 2) + '\x0a' + heartbeat.substr(3)},
		{"server with a dot", header(BUS_HEARTBEAT, "a-b") + be(3, 8), header(BUS_HEARTBEAT, "a.b") + be(3, 8)},
		{"server *", header(BUS_HEARTBEAT, "a") + be(3, 8), header(BUS_HEARTBEAT, "*") + be(3, 8)},
		{"server of 64 bytes", header(BUS_HEARTBEAT, std::string(63, 's')) + be(3, 8),
		 header(BUS_HEARTBEAT, std::string(64, 's')) + be(3, 8)},
		{"empty server", heartbeat, header(BUS_HEARTBEAT, "") + be(3, 8)},
		{"trailing byte", heartbeat, heartbeat + '\0'},
		{"a byte short", heartbeat, heartbeat.substr(0, heartbeat.size() - 1)},
		{"sender with a slash", chat("alice", "GLOBAL", "", "hi"), chat("al/ice", "GLOBAL", "", "hi")},
		{"empty sender", chat("alice", "GLOBAL", "", "hi"), chat("", "GLOBAL", "", "hi")},
		{"sender of 32 bytes", chat(std::string(31, 'u'), "*", "", "hi"),
		 chat(std::string(32, 'u'), "*", "", "hi")},
		{"sender with a NUL", chat("alice", "*", "", "hi"), chat(std::string("alice\0x", 7), "*", "", "hi")},
		{"recipient with a colon", chat("alice", "bob", "", "hi"), chat("alice", "bo:b", "", "hi")},
		{"charset with a space", chat("alice", "bob", "UTF-8", "hi"), chat("alice", "bob", "UTF 8", "hi")},
		{"text beyond the payload", chat("alice", "bob", "", "hi"),
		 chat("alice", "bob", "", "hi").substr(0, chat("alice", "bob", "", "hi").size() - 6) + be(3, 4) + "hi"},
		{"text beyond what a local packet carries", chat("alice", "bob", "", big_text),
		 chat("alice", "bob", "", big_text + "x")},
		{"user with a quote", session_on("bob", "h"), session_on("b\"ob", "h")},
		{"host with a NUL", session_on("bob", "192.0.2.7"), session_on("bob", std::string("192.0\0.2.7", 10))},
		{"host of 128 bytes", session_on("bob", std::string(127, 'h')),
		 session_on("bob", std::string(128, 'h'))},
		{"snapshot short of its count", snapshot(2, two_entries), snapshot(3, two_entries)},
		{"snapshot count of 2^32 - 1", snapshot(1, one_entry), snapshot(UINT32_MAX, one_entry)},
		{"snapshot with more than its count", snapshot(2, two_entries), snapshot(1, two_entries)},
		{"snapshot entry with an invalid user", snapshot(1, one_entry), snapshot(1, entry(4, "a*", "h", 0))},
		{"snapshot entry host with a NUL", snapshot(1, one_entry),
		 snapshot(1, entry(4, "alice", std::string(1, '\0'), 0))},
		{"snapshot ask for a bad name", ask + name("beta"), ask + name("be ta")},
		{"kick of an invalid user", header(BUS_KICK) + be(0, 4) + name("bob") + name(""),
		 header(BUS_KICK) + be(0, 4) + name("bob\x1b") + name("")},
		{"mute of an empty user", header(BUS_MUTE) + be(0, 4) + name("bob") + be(1, 8),
		 header(BUS_MUTE) + be(0, 4) + name("") + be(1, 8)},
		{"unmute of an invalid user", header(BUS_UNMUTE) + be(0, 4) + name("bob"),
		 header(BUS_UNMUTE) + be(0, 4) + name("b#b")},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		BusMessage m;
		EXPECT_EQ(parse(c.good, &m), 0);
		memset(static_cast<void *>(&m), 0x5a, sizeof m);	// garbage the parser must clear
		EXPECT_EQ(parse(c.bad, &m), -1);
		// Nothing of a refused payload stays behind.
		expect_same(m, BusMessage{});
	}
}

// A batch gives back its messages in order, and stops at an entry that is not whole.
TEST(BusMessage, BatchesSplitIntoTheirMessages)
{
	const std::string first = "first message", second = std::string("sec\0nd", 6);
	std::string batch(bus_batch_entry_size(first.size()) + bus_batch_entry_size(second.size()), '\0');
	auto *w = reinterpret_cast<unsigned char *>(&batch[0]);
	w = bus_write_batch_entry(w, first.data(), first.size());
	bus_write_batch_entry(w, second.data(), second.size());
	// cut: bytes of a third entry that is not whole (its length says 9, two bytes follow).
	for (size_t cut : {(size_t)0, (size_t)3, (size_t)6}) {
		std::string padded = batch + std::string("\0\0\0\x09xy", 6).substr(0, cut);
		std::string_view rest = padded;
		std::string_view message;
		bool malformed = true;
		ASSERT_EQ(bus_next_batch_entry(&rest, &message, &malformed), 0);
		EXPECT_EQ(message, first);
		ASSERT_EQ(bus_next_batch_entry(&rest, &message, &malformed), 0);
		EXPECT_EQ(message, second);
		EXPECT_EQ(bus_next_batch_entry(&rest, &message, &malformed), -1);
		EXPECT_EQ(malformed, cut != 0) << cut;
	}
}
