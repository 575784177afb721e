// Logins, logouts, online and offline announcements, and the online-users list of the real
// server, as raw clients see them.
#include <syslog.h>

#include "tests/server/server-fixture.h"

namespace {

using st::Packet;

class ServerPresence : public st::ServerTest {};

TEST_F(ServerPresence, FirstLoginIsAnnouncedToEveryoneIncludingItself)
{
	int bob = login("bob");
	EXPECT_EQ(expect(bob, LOCAL_PACKET_USER_ONLINE).name, "bob");
	int alice = login("alice", "UTF-8", "198.51.100.4");
	EXPECT_EQ(expect(alice, LOCAL_PACKET_USER_ONLINE).name, "alice");
	EXPECT_EQ(expect(bob, LOCAL_PACKET_USER_ONLINE).name, "alice");
	int id = id_of(alice);
	EXPECT_TRUE(wait_log("user alice login from 198.51.100.4 fd " + std::to_string(id) + " dup 0", LOG_INFO))
	    << log_->dump();
}

TEST_F(ServerPresence, DuplicateSessionsComeAndGoSilently)
{
	int a1 = login("alice");
	expect(a1, LOCAL_PACKET_USER_ONLINE);
	int bob = login("bob");
	expect(bob, LOCAL_PACKET_USER_ONLINE);
	expect(a1, LOCAL_PACKET_USER_ONLINE);
	int a2 = login("alice");
	int id1 = id_of(a1), id2 = id_of(a2), idb = id_of(bob);
	ASSERT_LT(id1, idb);
	ASSERT_LT(idb, id2);
	EXPECT_TRUE(wait_log("user alice login from 192.0.2.7 fd " + std::to_string(id2) + " dup 1")) << log_->dump();
	// The second login announced nothing, not even to its own session.
	expect_quiet(a2);
	expect_quiet(a1);
	expect_quiet(bob);

	close_client(a1);
	EXPECT_TRUE(wait_log("user alice logout fd " + std::to_string(id1) + " dup 1", LOG_INFO)) << log_->dump();
	expect_quiet(bob);
	expect_quiet(a2);

	close_client(a2);
	EXPECT_EQ(expect(bob, LOCAL_PACKET_USER_OFFLINE).name, "alice");
	EXPECT_TRUE(wait_log("user alice logout fd " + std::to_string(id2) + " dup 0", LOG_INFO)) << log_->dump();
}

TEST_F(ServerPresence, ClosingTheLastSessionAnnouncesOfflineOnlyToTheOthers)
{
	int alice = login("alice");
	expect(alice, LOCAL_PACKET_USER_ONLINE);
	int bob = login("bob");
	expect(bob, LOCAL_PACKET_USER_ONLINE);
	expect(alice, LOCAL_PACKET_USER_ONLINE);
	int idle = connect_client();	// connected, never logged in: no part in presence
	int id_bob = id_of(bob);
	close_client(bob);
	EXPECT_EQ(expect(alice, LOCAL_PACKET_USER_OFFLINE).name, "bob");
	expect_quiet(idle);
	EXPECT_TRUE(wait_log("user bob logout fd " + std::to_string(id_bob) + " dup 0")) << log_->dump();
}

TEST_F(ServerPresence, OnlineListRunsFromHighestIdDownAndNamesTheAsker)
{
	int a1 = quiet_login("alice", "UTF-8", "203.0.113.1");
	int bob = quiet_login("bob", "UTF-8", "203.0.113.2");
	int a2 = quiet_login("alice", "", "203.0.113.3");
	int asker = connect_client();
	drain_all({a1, bob});
	int id1 = id_of(a1), idb = id_of(bob), id2 = id_of(a2);

	Packet list = online_list(bob);
	EXPECT_EQ(list.your_id, idb);
	ASSERT_EQ(list.entries.size(), 3u);
	EXPECT_EQ(list.length, 16u + 164u * 3);
	EXPECT_EQ(list.entries[0].id, id2);
	EXPECT_EQ(list.entries[0].user, "alice");
	EXPECT_EQ(list.entries[0].host, "203.0.113.3");
	EXPECT_EQ(list.entries[1].id, idb);
	EXPECT_EQ(list.entries[1].user, "bob");
	EXPECT_EQ(list.entries[1].host, "203.0.113.2");
	EXPECT_EQ(list.entries[2].id, id1);
	EXPECT_EQ(list.entries[2].host, "203.0.113.1");

	// A connection that never logged in is answered and is not among the entries.
	Packet other = online_list(asker);
	EXPECT_GT(other.your_id, id2);
	EXPECT_EQ(other.entries.size(), 3u);
}

TEST_F(ServerPresence, EmptyServerListsNobody)
{
	int asker = connect_client();
	Packet list = online_list(asker);
	EXPECT_EQ(list.length, 16u);
	EXPECT_TRUE(list.entries.empty());
	EXPECT_EQ(list.your_id, 1);	// listener on 0: standard input and output were closed first
}

TEST_F(ServerPresence, LoginWithBadUserNameDoesNotCount)
{
	int watcher = login("watcher");
	expect(watcher, LOCAL_PACKET_USER_ONLINE);
	int empty = login("");
	int slash = login("bad/name");
	int star = login("*");
	int ok = login("fine name");
	EXPECT_EQ(expect(watcher, LOCAL_PACKET_USER_ONLINE).name, "fine name");
	EXPECT_EQ(log_count("login with invalid user name"), 3u) << log_->dump();
	Packet list = online_list(watcher);
	ASSERT_EQ(list.entries.size(), 2u);
	EXPECT_EQ(list.entries[0].user, "fine name");
	EXPECT_EQ(list.entries[1].user, "watcher");
	// Not logged in: their posts are dropped and they receive nothing.
	post(empty, "GLOBAL", "from nobody");
	EXPECT_TRUE(wait_log("client fd " + std::to_string(id_of(empty)) + " posting message without login", LOG_NOTICE));
	post(ok, "GLOBAL", "to all");
	EXPECT_EQ(expect(watcher, LOCAL_PACKET_RECEIVE_MESSAGE).text, "to all");
	for (int fd : {empty, slash, star})
		expect_quiet(fd);
	// Closing them logs no logout.
	int id_slash = id_of(slash);
	close_client(slash);
	EXPECT_TRUE(wait_log("client fd " + std::to_string(id_slash) + " EOF", LOG_INFO));
	expect_quiet(watcher);
	EXPECT_EQ(log_count("logout"), 0u) << log_->dump();
}

TEST_F(ServerPresence, LoginUnderAnotherNameLeavesTheOldName)
{
	int watcher = login("watcher");
	expect(watcher, LOCAL_PACKET_USER_ONLINE);
	int c = login("alice");
	expect(c, LOCAL_PACKET_USER_ONLINE);
	expect(watcher, LOCAL_PACKET_USER_ONLINE);
	send_raw(c, tt::login_packet("carol", "192.0.2.9", "UTF-8"));
	EXPECT_EQ(expect(watcher, LOCAL_PACKET_USER_OFFLINE).name, "alice");
	EXPECT_EQ(expect(watcher, LOCAL_PACKET_USER_ONLINE).name, "carol");
	Packet list = online_list(watcher);
	ASSERT_EQ(list.entries.size(), 2u);
	EXPECT_EQ(list.entries[0].user, "carol");
	EXPECT_EQ(list.entries[0].host, "192.0.2.9");
}

}  // namespace
