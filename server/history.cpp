// The kept conversation in memory, and the answer to a get-history request.
#include "server/history.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "common/holders.h"
#include "server/charsets.h"
#include "server/server-internal.h"

namespace {

// One kept message; the text follows in the same allocation.
struct HistoryEntry {
	int64_t time;
	int32_t kind;
	uint8_t from_length, to_length, encoding_length;
	char from_user[LOCAL_NAME_FIELD];
	char to_user[8];
	char encoding[LOCAL_ENCODING_MAX + 1];
	size_t text_length;
};

const char *entry_text(const HistoryEntry *e) { return reinterpret_cast<const char *>(e + 1); }

struct RingSlot {
	HistoryEntry *entry;
};

// The ring of kept messages: count entries from first, oldest first.
struct HistoryStore {
	RingSlot *ring;
	uint32_t capacity;	// the most messages kept; 0: keeping is off
	uint32_t first;
	uint32_t count;
	size_t max_bytes;	// the most text bytes kept
	size_t bytes;		// text bytes kept now
};

HistoryStore store;

void drop_oldest(void)
{
	HistoryEntry *e = store.ring[store.first].entry;
	store.bytes -= e->text_length;
	free(e);
	store.ring[store.first].entry = nullptr;
	store.first = (store.first + 1) % store.capacity;
	store.count--;
}

// A limit from the environment: decimal digits up to limit, else the default (logged).
uint64_t limit_from_environment(const char *name, uint64_t fallback, uint64_t limit)
{
	const char *v = getenv(name);
	if (v == nullptr)
		return fallback;
	uint64_t n = 0;
	const char *p = v;
	for (; *p >= '0' && *p <= '9' && n <= limit; p++)
		n = n * 10 + (uint64_t)(*p - '0');
	if (p == v || *p != '\0' || n > limit) {
		syslog(LOG_WARNING, "history: %s=%s is not a number from 0 to %llu, using %llu", name, v,
		       (unsigned long long)limit, (unsigned long long)fallback);
		return fallback;
	}
	return n;
}

HistoryEntry *entry_at(uint32_t i)
{
	return store.ring[(store.first + i) % store.capacity].entry;
}

// Sends one kept message to fd, converted for its session; false when nothing was sent.
bool send_history_message(int fd, const HistoryEntry *e)
{
	std::string_view text(entry_text(e), e->text_length);
	const char *from_encoding = e->encoding_length > 0 ? e->encoding : nullptr;
	const char *to_encoding = server.slots[fd].encoding;
	MallocPtr<MessageRecord> converted;
	if (needs_conversion(from_encoding, e->kind, to_encoding)) {
		MessageRecord *rec = nullptr;
		int r = convert_plain_text(listed_charset(from_encoding), to_encoding, text, LOCAL_HISTORY_TEXT_MAX, &rec);
		converted.reset(rec);
		if (r == CONVERT_FAILED)
			syslog_perror("send_history: failed to convert text encoding from %s to %s", from_encoding,
				      to_encoding);
		else if (r == CONVERT_DONE)
			text = std::string_view(message_record_text(rec), (size_t)rec->text_length);
	}
	size_t size;
	MallocPtr<unsigned char> packet(local_packet_build_history_message(
	    e->time, std::string_view(e->from_user, e->from_length), std::string_view(e->to_user, e->to_length), e->kind,
	    text, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "send_history: out of memory");
		return false;
	}
	client_send(fd, packet.get(), size, SEND_HISTORY, fd);
	return true;
}

}  // namespace

bool history_store_add(const HistoryRecord &r)
{
	if (store.capacity == 0 || r.text.size() > store.max_bytes / 4 || !history_record_valid(r))
		return false;
	auto *e = static_cast<HistoryEntry *>(calloc(1, sizeof(HistoryEntry) + r.text.size()));
	if (e == nullptr) {
		syslog(LOG_ERR, "history: out of memory");
		return false;
	}
	e->time = r.time;
	e->kind = r.kind;
	e->from_length = (uint8_t)r.from_user.size();
	e->to_length = (uint8_t)r.to_user.size();
	e->encoding_length = (uint8_t)r.encoding.size();
	memcpy(e->from_user, r.from_user.data(), r.from_user.size());
	memcpy(e->to_user, r.to_user.data(), r.to_user.size());
	memcpy(e->encoding, r.encoding.data(), r.encoding.size());
	e->text_length = r.text.size();
	if (!r.text.empty())
		memcpy(e + 1, r.text.data(), r.text.size());
	while (store.count > 0 && (store.count == store.capacity || store.bytes + e->text_length > store.max_bytes))
		drop_oldest();
	store.ring[(store.first + store.count) % store.capacity].entry = e;
	store.count++;
	store.bytes += e->text_length;
	return true;
}

uint32_t history_store_count(void) { return store.count; }
uint32_t history_store_max_messages(void) { return store.capacity; }
size_t history_store_max_bytes(void) { return store.max_bytes; }

HistoryRecord history_store_at(uint32_t i)
{
	const HistoryEntry *e = entry_at(i);
	HistoryRecord r;
	r.time = e->time;
	r.from_user = std::string_view(e->from_user, e->from_length);
	r.to_user = std::string_view(e->to_user, e->to_length);
	r.kind = e->kind;
	r.encoding = std::string_view(e->encoding, e->encoding_length);
	r.text = std::string_view(entry_text(e), e->text_length);
	return r;
}

void history_init(void)
{
	uint32_t messages = (uint32_t)limit_from_environment(HISTORY_MESSAGES_VARIABLE, HISTORY_MESSAGES_DEFAULT,
							     HISTORY_MESSAGES_LIMIT);
	size_t bytes = (size_t)limit_from_environment(HISTORY_BYTES_VARIABLE, HISTORY_BYTES_DEFAULT, HISTORY_BYTES_LIMIT);
	store = {};
	if (messages == 0 || bytes == 0) {
		syslog(LOG_INFO, "history: off");
		return;
	}
	store.ring = static_cast<RingSlot *>(calloc(messages, sizeof(RingSlot)));
	if (store.ring == nullptr) {
		syslog(LOG_ERR, "history: out of memory, history off");
		return;
	}
	store.capacity = messages;
	store.max_bytes = bytes;
	history_file_load();
}

void history_keep(int64_t when, const char *sender, const MessageView &m, const char *encoding)
{
	HistoryRecord r;
	r.time = when;
	r.from_user = sender;
	r.to_user = m.to_user;
	r.kind = m.kind;
	r.encoding = encoding != nullptr ? encoding : "";
	r.text = m.text;
	if (history_store_add(r))
		history_file_append(r);
}

int handle_get_history(int fd, unsigned char *, const LocalPacketView &packet)
{
	uint32_t max;
	if (local_parse_u32(packet, &max) < 0)
		return -1;
	if (server.slots[fd].user[0] == '\0') {
		syslog(LOG_NOTICE, "client fd %d asking for history without login", fd);
		return 0;
	}
	uint32_t n = store.count;
	if (max != 0 && max < n)
		n = max;
	uint32_t sent = 0;
	for (uint32_t i = store.count - n; i < store.count && !client_has(fd, CLIENT_FAILED); i++)
		if (send_history_message(fd, entry_at(i)))
			sent++;
	size_t size;
	MallocPtr<unsigned char> end(local_packet_build_history_end(sent, &size));
	if (end == nullptr) {
		syslog(LOG_ERR, "send_history: out of memory");
		return 0;
	}
	client_send(fd, end.get(), size, SEND_HISTORY, fd);
	return 0;
}
