// Feeds arbitrary payloads to the parser of the messages servers send each other over the bus.
// Whatever parses holds only fields a receiver may use as they stand, lies inside the payload,
// and comes out of the builder as the same bytes (the format has one encoding per message); a
// snapshot yields exactly its count of entries. What does not parse leaves the message empty.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/user-name.h"
#include "fuzz/fuzz-support.h"
#include "protocol/bus-protocol.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 16;

struct Payload {
	const char *data;
	size_t size;
};

void check_inside(const Payload &p, std::string_view v)
{
	if (v.empty())
		return;
	FUZZ_CHECK(v.data() >= p.data && v.data() + v.size() <= p.data + p.size);
}

// A name a receiver copies into a fixed field and hands to the user-name rule as a C string.
bool user_name_ok(std::string_view name)
{
	if (name.empty() || name.size() >= LOCAL_NAME_FIELD || memchr(name.data(), 0, name.size()) != nullptr)
		return false;
	std::string copy(name);
	return is_valid_user_name(copy.c_str()) != 0;
}

bool host_ok(std::string_view host)
{
	return host.size() < LOCAL_HOST_FIELD && memchr(host.data(), 0, host.size()) == nullptr;
}

bool charset_ok(std::string_view charset)
{
	if (charset.size() > BUS_CHARSET_MAX)
		return false;
	for (char c : charset)
		if (!(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') &&
		    strchr("-_.:", c) == nullptr)
			return false;
	return true;
}

void check_empty(const BusMessage &m)
{
	FUZZ_CHECK(m.type == 0 && m.boot == 0 && m.event == 0 && m.session == 0 && m.when == 0 && m.kind == 0 &&
		   m.admin_uid == 0 && m.count == 0);
	FUZZ_CHECK(m.server.empty() && m.user.empty() && m.host.empty() && m.to.empty() && m.charset.empty() &&
		   m.text.empty() && m.entries.empty());
}

// Reads a snapshot's entries as a receiver does: exactly count of them, each valid, and the
// same bytes when written again.
void check_snapshot(const Payload &p, const BusMessage &m)
{
	std::string rewritten(m.entries.size(), '\0');
	auto *begin = reinterpret_cast<unsigned char *>(&rewritten[0]);
	unsigned char *w = begin;
	std::string_view rest = m.entries;
	uint32_t read = 0;
	BusSessionEntry e;
	while (bus_next_snapshot_entry(&rest, &e) == 0) {
		FUZZ_CHECK(read < m.count);
		read++;
		check_inside(p, e.user);
		check_inside(p, e.host);
		FUZZ_CHECK(user_name_ok(e.user) && host_ok(e.host));
		size_t n = bus_snapshot_entry_size(e);
		FUZZ_CHECK(n != 0 && (size_t)(w - begin) + n <= rewritten.size());
		w = bus_write_snapshot_entry(w, e);
	}
	FUZZ_CHECK(read == m.count && rest.empty());
	FUZZ_CHECK(w == begin + rewritten.size() && rewritten == m.entries);
	// The end stays the end.
	FUZZ_CHECK(bus_next_snapshot_entry(&rest, &e) < 0 && rest.empty());
}

// The fields of m's type hold what a receiver relies on.
void check_fields(const Payload &p, const BusMessage &m)
{
	for (std::string_view v : {m.server, m.user, m.host, m.to, m.charset, m.text, m.entries})
		check_inside(p, v);
	FUZZ_CHECK(bus_valid_server_name(m.server));
	switch (m.type) {
	case BUS_CHAT:
		FUZZ_CHECK(user_name_ok(m.user));
		FUZZ_CHECK(m.to == "GLOBAL" || m.to == "*" || user_name_ok(m.to));
		FUZZ_CHECK(charset_ok(m.charset));
		FUZZ_CHECK(m.text.size() <= LOCAL_MESSAGE_TEXT_MAX);
		break;
	case BUS_SESSION_ON:
		FUZZ_CHECK(user_name_ok(m.user) && host_ok(m.host));
		break;
	case BUS_SESSION_OFF:
	case BUS_HEARTBEAT:
		break;
	case BUS_SNAPSHOT:
		check_snapshot(p, m);
		break;
	case BUS_SNAPSHOT_ASK:
		FUZZ_CHECK(m.to.empty() || bus_valid_server_name(m.to));
		break;
	case BUS_KICK:
		FUZZ_CHECK(user_name_ok(m.user) && m.text.size() <= BUS_KICK_MESSAGE_MAX);
		break;
	case BUS_MUTE:
	case BUS_UNMUTE:
		FUZZ_CHECK(user_name_ok(m.user));
		break;
	default:
		FUZZ_CHECK(!"a message of an unknown type parsed");
	}
}

void check_rebuilt(const Payload &p, const BusMessage &m)
{
	FUZZ_CHECK(bus_message_size(m) == p.size);
	size_t size = 0;
	unsigned char *again = bus_build_message(m, &size);
	FUZZ_CHECK(again != nullptr);
	FUZZ_CHECK(size == p.size && memcmp(again, p.data, size) == 0);
	free(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_INPUT)
		return 0;
	Payload p{reinterpret_cast<const char *>(data), size};
	BusMessage m;
	// Garbage where the parser starts, so that a field it forgets to set shows.
	memset(static_cast<void *>(&m), 0xa5, sizeof m);
	if (bus_parse_message(data, size, &m) < 0) {
		check_empty(m);
	} else {
		check_fields(p, m);
		check_rebuilt(p, m);
	}
	// The same bytes as a batch of the chat channel: every entry lies inside it, follows the
	// one before, and is checked as a message of its own.
	std::string_view rest(reinterpret_cast<const char *>(data), size);
	std::string_view entry;
	bool malformed = false;
	const char *expected = rest.data() + 4;
	while (bus_next_batch_entry(&rest, &entry, &malformed) == 0) {
		if (entry.data() != expected || entry.data() + entry.size() > p.data + p.size)
			abort();
		expected = entry.data() + entry.size() + 4;
		if (bus_parse_message(entry.data(), entry.size(), &m) == 0)
			check_fields(Payload{entry.data(), entry.size()}, m);
	}
	if (malformed == rest.empty())
		abort();	// it stops at the end, or at what is no whole entry
	return 0;
}
