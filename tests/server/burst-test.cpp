// Many packets arriving at once: the server joins what one pass owes each recipient into one
// write, and every recipient must still get exactly what one write per packet gave it, in the
// same order, whatever mix of messages, copies, conversions, answers and sizes the burst holds.
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

// What a recipient expects next: a packet type and its text (message) or name (others).
struct Expected {
	int32_t type;
	std::string text;
};

std::string latin1_of(const std::string &utf8)
{
	// The bursts' texts hold ASCII and "é" only.
	std::string out;
	for (size_t i = 0; i < utf8.size(); i++) {
		if ((unsigned char)utf8[i] == 0xC3 && i + 1 < utf8.size()) {
			out += (char)((unsigned char)utf8[i + 1] + 0x40);
			i++;
		} else {
			out += utf8[i];
		}
	}
	return out;
}

// Stops pid and waits until it has: a process still on its way to the stop may first see
// readiness that arrives meanwhile.
bool stop_process(pid_t pid)
{
	if (kill(pid, SIGSTOP) < 0)
		return false;
	std::string path = "/proc/" + std::to_string(pid) + "/stat";
	for (int i = 0; i < 5000; i++) {
		FILE *f = fopen(path.c_str(), "r");
		char state = '?';
		if (f != nullptr) {
			if (fscanf(f, "%*d (%*[^)]) %c", &state) != 1)
				state = '?';
			fclose(f);
		}
		if (state == 'T')
			return true;
		usleep(1000);
	}
	return false;
}

class ServerBursts : public st::ServerTest {
protected:
	// Reads count packets from each of fds at the same time as the burst is written to sender.
	std::vector<std::vector<Packet>> send_and_read(int sender, const std::string &burst,
						       const std::vector<int> &fds, const std::vector<size_t> &counts)
	{
		std::vector<std::vector<Packet>> got(fds.size());
		std::vector<std::thread> readers;
		for (size_t i = 0; i < fds.size(); i++)
			readers.emplace_back([&, i] {
				for (size_t n = 0; n < counts[i]; n++) {
					Packet p = tt::decode_packet(tt::read_local_packet(fds[i], 20000));
					got[i].push_back(p);
					if (!p.ok)
						return;
				}
			});
		bool sent = tt::write_all(sender, burst);
		for (std::thread &t : readers)
			t.join();
		EXPECT_TRUE(sent);
		return got;
	}
};

void expect_stream(const std::vector<Packet> &got, const std::vector<Expected> &want, const std::string &who)
{
	ASSERT_EQ(got.size(), want.size()) << who;
	for (size_t i = 0; i < want.size(); i++) {
		ASSERT_TRUE(got[i].ok) << who << ": packet " << i << " missing";
		ASSERT_EQ(got[i].type, want[i].type) << who << ": packet " << i;
		const std::string &value = got[i].type == LOCAL_PACKET_RECEIVE_MESSAGE ? got[i].text : got[i].name;
		if (got[i].type != LOCAL_PACKET_ONLINE_USERS) {
			ASSERT_EQ(value, want[i].text) << who << ": packet " << i;
		}
	}
}

TEST_F(ServerBursts, MixedBurstArrivesAsIfEveryPacketWereWrittenAlone)
{
	int a1 = quiet_login("alice");
	int bob = quiet_login("bob");
	int carol = quiet_login("carol", "ISO-8859-1");
	int a2 = quiet_login("alice", "ISO-8859-1");
	// After the converted ones: gets the packet staged before their copies.
	int dave = quiet_login("dave");
	drain_all({a1, bob, carol, a2});
	std::vector<int> fds = {a1, bob, carol, a2, dave};
	std::vector<std::vector<Expected>> want(fds.size());
	auto to_all = [&](const std::string &text, bool plain) {
		for (size_t i = 0; i < fds.size(); i++)
			want[i].push_back({LOCAL_PACKET_RECEIVE_MESSAGE,
					   plain && (fds[i] == carol || fds[i] == a2) ? latin1_of(text) : text});
	};
	std::string burst;
	for (int k = 0; k < 400; k++) {
		std::string tag = std::to_string(k) + " é ";
		if (k % 5 == 0) {
			// Big enough that the burst overflows what one pass may hold.
			std::string text = tag + std::string(6000 + (size_t)k * 997 % 5000, 'b');
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN, text);
			to_all(text, true);
		} else if (k % 3 == 0) {
			std::string text = "to bob " + tag;
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "bob", MESSAGE_KIND_PLAIN, text);
			want[0].push_back({LOCAL_PACKET_RECEIVE_MESSAGE, text});
			want[1].push_back({LOCAL_PACKET_RECEIVE_MESSAGE, text});
			want[3].push_back({LOCAL_PACKET_RECEIVE_MESSAGE, latin1_of(text)});
		} else if (k % 7 == 0) {
			std::string text = "to nobody " + tag;
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "nobody", MESSAGE_KIND_PLAIN, text);
			want[0].push_back({LOCAL_PACKET_RECEIVE_MESSAGE, text});
			want[3].push_back({LOCAL_PACKET_RECEIVE_MESSAGE, latin1_of(text)});
			want[0].push_back({LOCAL_PACKET_USER_NOT_FOUND, "nobody"});
		} else if (k % 11 == 0) {
			burst += tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS);
			want[0].push_back({LOCAL_PACKET_ONLINE_USERS, ""});
		} else if (k == 101) {
			// Larger than the outbox: held beside it, sent after what was owed before it.
			std::string text = tag + std::string(300 * 1024, 'h');
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "*", MESSAGE_KIND_PLAIN, text);
			to_all(text, true);
		} else if (k % 13 == 0) {
			std::string text = std::string("<b>") + '\0' + tag;
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_HTML, text);
			to_all(text, false);
		} else {
			std::string text = "all " + tag;
			burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN, text);
			to_all(text, true);
		}
	}
	std::vector<size_t> counts;
	for (const auto &w : want)
		counts.push_back(w.size());
	auto got = send_and_read(a1, burst, fds, counts);
	const char *names[] = {"alice (sender)", "bob", "carol (Latin-1)", "alice (Latin-1)", "dave"};
	for (size_t i = 0; i < fds.size(); i++) {
		SCOPED_TRACE(names[i]);
		expect_stream(got[i], want[i], names[i]);
		for (const Packet &p : got[i])
			if (p.type == LOCAL_PACKET_RECEIVE_MESSAGE) {
				EXPECT_EQ(p.from, "alice");
			}
	}
	for (int fd : fds)
		expect_quiet(fd);
	EXPECT_EQ(log_count("dropped"), 0u) << log_->dump();
}

TEST_F(ServerBursts, StalledRecipientGetsWholePacketsThenNothingWhileOthersGetEverything)
{
	int stalled = quiet_login("stalled");
	int alice = quiet_login("alice");
	int bob = quiet_login("bob");
	drain_all({stalled, alice});
	int is = id_of(stalled);
	std::string burst;
	std::vector<std::string> texts;
	// Far more than the socket of the stalled client holds.
	for (int k = 0; k < 400; k++) {
		texts.push_back(std::to_string(k) + ":" + std::string(2000, 'm'));
		burst += tt::message_packet(LOCAL_PACKET_POST_MESSAGE, "", "GLOBAL", MESSAGE_KIND_PLAIN, texts.back());
	}
	// The drop is announced to those still there, after the messages that came before it.
	auto got = send_and_read(alice, burst, {alice, bob}, {texts.size() + 1, texts.size() + 1});
	for (const auto &stream : got) {
		size_t k = 0;
		bool offline = false;
		for (const Packet &p : stream) {
			ASSERT_TRUE(p.ok);
			if (p.type == LOCAL_PACKET_USER_OFFLINE) {
				EXPECT_EQ(p.name, "stalled");
				EXPECT_FALSE(offline);
				offline = true;
				continue;
			}
			ASSERT_EQ(p.type, LOCAL_PACKET_RECEIVE_MESSAGE);
			ASSERT_LT(k, texts.size());
			EXPECT_EQ(p.text, texts[k]);
			k++;
		}
		EXPECT_TRUE(offline);
		EXPECT_EQ(k, texts.size());
	}
	EXPECT_EQ(log_count("client fd " + std::to_string(is) + " dropped after a failed write"), 1u) << log_->dump();
	EXPECT_EQ(log_texts(" to " + std::to_string(is) + ": write").size(), 1u);
	// What it got: a prefix of the messages, whole, then at most a cut-off one, then the end.
	std::string stream;
	EXPECT_TRUE(tt::read_to_eof(stalled, 20000, &stream));
	size_t tail = 0, k = 0;
	for (const Packet &p : st::whole_packets(stream, &tail)) {
		ASSERT_TRUE(p.ok) << "packet " << k;
		ASSERT_LT(k, texts.size());
		EXPECT_EQ(p.text, texts[k]) << "packet " << k;
		k++;
	}
	EXPECT_LT(k, texts.size());
	EXPECT_LT(tail, 2000u + 96);
	for (int fd : {alice, bob})
		expect_quiet(fd);
}

TEST_F(ServerBursts, WhatAClientSentBeforeItWentIsDeliveredThoughAWriteToItFailed)
{
	int alice = quiet_login("alice");
	int gone = quiet_login("gone");
	int bob = quiet_login("bob");
	drain_all({alice, gone});
	int ig = id_of(gone);
	ASSERT_LT(id_of(alice), ig);
	// All arrive in one pass: alice's messages fill the outbox, and sending it fails on the
	// departed client before its own last packets are read.
	ASSERT_TRUE(stop_process(server_.proc.pid));
	post(gone, "GLOBAL", "last words");
	post(gone, "bob", "and one for bob");
	close_client(gone);
	int room = 2 * 1024 * 1024;	// the whole burst fits in the socket while the server sleeps
	ASSERT_EQ(setsockopt(alice, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room), 0);
	std::vector<std::string> texts;
	for (char c = 'a'; c < 'f'; c++) {
		texts.emplace_back(64000, c);
		post(alice, "GLOBAL", texts.back());
	}
	ASSERT_EQ(kill(server_.proc.pid, SIGCONT), 0);
	for (const std::string &text : texts) {
		std::vector<Packet> got = next_each({alice, bob});
		for (const Packet &p : got) {
			ASSERT_TRUE(p.ok) << log_->dump();
			EXPECT_TRUE(p.text == text);
		}
	}
	for (int fd : {alice, bob}) {
		Packet p = expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE);
		EXPECT_EQ(p.from, "gone");
		EXPECT_EQ(p.text, "last words");
		if (fd == bob) {
			EXPECT_EQ(expect(fd, LOCAL_PACKET_RECEIVE_MESSAGE).text, "and one for bob");
		}
		EXPECT_EQ(expect(fd, LOCAL_PACKET_USER_OFFLINE).name, "gone");
		expect_quiet(fd);
	}
	EXPECT_EQ(log_count("client fd " + std::to_string(ig) + " dropped after a failed write"), 1u) << log_->dump();
}

}  // namespace
