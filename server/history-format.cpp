#include "server/history-format.h"

#include <cstring>


namespace {

struct Crc32Table {
	uint32_t v[256];
	constexpr Crc32Table() : v()
	{
		for (uint32_t i = 0; i < 256; i++) {
			uint32_t c = i;
			for (int k = 0; k < 8; k++)
				c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
			v[i] = c;
		}
	}
};
constexpr Crc32Table CRC32_TABLE;

bool is_everybody(std::string_view to) { return to == "GLOBAL" || to == "*"; }

bool clean_name(std::string_view s, size_t min, size_t max)
{
	return s.size() >= min && s.size() <= max && s.find('\0') == std::string_view::npos;
}

size_t body_size(const HistoryRecord &r)
{
	return HISTORY_BODY_FIXED_SIZE + r.from_user.size() + r.to_user.size() + r.encoding.size() + r.text.size();
}

}  // namespace

bool history_record_valid(const HistoryRecord &r)
{
	return clean_name(r.from_user, 1, 31) && is_everybody(r.to_user) && clean_name(r.encoding, 0, LOCAL_ENCODING_MAX) &&
	       r.text.size() <= LOCAL_HISTORY_TEXT_MAX;
}

uint32_t history_crc32(const void *data, size_t n)
{
	const auto *p = static_cast<const unsigned char *>(data);
	uint32_t c = 0xFFFFFFFFu;
	for (size_t i = 0; i < n; i++)
		c = CRC32_TABLE.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
	return c ^ 0xFFFFFFFFu;
}

size_t history_record_size(const HistoryRecord &r)
{
	return HISTORY_RECORD_HEADER_SIZE + body_size(r);
}

void history_record_encode(const HistoryRecord &r, unsigned char *out)
{
	size_t n = body_size(r);
	WireWriter w{out + HISTORY_RECORD_HEADER_SIZE};
	w.u64((uint64_t)r.time);
	w.name(r.from_user);
	w.name(r.to_user);
	w.u32((uint32_t)r.kind);
	w.name(r.encoding);
	w.text(r.text);
	put_u32_be(out, (uint32_t)n);
	put_u32_be(out + 4, history_crc32(out + HISTORY_RECORD_HEADER_SIZE, n));
}

int history_record_decode(WireReader *r, HistoryRecord *out)
{
	WireReader at = *r;
	uint32_t length, crc;
	std::string_view body;
	if (at.get_u32_be(&length) < 0 || at.get_u32_be(&crc) < 0 || length < HISTORY_BODY_FIXED_SIZE ||
	    length > HISTORY_BODY_MAX || at.get_bytes(length, &body) < 0 || history_crc32(body.data(), body.size()) != crc)
		return -1;
	WireReader b(body);
	uint64_t time;
	uint8_t f, t, e;
	uint32_t kind, x;
	HistoryRecord rec;
	if (b.get_u64_be(&time) < 0 || b.get_u8(&f) < 0 || b.get_bytes(f, &rec.from_user) < 0 || b.get_u8(&t) < 0 ||
	    b.get_bytes(t, &rec.to_user) < 0 || b.get_u32_be(&kind) < 0 || b.get_u8(&e) < 0 ||
	    b.get_bytes(e, &rec.encoding) < 0 || b.get_u32_be(&x) < 0 || b.get_bytes(x, &rec.text) < 0 || !b.empty())
		return -1;
	rec.time = (int64_t)time;
	rec.kind = (int32_t)kind;
	if (!history_record_valid(rec))
		return -1;
	*out = rec;
	*r = at;
	return 0;
}

size_t history_file_parse(const unsigned char *data, size_t size, void (*keep)(const HistoryRecord &r, void *ctx),
			  void *ctx)
{
	WireReader r(data, size);
	std::string_view magic;
	if (r.get_bytes(HISTORY_FILE_MAGIC_SIZE, &magic) < 0 ||
	    magic != std::string_view(HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE))
		return 0;
	HistoryRecord rec;
	while (history_record_decode(&r, &rec) == 0)
		keep(rec, ctx);
	return r.offset();
}
