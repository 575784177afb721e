// The private NATS cluster (testing/nats.h), and what the servers rely on from a real
// nats-server and libnats: a stream with three replicas stores each message once while the
// node that its leader and a publisher are on dies, the publisher retrying with the same
// message id; an ordered consumer delivers each message once and in order while a node dies,
// its own included, and comes back; a connection asked for while no server is up returns at
// once and connects when one comes.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/clock.h"
#include "testing/nats.h"

namespace {

constexpr const char *STREAM = "CHAT";
constexpr const char *SUBJECT = "t.chat";
constexpr int MESSAGES = 2000;
constexpr int KILL_AT = 500;	// acknowledged messages before the kill
constexpr int RESTART_AT = 1200;	// and before the restart
constexpr int64_t NS_PER_S = 1000000000;
// libnats recreates an ordered consumer whose node has died after two missed heartbeat
// intervals or so: 10 to 20 s at the default 5 s.
constexpr int64_t CONSUMER_HEARTBEAT_NS = NS_PER_S;

// What the ordered consumer delivered: the numbers in the payloads, in arrival order.
struct Received {
	std::mutex mu;
	std::vector<int> numbers;
	bool stream_seq_ok = true;	// each message's stream sequence follows the one before
	uint64_t stream_seq = 0;
	int64_t last_ms = 0;
	int64_t longest_pause_ms = 0;	// between two deliveries

	size_t count()
	{
		std::lock_guard<std::mutex> g(mu);
		return numbers.size();
	}
};

// A connection with its JetStream context, perhaps an ordered consumer, and what its callbacks
// saw. libnats calls back from threads of its own: the destructor closes the connection and
// waits for the last calls (closed, subscription complete) before it frees what they use.
struct Client {
	natsConnection *nc = nullptr;
	jsCtx *js = nullptr;
	natsSubscription *sub = nullptr;
	Received got;
	std::atomic<bool> connected{false}, closed{false}, sub_complete{false};
	std::mutex mu;
	std::string events;	// for the message of a failed test

	Client() = default;
	Client(const Client &) = delete;
	Client &operator=(const Client &) = delete;
	~Client();
	void note(const std::string &what);
	std::string dump();
};

void wait_for(const std::atomic<bool> &flag, int timeout_ms)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(timeout_ms);
	while (!flag && tt::now_ms() < end)
		usleep(1000);
}

Client::~Client()
{
	if (nc != nullptr) {
		natsConnection_Close(nc);
		wait_for(closed, 5000);
		if (sub != nullptr)
			wait_for(sub_complete, 5000);
	}
	natsSubscription_Destroy(sub);
	if (js != nullptr)
		jsCtx_Destroy(js);
	natsConnection_Destroy(nc);
}

void Client::note(const std::string &what)
{
	std::lock_guard<std::mutex> g(mu);
	events += "  " + std::to_string(tt::now_ms() % 100000) + " " + what + "\n";
}

std::string Client::dump()
{
	std::lock_guard<std::mutex> g(mu);
	return events;
}

void on_connected(natsConnection *, void *closure)
{
	auto *cl = static_cast<Client *>(closure);
	cl->note("connected");
	cl->connected = true;
}

void on_disconnected(natsConnection *, void *closure) { static_cast<Client *>(closure)->note("disconnected"); }

void on_reconnected(natsConnection *nc, void *closure)
{
	char url[128] = "";
	natsConnection_GetConnectedUrl(nc, url, sizeof url);
	static_cast<Client *>(closure)->note(std::string("reconnected to ") + url);
}

void on_closed(natsConnection *, void *closure)
{
	auto *cl = static_cast<Client *>(closure);
	cl->note("closed");
	cl->closed = true;
}

void on_error(natsConnection *, natsSubscription *, natsStatus err, void *closure)
{
	static_cast<Client *>(closure)->note(std::string("error: ") + natsStatus_GetText(err));
}

// Options that reconnect for ever, 100 ms apart, with cl's callbacks; nullptr on failure.
natsOptions *client_options(Client *cl)
{
	natsOptions *o = nullptr;
	if (natsOptions_Create(&o) != NATS_OK)
		return nullptr;
	if (natsOptions_SetMaxReconnect(o, -1) != NATS_OK || natsOptions_SetReconnectWait(o, 100) != NATS_OK ||
	    natsOptions_SetDisconnectedCB(o, on_disconnected, cl) != NATS_OK ||
	    natsOptions_SetReconnectedCB(o, on_reconnected, cl) != NATS_OK ||
	    natsOptions_SetClosedCB(o, on_closed, cl) != NATS_OK ||
	    natsOptions_SetErrorHandler(o, on_error, cl) != NATS_OK) {
		natsOptions_Destroy(o);
		return nullptr;
	}
	return o;
}

// Connects cl to node first, to fail over to the others.
bool connect_to(const tt::NatsCluster &c, size_t first, Client *cl)
{
	std::vector<std::string> urls = {c.url(first)};
	for (size_t i = 0; i < c.nodes.size(); i++)
		if (i != first)
			urls.push_back(c.url(i));
	std::vector<const char *> list;
	for (const auto &u : urls)
		list.push_back(u.c_str());
	natsOptions *o = client_options(cl);
	bool ok = o != nullptr && natsOptions_SetServers(o, list.data(), (int)list.size()) == NATS_OK &&
		  natsOptions_SetNoRandomize(o, true) == NATS_OK && natsConnection_Connect(&cl->nc, o) == NATS_OK &&
		  natsConnection_JetStream(&cl->js, cl->nc, nullptr) == NATS_OK;
	natsOptions_Destroy(o);
	return ok;
}

// Index of the node named by a cluster record ("n2" -> 1), -1 for none.
int node_index(const jsClusterInfo *ci)
{
	return ci != nullptr && ci->Leader != nullptr ? atoi(ci->Leader + 1) - 1 : -1;
}

// The stream of chat messages as the servers make it, on file storage with a two-minute
// window for duplicate message ids. Returns its leader's node, 0 without a cluster, -1 on failure.
int add_stream(jsCtx *js, int replicas)
{
	const char *subjects[] = {SUBJECT};
	jsStreamConfig sc;
	jsStreamConfig_Init(&sc);
	sc.Name = STREAM;
	sc.Subjects = subjects;
	sc.SubjectsLen = 1;
	sc.Storage = js_FileStorage;
	sc.Replicas = replicas;
	sc.Duplicates = 120 * NS_PER_S;
	jsStreamInfo *si = nullptr;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus s = js_AddStream(&si, js, &sc, nullptr, &jerr);
	int leader = s == NATS_OK ? std::max(node_index(si->Cluster), 0) : -1;
	if (s != NATS_OK)
		fprintf(stderr, "js_AddStream: %s, jsErrCode %d: %s\n", natsStatus_GetText(s), (int)jerr,
			nats_GetLastError(nullptr));
	jsStreamInfo_Destroy(si);
	return leader;
}

int consumer_node(natsSubscription *sub)
{
	jsConsumerInfo *ci = nullptr;
	int node = natsSubscription_GetConsumerInfo(&ci, sub, nullptr, nullptr) == NATS_OK ? node_index(ci->Cluster) : -1;
	jsConsumerInfo_Destroy(ci);
	return node;
}

void on_chat(natsConnection *, natsSubscription *, natsMsg *msg, void *closure)
{
	auto *r = static_cast<Received *>(closure);
	std::string payload(natsMsg_GetData(msg), (size_t)natsMsg_GetDataLength(msg));
	jsMsgMetaData *meta = nullptr;
	natsMsg_GetMetaData(&meta, msg);
	{
		std::lock_guard<std::mutex> g(r->mu);
		r->numbers.push_back(atoi(payload.c_str()));
		r->stream_seq_ok = r->stream_seq_ok && meta != nullptr && meta->Sequence.Stream == r->stream_seq + 1;
		r->stream_seq = meta != nullptr ? meta->Sequence.Stream : 0;
		int64_t now = tt::now_ms();
		if (r->last_ms > 0)
			r->longest_pause_ms = std::max(r->longest_pause_ms, now - r->last_ms);
		r->last_ms = now;
	}
	jsMsgMetaData_Destroy(meta);
	natsMsg_Destroy(msg);
}

void on_sub_complete(void *closure) { static_cast<Client *>(closure)->sub_complete = true; }

// Subscribes cl with an ordered consumer to the messages stored from now on.
bool subscribe_ordered(Client *cl)
{
	jsSubOptions so;
	jsSubOptions_Init(&so);
	so.Stream = STREAM;
	so.Ordered = true;
	so.Config.DeliverPolicy = js_DeliverNew;
	so.Config.Heartbeat = CONSUMER_HEARTBEAT_NS;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus s = js_Subscribe(&cl->sub, cl->js, SUBJECT, on_chat, &cl->got, nullptr, &so, &jerr);
	if (s != NATS_OK)
		fprintf(stderr, "js_Subscribe: %s, jsErrCode %d: %s\n", natsStatus_GetText(s), (int)jerr,
			nats_GetLastError(nullptr));
	return s == NATS_OK && natsSubscription_SetOnCompleteCB(cl->sub, on_sub_complete, cl) == NATS_OK;
}

// How publishing went.
struct Published {
	std::map<std::string, int> failures;	// "status, jsErrCode n" -> count
	int64_t first_failure_ms = -1, last_failure_ms = -1;
	int duplicates = 0;	// acknowledgements that the stream had the message already
};

// Publishes message number i with the id "m-<i>", again with the same id until acknowledged.
bool publish_until_acked(jsCtx *js, int i, Published *p)
{
	char id[32], payload[32];
	snprintf(id, sizeof id, "m-%d", i);
	int n = snprintf(payload, sizeof payload, "%d", i);
	int64_t end = tt::now_ms() + tt::scaled_ms(30000);
	while (tt::now_ms() < end) {
		natsMsg *m = nullptr;
		if (natsMsg_Create(&m, SUBJECT, nullptr, payload, n) != NATS_OK)
			return false;
		jsPubOptions po;
		jsPubOptions_Init(&po);
		po.MsgId = id;
		po.MaxWait = 2000;
		jsPubAck *ack = nullptr;
		jsErrCode jerr = (jsErrCode)0;
		int64_t t = tt::now_ms();
		natsStatus s = js_PublishMsg(&ack, js, m, &po, &jerr);
		natsMsg_Destroy(m);
		if (s == NATS_OK) {
			p->duplicates += ack->Duplicate ? 1 : 0;
			jsPubAck_Destroy(ack);
			return true;
		}
		p->failures[std::string(natsStatus_GetText(s)) + ", jsErrCode " + std::to_string((int)jerr)]++;
		if (p->first_failure_ms < 0)
			p->first_failure_ms = t;
		p->last_failure_ms = tt::now_ms();
		usleep(50000);
	}
	return false;
}

bool wait_until(const std::atomic<int> &value, int want, const std::atomic<bool> &gave_up)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(60000);
	while (value < want && !gave_up && tt::now_ms() < end)
		usleep(1000);
	return value >= want;
}

// Publishes MESSAGES from a thread of its own, kills node victim once KILL_AT of them are
// acknowledged and restarts it once RESTART_AT are. Returns the time of the kill.
int64_t publish_through_a_kill(tt::NatsCluster *c, jsCtx *js, size_t victim, Published *p)
{
	std::atomic<int> acked{0};
	std::atomic<bool> gave_up{false};
	std::thread publisher([&] {
		for (int i = 0; i < MESSAGES && !gave_up; i++) {
			if (!publish_until_acked(js, i, p))
				gave_up = true;
			else
				acked = i + 1;
		}
	});
	int64_t killed_at = 0;
	if (wait_until(acked, KILL_AT, gave_up)) {
		killed_at = tt::now_ms();
		tt::kill_nats_node(c, victim, SIGKILL);
	}
	bool restarted = wait_until(acked, RESTART_AT, gave_up);
	int64_t t = tt::now_ms();
	restarted = restarted && tt::restart_nats_node(c, victim);
	printf("n%zu back after %" PRId64 " ms\n", victim + 1, tt::now_ms() - t);
	if (!restarted)
		gave_up = true;
	publisher.join();
	EXPECT_TRUE(restarted);
	EXPECT_EQ(acked, MESSAGES) << "message " << acked << " was never acknowledged";
	return killed_at;
}

// Waits until r holds want messages and a little longer, for doubles; then they must be
// 0..want-1 in this order.
void expect_each_once_in_order(Received *r, int want)
{
	int64_t end = tt::now_ms() + tt::scaled_ms(30000);
	while (r->count() < (size_t)want && tt::now_ms() < end)
		usleep(10000);
	usleep(300000);
	std::lock_guard<std::mutex> g(r->mu);
	std::vector<int> seen(want, 0);
	size_t first_out_of_place = r->numbers.size();
	for (size_t i = 0; i < r->numbers.size(); i++) {
		int n = r->numbers[i];
		if (n >= 0 && n < want)
			seen[n]++;
		if (n != (int)i && first_out_of_place == r->numbers.size())
			first_out_of_place = i;
	}
	int missing = 0, doubled = 0;
	for (int k : seen) {
		missing += k == 0;
		doubled += k > 1;
	}
	EXPECT_EQ(missing, 0);
	EXPECT_EQ(doubled, 0);
	EXPECT_EQ(first_out_of_place, r->numbers.size())
		<< "position " << first_out_of_place << " holds " << r->numbers[first_out_of_place];
	EXPECT_TRUE(r->stream_seq_ok);
}

// What the publisher met after the kill at killed_at.
std::string describe(const Published &p, int64_t killed_at)
{
	if (p.first_failure_ms < 0)
		return "no publish failed";
	std::string s = "publishes failed from +" + std::to_string(p.first_failure_ms - killed_at) + " to +" +
			std::to_string(p.last_failure_ms - killed_at) + " ms:";
	for (const auto &f : p.failures)
		s += " " + f.first + " (" + std::to_string(f.second) + ")";
	return s + "; " + std::to_string(p.duplicates) + " retried message(s) acknowledged as duplicates";
}

class NatsTest : public ::testing::Test {
protected:
	explicit NatsTest(size_t nodes) : nodes_(nodes) {}
	void SetUp() override
	{
		if (!tt::nats_available())
			GTEST_SKIP() << "nats-server is not installed";
		int64_t t = tt::now_ms();
		ASSERT_TRUE(tt::start_nats_cluster(nodes_, &cluster));
		printf("%zu node(s) ready after %" PRId64 " ms\n", nodes_, tt::now_ms() - t);
	}
	void TearDown() override
	{
		if (HasFailure())
			printf("%s", tt::nats_logs(cluster).c_str());
		tt::stop_nats_cluster(&cluster);
	}
	size_t nodes_;
	tt::NatsCluster cluster;
};

class NatsClusterTest : public NatsTest {
protected:
	NatsClusterTest() : NatsTest(3) {}
};

class NatsNodeTest : public NatsTest {
protected:
	NatsNodeTest() : NatsTest(1) {}
};

TEST_F(NatsClusterTest, StreamTakesEachMessageOnceWhileThePublishersNodeAndItsLeaderDie)
{
	Client admin;
	ASSERT_TRUE(connect_to(cluster, 0, &admin));
	int leader = add_stream(admin.js, 3);
	ASSERT_GE(leader, 0);
	size_t victim = (size_t)leader;
	Client pub, sub;
	ASSERT_TRUE(connect_to(cluster, victim, &pub));
	ASSERT_TRUE(connect_to(cluster, (victim + 1) % 3, &sub));
	ASSERT_TRUE(subscribe_ordered(&sub));
	int consumer_at = consumer_node(sub.sub);

	Published p;
	int64_t killed_at = publish_through_a_kill(&cluster, pub.js, victim, &p);
	expect_each_once_in_order(&sub.got, MESSAGES);
	printf("n%zu killed (stream leader, publisher's node; consumer on n%d): %s; longest pause in delivery %" PRId64
	       " ms\n", victim + 1, consumer_at + 1, describe(p, killed_at).c_str(), sub.got.longest_pause_ms);

	// The stream, whichever node leads it now, still knows the ids stored before the kill.
	Published again;
	for (int i : {0, KILL_AT - 1, MESSAGES - 1})
		EXPECT_TRUE(publish_until_acked(pub.js, i, &again));
	EXPECT_EQ(again.duplicates, 3);
	expect_each_once_in_order(&sub.got, MESSAGES);
	if (HasFailure())
		printf("publisher:\n%ssubscriber:\n%s", pub.dump().c_str(), sub.dump().c_str());
}

TEST_F(NatsClusterTest, OrderedConsumerSeesEachMessageOnceWhileItsNodeDies)
{
	Client admin;
	ASSERT_TRUE(connect_to(cluster, 0, &admin));
	int leader = add_stream(admin.js, 3);
	ASSERT_GE(leader, 0);
	size_t victim = ((size_t)leader + 1) % 3;
	Client pub, sub;
	ASSERT_TRUE(connect_to(cluster, (size_t)leader, &pub));
	ASSERT_TRUE(connect_to(cluster, victim, &sub));
	ASSERT_TRUE(subscribe_ordered(&sub));
	int consumer_at = consumer_node(sub.sub);

	Published p;
	int64_t killed_at = publish_through_a_kill(&cluster, pub.js, victim, &p);
	expect_each_once_in_order(&sub.got, MESSAGES);
	printf("n%zu killed (subscriber's node; consumer on n%d): %s; longest pause in delivery %" PRId64 " ms\n",
	       victim + 1, consumer_at + 1, describe(p, killed_at).c_str(), sub.got.longest_pause_ms);
	if (HasFailure())
		printf("publisher:\n%ssubscriber:\n%s", pub.dump().c_str(), sub.dump().c_str());
}

// A server may start before NATS: the connection comes when the node does.
TEST_F(NatsNodeTest, ConnectionAskedForWhileNoServerIsUpComesWithIt)
{
	tt::kill_nats_node(&cluster, 0);
	Client cl;
	natsOptions *o = client_options(&cl);
	ASSERT_NE(o, nullptr);
	natsOptions_SetURL(o, cluster.url(0).c_str());
	natsOptions_SetRetryOnFailedConnect(o, true, on_connected, &cl);
	natsStatus s = natsConnection_Connect(&cl.nc, o);
	natsOptions_Destroy(o);
	ASSERT_EQ(s, NATS_NOT_YET_CONNECTED);
	ASSERT_NE(cl.nc, nullptr);

	ASSERT_TRUE(tt::restart_nats_node(&cluster, 0));
	wait_for(cl.connected, 10000);
	ASSERT_TRUE(cl.connected);
	ASSERT_EQ(natsConnection_JetStream(&cl.js, cl.nc, nullptr), NATS_OK);
	ASSERT_EQ(add_stream(cl.js, 1), 0);
	Published p;
	EXPECT_TRUE(publish_until_acked(cl.js, 0, &p));
	EXPECT_TRUE(p.failures.empty());
}

}  // namespace
