// The connection to NATS: settings, the two sending threads, the subscriptions whose callbacks
// queue what arrives, and the wake-up descriptor of the server's loop. The loop's thread only
// ever takes a lock to move a payload in or out of a queue.
#include "server/bus.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nats/nats.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include "common/holders.h"
#include "protocol/bus-protocol.h"

namespace {

constexpr const char CHAT_SUBJECT[] = "tolvar.chat";
constexpr const char PRESENCE_SUBJECT[] = "tolvar.presence";
constexpr const char STREAM_NAME[] = "TOLVAR";
constexpr int MAX_URLS = 16;
constexpr int64_t RECONNECT_WAIT_MS = 500;
constexpr int64_t PING_INTERVAL_MS = 2000;
constexpr int MAX_PINGS_OUT = 3;
constexpr int RECONNECT_BUFFER_BYTES = 8 * 1024 * 1024;
// How long one publication to the stream waits for its acknowledgement, and the pause before
// it is tried again (with the same id, so the stream keeps one copy).
constexpr int64_t PUBLISH_WAIT_MS = 5000;
constexpr useconds_t RETRY_PAUSE_US = 200 * 1000;
constexpr unsigned int SETUP_PAUSE_SECONDS = 1;
// What the stream keeps: a day of chat within a gigabyte, oldest dropped first; publications
// retried within two minutes are stored once.
constexpr int64_t STREAM_MAX_AGE_NS = (int64_t)24 * 3600 * 1000000000;
constexpr int64_t STREAM_MAX_BYTES = (int64_t)1024 * 1024 * 1024;
constexpr int64_t STREAM_DUPLICATE_WINDOW_NS = (int64_t)120 * 1000000000;
constexpr int MAX_REPLICAS = 3;
constexpr int64_t CONSUMER_HEARTBEAT_NS = 1000000000;
// The most bytes each queue holds; beyond them a payload is dropped.
constexpr size_t OUT_QUEUE_BYTES = (size_t)64 * 1024 * 1024;
constexpr size_t IN_QUEUE_BYTES = (size_t)256 * 1024 * 1024;
constexpr size_t MSG_ID_SIZE = 96;
// The room for batches that the sending thread keeps between them.
constexpr size_t BATCH_ROOM_KEPT = (size_t)256 * 1024;

struct Queue {
	pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
	pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
	BusPayload *head = nullptr;
	BusPayload *tail = nullptr;
	size_t bytes = 0;
	size_t limit = 0;
};

struct Bus {
	bool active = false;
	char name[BUS_SERVER_NAME_MAX + 1] = "";
	uint64_t boot = 0;
	int wakeup_fd = -1;
	int replicas = 1;
	bool resume = false;		// whether this server left off somewhere in the stream
	uint64_t resume_after = 0;	// the stream's sequence where it left off
	std::atomic<uint64_t> missed_until{0};	// the stream's last sequence when reading began
	std::atomic<int64_t> read_after{-1};	// the sequence reading began after; -1: not yet
	natsConnection *nc = nullptr;
	jsCtx *js = nullptr;
	Queue presence_out;
	Queue chat_out;
	Queue in;
	std::atomic<uint64_t> sent{0};
	std::atomic<uint64_t> received{0};
	std::atomic<uint64_t> dropped{0};
	std::atomic<bool> connected{false};
};

Bus bus;

// Appends p; false (p not taken) when the queue is full.
bool queue_push(Queue *q, BusPayload *p)
{
	pthread_mutex_lock(&q->mu);
	bool fits = q->bytes + p->size <= q->limit;
	if (fits) {
		p->next = nullptr;
		if (q->tail != nullptr)
			q->tail->next = p;
		else
			q->head = p;
		q->tail = p;
		q->bytes += p->size;
		pthread_cond_signal(&q->ready);
	}
	pthread_mutex_unlock(&q->mu);
	return fits;
}

// The first payload, left in the queue (wait: until there is one).
BusPayload *queue_peek(Queue *q, bool wait)
{
	pthread_mutex_lock(&q->mu);
	while (wait && q->head == nullptr)
		pthread_cond_wait(&q->ready, &q->mu);
	BusPayload *p = q->head;
	pthread_mutex_unlock(&q->mu);
	return p;
}

// Removes and returns the first payload, nullptr when there is none.
BusPayload *queue_pop(Queue *q)
{
	pthread_mutex_lock(&q->mu);
	BusPayload *p = q->head;
	if (p != nullptr) {
		q->head = p->next;
		if (q->head == nullptr)
			q->tail = nullptr;
		q->bytes -= p->size;
	}
	pthread_mutex_unlock(&q->mu);
	return p;
}

void drop(const char *what, BusPayload *p)
{
	uint64_t n = bus.dropped.fetch_add(1) + 1;
	// The first of a run and then every thousandth, so a long outage does not flood the log.
	if (n == 1 || n % 1000 == 0)
		syslog(LOG_WARNING, "bus: %s, %zu bytes dropped (%llu dropped in all)", what, p->size,
		       (unsigned long long)n);
	free(p);
}

// Called by the bus client's threads for every payload that arrives.
void receive(natsMsg *msg, uint8_t channel, uint64_t sequence)
{
	size_t size = (size_t)natsMsg_GetDataLength(msg);
	BusPayload *p = bus_payload_new(size);
	if (p == nullptr) {
		syslog(LOG_ERR, "bus: out of memory for a received payload");
		return;
	}
	memcpy(p->data, natsMsg_GetData(msg), size);
	p->channel = channel;
	p->sequence = sequence;
	if (!queue_push(&bus.in, p)) {
		drop("receiving queue full", p);
		return;
	}
	uint64_t one = 1;
	if (write(bus.wakeup_fd, &one, sizeof one) < 0 && errno != EAGAIN)
		syslog(LOG_ERR, "bus: wake-up: %s", strerror(errno));
}

void on_presence(natsConnection *, natsSubscription *, natsMsg *msg, void *)
{
	receive(msg, BUS_CHANNEL_PRESENCE, 0);
	natsMsg_Destroy(msg);
}

void on_chat(natsConnection *, natsSubscription *, natsMsg *msg, void *)
{
	jsMsgMetaData *meta = nullptr;
	if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
		receive(msg, BUS_CHANNEL_CHAT, meta->Sequence.Stream);
		jsMsgMetaData_Destroy(meta);
	}
	natsMsg_Destroy(msg);
}

void on_disconnected(natsConnection *, void *)
{
	bus.connected = false;
	syslog(LOG_WARNING, "bus: connection lost; local chat goes on");
}

void on_reconnected(natsConnection *nc, void *)
{
	char url[256] = "";
	natsConnection_GetConnectedUrl(nc, url, sizeof url);
	bus.connected = true;
	syslog(LOG_NOTICE, "bus: connected to %s", url);
}

void on_error(natsConnection *, natsSubscription *, natsStatus err, void *)
{
	syslog(LOG_WARNING, "bus: %s", natsStatus_GetText(err));
}

// Creates the stream when it does not exist yet. True when it is there.
bool ensure_stream()
{
	const char *subjects[] = {CHAT_SUBJECT};
	jsStreamConfig cfg;
	jsStreamConfig_Init(&cfg);
	cfg.Name = STREAM_NAME;
	cfg.Subjects = subjects;
	cfg.SubjectsLen = 1;
	cfg.Storage = js_FileStorage;
	cfg.Replicas = bus.replicas;
	cfg.MaxAge = STREAM_MAX_AGE_NS;
	cfg.MaxBytes = STREAM_MAX_BYTES;
	cfg.Discard = js_DiscardOld;
	cfg.Duplicates = STREAM_DUPLICATE_WINDOW_NS;
	jsStreamInfo *si = nullptr;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus s = js_AddStream(&si, bus.js, &cfg, nullptr, &jerr);
	jsStreamInfo_Destroy(si);
	if (s == NATS_OK || jerr == JSStreamNameExistErr)
		return true;
	syslog(LOG_WARNING, "bus: cannot create the stream %s with %d replicas: %s (%d)", STREAM_NAME, bus.replicas,
	       natsStatus_GetText(s), (int)jerr);
	return false;
}

// The sequence to read the stream after: where this server left off, unless the stream no
// longer reaches that far (it was made anew), else its last message now. False when the
// stream cannot be asked.
bool start_after(uint64_t *after)
{
	jsStreamInfo *si = nullptr;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus s = js_GetStreamInfo(&si, bus.js, STREAM_NAME, nullptr, &jerr);
	uint64_t last = s == NATS_OK ? si->State.LastSeq : 0;
	jsStreamInfo_Destroy(si);
	if (s != NATS_OK) {
		syslog(LOG_WARNING, "bus: cannot ask the stream %s: %s (%d)", STREAM_NAME, natsStatus_GetText(s),
		       (int)jerr);
		return false;
	}
	if (bus.resume && bus.resume_after > last)
		syslog(LOG_WARNING, "bus: the stream ends at %llu, before %llu where this server left off; reading on",
		       (unsigned long long)last, (unsigned long long)bus.resume_after);
	if (bus.resume && bus.resume_after <= last) {
		bus.missed_until = last;
		*after = bus.resume_after;
	} else {
		*after = last;
	}
	bus.read_after = (int64_t)*after;
	return true;
}

// Reads the stream in its order, from where this server left off (the messages it missed
// while it was away) or from now on; the ordered consumer resumes after the last message it
// delivered when its connection or its NATS node goes.
bool subscribe_chat()
{
	jsSubOptions so;
	jsSubOptions_Init(&so);
	so.Stream = STREAM_NAME;
	so.Ordered = true;
	uint64_t after = 0;
	if (!start_after(&after))
		return false;
	so.Config.DeliverPolicy = js_DeliverByStartSequence;
	so.Config.OptStartSeq = after + 1;
	// A consumer lost with its NATS node is noticed by missed heartbeats and made anew.
	so.Config.Heartbeat = CONSUMER_HEARTBEAT_NS;
	natsSubscription *sub = nullptr;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus s = js_Subscribe(&sub, bus.js, CHAT_SUBJECT, on_chat, nullptr, nullptr, &so, &jerr);
	if (s != NATS_OK) {
		syslog(LOG_WARNING, "bus: cannot read the stream %s: %s (%d)", STREAM_NAME, natsStatus_GetText(s),
		       (int)jerr);
		return false;
	}
	natsSubscription_SetPendingLimits(sub, -1, -1);
	return true;
}

// Publishes one batch to the stream until it is stored (or can never be); the id makes the
// stream keep one copy however often it is tried.
void publish_batch(const unsigned char *data, size_t size, uint64_t batch, int messages)
{
	char id[MSG_ID_SIZE];
	snprintf(id, sizeof id, "%s-%016llx-%llu", bus.name, (unsigned long long)bus.boot, (unsigned long long)batch);
	jsPubOptions po;
	jsPubOptions_Init(&po);
	po.MsgId = id;
	po.MaxWait = PUBLISH_WAIT_MS;
	bool failing = false;
	for (;;) {
		jsPubAck *ack = nullptr;
		jsErrCode jerr = (jsErrCode)0;
		natsStatus s = js_Publish(&ack, bus.js, CHAT_SUBJECT, data, (int)size, &po, &jerr);
		jsPubAck_Destroy(ack);
		if (s == NATS_OK) {
			bus.sent += (uint64_t)messages;
			if (failing)
				syslog(LOG_NOTICE, "bus: the stream takes messages again");
			return;
		}
		if (s == NATS_MAX_PAYLOAD || jerr == JSStreamMessageExceedsMaximumErr) {
			syslog(LOG_WARNING, "bus: %d messages of %zu bytes in all are too large for the bus", messages,
			       size);
			bus.dropped += (uint64_t)messages;
			return;
		}
		if (!failing)
			syslog(LOG_WARNING, "bus: the stream does not take messages now: %s (%d); trying again",
			       natsStatus_GetText(s), (int)jerr);
		failing = true;
		usleep(RETRY_PAUSE_US);
	}
}

// Appends the first payload of the chat queue to the batch (growing its room) and frees it.
// False when there is no memory for it: the payload stays queued.
bool take_into_batch(unsigned char **batch, size_t *room, size_t *size, const BusPayload *p)
{
	size_t need = *size + bus_batch_entry_size(p->size);
	if (need > *room) {
		auto *grown = static_cast<unsigned char *>(realloc(*batch, need));
		if (grown == nullptr)
			return false;
		*batch = grown;
		*room = need;
	}
	bus_write_batch_entry(*batch + *size, p->data, p->size);
	*size = need;
	free(queue_pop(&bus.chat_out));
	return true;
}

// Sends the chat queue in batches: whatever waits when the stream has acknowledged the last
// batch goes out as the next, in order, up to the largest payload the bus takes.
void *chat_sender(void *)
{
	while (!ensure_stream() || !subscribe_chat())
		sleep(SETUP_PAUSE_SECONDS);
	syslog(LOG_NOTICE, "bus: the stream %s is ready", STREAM_NAME);
	unsigned char *batch = nullptr;
	size_t room = 0;
	for (uint64_t number = 1;; number++) {
		(void)queue_peek(&bus.chat_out, true);
		size_t limit = bus_max_payload();
		size_t size = 0;
		int messages = 0;
		for (const BusPayload *p = queue_peek(&bus.chat_out, false); p != nullptr;
		     p = queue_peek(&bus.chat_out, false)) {
			if (messages > 0 && size + bus_batch_entry_size(p->size) > limit)
				break;
			if (!take_into_batch(&batch, &room, &size, p)) {
				if (messages > 0)
					break;
				drop("no memory for a batch", queue_pop(&bus.chat_out));
				continue;
			}
			messages++;
		}
		if (messages > 0)
			publish_batch(batch, size, number, messages);
		// The room of a large batch goes back rather than staying with the thread.
		if (room > BATCH_ROOM_KEPT) {
			free(batch);
			batch = nullptr;
			room = 0;
		}
	}
	return nullptr;
}

void *presence_sender(void *)
{
	for (;;) {
		BusPayload *p = queue_peek(&bus.presence_out, true);
		(void)queue_pop(&bus.presence_out);
		natsStatus s = natsConnection_Publish(bus.nc, PRESENCE_SUBJECT, p->data, (int)p->size);
		if (s != NATS_OK) {
			drop(natsStatus_GetText(s), p);
			continue;
		}
		bus.sent++;
		free(p);
	}
	return nullptr;
}

// The short host name, when it can name a server.
void default_name(char *out, size_t size)
{
	char host[256] = "";
	gethostname(host, sizeof host - 1);
	host[strcspn(host, ".")] = '\0';
	snprintf(out, size, "%s", host);
}

// Splits the comma-separated urls into at most MAX_URLS pointers into it. Returns the count.
int split_urls(char *urls, const char **out)
{
	int n = 0;
	for (char *save = nullptr, *u = strtok_r(urls, ", ", &save); u != nullptr && n < MAX_URLS;
	     u = strtok_r(nullptr, ", ", &save))
		out[n++] = u;
	return n;
}

// The connection options from the environment; nullptr after printing why.
natsOptions *make_options(const char **urls, int count)
{
	natsOptions *opts = nullptr;
	if (natsOptions_Create(&opts) != NATS_OK)
		return nullptr;
	char client_name[BUS_SERVER_NAME_MAX + 16];
	snprintf(client_name, sizeof client_name, "tolvard %s", bus.name);
	natsStatus s = natsOptions_SetServers(opts, urls, count);
	if (s == NATS_OK)
		s = natsOptions_SetName(opts, client_name);
	if (s == NATS_OK)
		s = natsOptions_SetMaxReconnect(opts, -1);
	if (s == NATS_OK)
		s = natsOptions_SetReconnectWait(opts, RECONNECT_WAIT_MS);
	if (s == NATS_OK)
		s = natsOptions_SetRetryOnFailedConnect(opts, true, on_reconnected, nullptr);
	if (s == NATS_OK)
		s = natsOptions_SetNoEcho(opts, true);
	if (s == NATS_OK)
		s = natsOptions_SetPingInterval(opts, PING_INTERVAL_MS);
	if (s == NATS_OK)
		s = natsOptions_SetMaxPingsOut(opts, MAX_PINGS_OUT);
	if (s == NATS_OK)
		s = natsOptions_SetReconnectBufSize(opts, RECONNECT_BUFFER_BYTES);
	if (s == NATS_OK)
		s = natsOptions_SetDisconnectedCB(opts, on_disconnected, nullptr);
	if (s == NATS_OK)
		s = natsOptions_SetReconnectedCB(opts, on_reconnected, nullptr);
	if (s == NATS_OK)
		s = natsOptions_SetErrorHandler(opts, on_error, nullptr);
	const char *discovery = getenv(BUS_DISCOVERY_VARIABLE);
	if (s == NATS_OK && discovery != nullptr && strcmp(discovery, "0") == 0)
		s = natsOptions_SetIgnoreDiscoveredServers(opts, true);
	const char *creds = getenv(BUS_CREDENTIALS_VARIABLE);
	if (s == NATS_OK && creds != nullptr && creds[0] != '\0')
		s = natsOptions_SetUserCredentialsFromFiles(opts, creds, nullptr);
	const char *ca = getenv(BUS_CA_VARIABLE);
	if (s == NATS_OK && ca != nullptr && ca[0] != '\0') {
		s = natsOptions_SetSecure(opts, true);
		if (s == NATS_OK)
			s = natsOptions_LoadCATrustedCertificates(opts, ca);
	}
	const char *cert = getenv(BUS_CERT_VARIABLE);
	const char *key = getenv(BUS_KEY_VARIABLE);
	if (s == NATS_OK && cert != nullptr && cert[0] != '\0')
		s = natsOptions_LoadCertificatesChain(opts, cert, key != nullptr ? key : cert);
	if (s != NATS_OK) {
		fprintf(stderr, "tolvard: bus settings: %s\n", nats_GetLastError(nullptr));
		natsOptions_Destroy(opts);
		return nullptr;
	}
	return opts;
}

bool start_thread(void *(*run)(void *))
{
	pthread_t t;
	if (pthread_create(&t, nullptr, run, nullptr) != 0)
		return false;
	pthread_detach(t);
	return true;
}

}  // namespace

BusPayload *bus_payload_new(size_t size)
{
	auto *p = static_cast<BusPayload *>(malloc(sizeof(BusPayload) + size));
	if (p != nullptr) {
		p->next = nullptr;
		p->sequence = 0;
		p->size = size;
		p->channel = BUS_CHANNEL_PRESENCE;
	}
	return p;
}

int bus_start(bool resume, uint64_t resume_after)
{
	bus.resume = resume;
	bus.resume_after = resume_after;
	const char *setting = getenv(BUS_URL_VARIABLE);
	if (setting == nullptr || setting[0] == '\0')
		return 0;
	const char *name = getenv(BUS_NAME_VARIABLE);
	if (name != nullptr && name[0] != '\0')
		snprintf(bus.name, sizeof bus.name, "%s", name);
	else
		default_name(bus.name, sizeof bus.name);
	if (!bus_valid_server_name(bus.name)) {
		fprintf(stderr, "tolvard: %s: \"%s\" cannot name a server: 1 to 63 letters, digits, '_' or '-'\n",
			BUS_NAME_VARIABLE, bus.name);
		return -1;
	}
	MallocPtr<char> urls_copy(strdup(setting));	// split in place; the options copy the URLs
	const char *urls[MAX_URLS];
	int count = urls_copy != nullptr ? split_urls(urls_copy.get(), urls) : 0;
	if (count == 0) {
		fprintf(stderr, "tolvard: %s names no server\n", BUS_URL_VARIABLE);
		return -1;
	}
	// One replica per listed NATS server, at most three, unless the setting says otherwise.
	bus.replicas = count < MAX_REPLICAS ? count : MAX_REPLICAS;
	const char *replicas = getenv(BUS_REPLICAS_VARIABLE);
	if (replicas != nullptr && replicas[0] >= '1' && replicas[0] <= '5' && replicas[1] == '\0')
		bus.replicas = replicas[0] - '0';
	if (getrandom(&bus.boot, sizeof bus.boot, 0) != (ssize_t)sizeof bus.boot)
		bus.boot = (uint64_t)getpid() << 32 ^ (uint64_t)time(nullptr);
	bus.presence_out.limit = OUT_QUEUE_BYTES;
	bus.chat_out.limit = OUT_QUEUE_BYTES;
	bus.in.limit = IN_QUEUE_BYTES;
	bus.wakeup_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	if (bus.wakeup_fd < 0) {
		perror("eventfd");
		return -1;
	}
	natsOptions *opts = make_options(urls, count);
	if (opts == nullptr)
		return -1;
	natsStatus s = natsConnection_Connect(&bus.nc, opts);
	natsOptions_Destroy(opts);
	if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
		fprintf(stderr, "tolvard: bus: %s\n", nats_GetLastError(nullptr));
		return -1;
	}
	bus.connected = s == NATS_OK;
	if (s == NATS_OK)
		syslog(LOG_NOTICE, "bus: connected as server %s", bus.name);
	else
		syslog(LOG_WARNING, "bus: no NATS server reachable yet; local chat goes on");
	jsOptions jo;
	jsOptions_Init(&jo);
	jo.Wait = PUBLISH_WAIT_MS;
	natsSubscription *sub = nullptr;
	if (natsConnection_JetStream(&bus.js, bus.nc, &jo) != NATS_OK ||
	    natsConnection_Subscribe(&sub, bus.nc, PRESENCE_SUBJECT, on_presence, nullptr) != NATS_OK) {
		fprintf(stderr, "tolvard: bus: %s\n", nats_GetLastError(nullptr));
		return -1;
	}
	natsSubscription_SetPendingLimits(sub, -1, -1);
	if (!start_thread(chat_sender) || !start_thread(presence_sender)) {
		perror("pthread_create");
		return -1;
	}
	bus.active = true;
	return 1;
}

const char *bus_server_name(void)
{
	return bus.name;
}

uint64_t bus_boot(void)
{
	return bus.boot;
}

int bus_wakeup_fd(void)
{
	return bus.wakeup_fd;
}

void bus_send(BusPayload *p)
{
	Queue *q = p->channel == BUS_CHANNEL_CHAT ? &bus.chat_out : &bus.presence_out;
	if (!queue_push(q, p))
		drop("sending queue full", p);
}

BusPayload *bus_take(void)
{
	BusPayload *p = queue_pop(&bus.in);
	if (p != nullptr)
		return p;
	uint64_t n;
	while (read(bus.wakeup_fd, &n, sizeof n) > 0) {
	}
	// A payload queued between the pop and the read would otherwise wait for the next one.
	return queue_pop(&bus.in);
}

void bus_count_received(uint64_t messages)
{
	bus.received += messages;
}

uint64_t bus_missed_until(void)
{
	return bus.missed_until;
}

int64_t bus_read_after(void)
{
	return bus.read_after;
}

size_t bus_max_payload(void)
{
	int64_t max = bus.nc != nullptr ? natsConnection_GetMaxPayload(bus.nc) : 0;
	return max > 0 ? (size_t)max : (size_t)1024 * 1024;
}

void bus_counters(BusCounters *out)
{
	out->sent = bus.sent;
	out->received = bus.received;
	out->dropped = bus.dropped;
	out->connected = bus.connected;
}
