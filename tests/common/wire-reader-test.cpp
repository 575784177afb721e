// The bounds-checked reader: a failed get consumes nothing and never reads past the buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "common/wire-reader.h"

TEST(WireReader, BigEndianAndHostIntegers)
{
	const unsigned char b[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
	WireReader r(b, sizeof b);
	uint16_t v16;
	uint32_t v32;
	ASSERT_EQ(r.get_u16_be(&v16), 0);
	EXPECT_EQ(v16, 0x0102);
	ASSERT_EQ(r.get_u32_be(&v32), 0);
	EXPECT_EQ(v32, 0x03040506u);
	EXPECT_EQ(r.get_u32_be(&v32), -1);	// one byte left
	EXPECT_EQ(r.remaining(), 1u);		// nothing consumed
	uint8_t v8;
	ASSERT_EQ(r.get_u8(&v8), 0);
	EXPECT_EQ(v8, 7);
	EXPECT_EQ(r.get_u8(&v8), -1);
	EXPECT_TRUE(r.empty());

	uint64_t big = 0x1122334455667788ull;
	unsigned char raw[9] = {0xff};
	memcpy(raw + 1, &big, 8);	// unaligned
	WireReader h(raw, sizeof raw);
	ASSERT_EQ(h.skip(1), 0);
	uint64_t got;
	ASSERT_EQ(h.get_u64_host(&got), 0);
	EXPECT_EQ(got, big);

	unsigned char out[8];
	put_u32_be(out, 0xa1b2c3d4u);
	put_u16_be(out + 4, 0xe5f6);
	EXPECT_EQ(out[0], 0xa1);
	EXPECT_EQ(out[3], 0xd4);
	EXPECT_EQ(out[4], 0xe5);
}

TEST(WireReader, FieldsAndRuns)
{
	const char b[] = "ab\0\0cdef\0gh";	// 11 bytes and the literal's NUL
	WireReader r(b, 11);
	std::string_view s;
	ASSERT_EQ(r.get_cstring_field(4, &s), 0);
	EXPECT_EQ(s, "ab");
	EXPECT_EQ(r.get_cstring_field(4, &s), -1);	// "cdef" has no NUL
	EXPECT_EQ(r.offset(), 4u);
	EXPECT_EQ(r.get_cstring_field(40, &s), -1);	// longer than what is left
	ASSERT_EQ(r.get_until('\0', &s), 0);
	EXPECT_EQ(s, "cdef");
	EXPECT_EQ(r.get_until('\0', &s), -1);
	EXPECT_EQ(r.rest(), "gh");

	WireReader w(std::string_view("  key value"));
	EXPECT_EQ(w.get_while([](unsigned char c) { return c == ' '; }), "  ");
	EXPECT_EQ(w.get_while([](unsigned char c) { return c != ' '; }), "key");
	WireReader sub;
	ASSERT_EQ(w.skip(1), 0);
	EXPECT_EQ(w.sub(6, &sub), -1);
	ASSERT_EQ(w.sub(5, &sub), 0);
	EXPECT_EQ(sub.rest(), "value");
	EXPECT_TRUE(w.empty());
}
