// The writing side of the wire formats: big-endian fields appended to a buffer whose exact
// size the caller worked out before (the builder allocates once and never checks again).
#ifndef TOLVAR_COMMON_WIRE_WRITER_H
#define TOLVAR_COMMON_WIRE_WRITER_H

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/wire-reader.h"

struct WireWriter {
	unsigned char *p;

	void u8(uint8_t v) { *p++ = v; }
	void u16(uint16_t v)
	{
		put_u16_be(p, v);
		p += 2;
	}
	void u32(uint32_t v)
	{
		put_u32_be(p, v);
		p += 4;
	}
	void u64(uint64_t v)
	{
		put_u64_be(p, v);
		p += 8;
	}
	void bytes(std::string_view s)
	{
		if (!s.empty())
			memcpy(p, s.data(), s.size());
		p += s.size();
	}
	// A name: one length byte, then the bytes (the caller keeps it below 256 bytes).
	void name(std::string_view s)
	{
		u8((uint8_t)s.size());
		bytes(s);
	}
	// A text: a 4-byte length, then the bytes.
	void text(std::string_view s)
	{
		u32((uint32_t)s.size());
		bytes(s);
	}
};

#endif
