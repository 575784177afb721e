// Feeds arbitrary bytes to the history file's reader as a file image. Checked for each input:
// the good prefix lies inside the image and is 0 or starts with the header; the records
// handed out lie inside the image one after the other, are valid (only messages to
// everybody), and encode back to exactly the bytes they were read from.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz-support.h"
#include "server/history-format.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 16;

struct Walk {
	const unsigned char *data;
	size_t size;
	size_t next;	// where the next record must begin
	unsigned char scratch[MAX_INPUT];
};

Walk walk;

void inside(std::string_view v)
{
	if (v.empty())
		return;
	auto *b = reinterpret_cast<const unsigned char *>(v.data());
	FUZZ_CHECK(b >= walk.data && b + v.size() <= walk.data + walk.size);
}

void check_record(const HistoryRecord &r, void *)
{
	inside(r.from_user);
	inside(r.to_user);
	inside(r.encoding);
	inside(r.text);
	FUZZ_CHECK(history_record_valid(r));
	FUZZ_CHECK(r.to_user == "GLOBAL" || r.to_user == "*");
	size_t n = history_record_size(r);
	FUZZ_CHECK(n <= walk.size - walk.next);
	history_record_encode(r, walk.scratch);
	FUZZ_CHECK(memcmp(walk.scratch, walk.data + walk.next, n) == 0);
	walk.next += n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_INPUT)
		return 0;
	walk.data = data;
	walk.size = size;
	walk.next = HISTORY_FILE_MAGIC_SIZE;
	size_t good = history_file_parse(data, size, check_record, nullptr);
	FUZZ_CHECK(good <= size);
	if (good == 0) {
		FUZZ_CHECK(size < HISTORY_FILE_MAGIC_SIZE || memcmp(data, HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE) != 0);
		return 0;
	}
	FUZZ_CHECK(memcmp(data, HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE) == 0);
	FUZZ_CHECK(good == walk.next);
	// What follows the good prefix is no whole record.
	WireReader rest(data + good, size - good);
	HistoryRecord r;
	FUZZ_CHECK(history_record_decode(&rest, &r) < 0);
	FUZZ_CHECK(rest.offset() == 0);
	return 0;
}
