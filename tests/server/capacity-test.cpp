// Thousands of sessions on one server: each is served, listed and reached by a message to
// everybody exactly once, and when they have gone the server is as small and as able as before.
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

constexpr int CLIENTS = 5000;
// Each user has CLIENTS / USERS sessions; only a user's first login and last logout are
// announced, which keeps the announcements few.
constexpr int USERS = 50;

class ServerCapacity : public st::ServerTest {
protected:
	// The next packet of fd that is not an online or offline announcement.
	Packet next_unannounced(int fd)
	{
		for (;;) {
			Packet p = next(fd);
			if (!p.ok || (p.type != LOCAL_PACKET_USER_ONLINE && p.type != LOCAL_PACKET_USER_OFFLINE))
				return p;
		}
	}

	// Asks fd for the online list until it has count entries (the server may still be
	// reading logins or ends of connections); the last list.
	Packet list_when_counting(int fd, size_t count)
	{
		Packet list;
		for (int tries = 0; tries < 100; tries++) {
			send_raw(fd, tt::empty_packet(LOCAL_PACKET_GET_ONLINE_USERS));
			list = next_unannounced(fd);
			if (!list.ok || list.type != LOCAL_PACKET_ONLINE_USERS || list.entries.size() == count)
				break;
		}
		return list;
	}
};

TEST_F(ServerCapacity, FiveThousandSessionsAreServedAndTheServerShrinksBackWhenTheyGo)
{
	// Room for the clients here and in the server, which inherits the limits.
	ASSERT_TRUE(tt::raise_descriptor_limit(2 * CLIENTS + 1024)) << strerror(errno);
	// A hundred sessions per user: far more than the server lets one user have by default.
	restart_server({"TOLVAR_SESSIONS_PER_USER=0"});
	int watcher = quiet_login("watcher");
	std::vector<int> clients;
	for (int k = 0; k < CLIENTS; k++) {
		int fd = login("user" + std::to_string(k % USERS));
		ASSERT_GE(fd, 0);
		clients.push_back(fd);
	}
	Packet list = list_when_counting(watcher, CLIENTS + 1);
	ASSERT_EQ(list.type, LOCAL_PACKET_ONLINE_USERS);
	ASSERT_EQ(list.entries.size(), (size_t)CLIENTS + 1);
	std::set<int> ids;
	for (const Packet::Entry &e : list.entries)
		ids.insert(e.id);
	EXPECT_EQ(ids.size(), (size_t)CLIENTS + 1);
	EXPECT_GT(*ids.rbegin(), CLIENTS);
	long full_kib = server_rss_kib();

	post(clients.front(), "GLOBAL", "to all of you");
	post(clients.front(), "GLOBAL", "and once more");
	clients.push_back(watcher);
	for (int fd : clients) {
		Packet first = next_unannounced(fd);
		ASSERT_EQ(first.type, LOCAL_PACKET_RECEIVE_MESSAGE) << "connection " << fd;
		ASSERT_EQ(first.text, "to all of you");
		EXPECT_EQ(first.from, "user0");
		// Nothing between the two: the first message came once.
		Packet second = next(fd);
		ASSERT_EQ(second.type, LOCAL_PACKET_RECEIVE_MESSAGE) << "connection " << fd;
		ASSERT_EQ(second.text, "and once more");
	}
	clients.pop_back();

	for (int fd : clients)
		close_client(fd);
	list = list_when_counting(watcher, 1);
	ASSERT_EQ(list.entries.size(), 1u);
	EXPECT_EQ(list.entries[0].user, "watcher");
	// The connection table of five thousand slots has given its pages back.
	long idle_kib = server_rss_kib();
	EXPECT_GT(full_kib, 0);
	EXPECT_LT(idle_kib, full_kib - 1024) << "resident " << full_kib << " KiB with the clients, " << idle_kib
					     << " KiB after them";
	post(watcher, "GLOBAL", "still here");
	Packet back = next_unannounced(watcher);
	EXPECT_EQ(back.text, "still here");
	EXPECT_EQ(log_count("too many clients"), 0u);
}

}  // namespace
