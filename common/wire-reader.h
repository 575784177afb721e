// The one bounds-checked reader for everything a peer or a file hands us: local packets,
// API packets, key lines and preference lines. Every get either succeeds and advances, or
// returns -1 and consumes nothing; nothing outside this reader does arithmetic on received
// pointers.
#ifndef TOLVAR_COMMON_WIRE_READER_H
#define TOLVAR_COMMON_WIRE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

class WireReader {
public:
	WireReader() = default;
	WireReader(const void *data, size_t size)
	    : data_(static_cast<const unsigned char *>(data)), size_(size) {}
	explicit WireReader(std::string_view s) : WireReader(s.data(), s.size()) {}

	size_t size() const { return size_; }
	size_t offset() const { return pos_; }
	size_t remaining() const { return size_ - pos_; }
	bool empty() const { return pos_ == size_; }

	// A reader over the next n bytes (which this reader skips), for a nested record.
	int sub(size_t n, WireReader *out)
	{
		if (n > remaining())
			return -1;
		*out = WireReader(data_ + pos_, n);
		pos_ += n;
		return 0;
	}

	int skip(size_t n)
	{
		if (n > remaining())
			return -1;
		pos_ += n;
		return 0;
	}

	int peek_u8(uint8_t *v) const
	{
		if (remaining() < 1)
			return -1;
		*v = data_[pos_];
		return 0;
	}

	int get_u8(uint8_t *v)
	{
		if (peek_u8(v) < 0)
			return -1;
		pos_++;
		return 0;
	}

	int get_u16_be(uint16_t *v) { return get_be(v); }
	int get_u32_be(uint32_t *v) { return get_be(v); }
	int get_u64_be(uint64_t *v) { return get_be(v); }

	// Host byte order, any alignment (local packets).
	int get_u32_host(uint32_t *v) { return get_host(v); }
	int get_i32_host(int32_t *v) { return get_host(v); }
	int get_u64_host(uint64_t *v) { return get_host(v); }

	// The next n bytes, borrowed from the underlying buffer.
	int get_bytes(size_t n, std::string_view *out)
	{
		if (n > remaining())
			return -1;
		*out = std::string_view(reinterpret_cast<const char *>(data_ + pos_), n);
		pos_ += n;
		return 0;
	}

	// A field of exactly field_size bytes that must hold a NUL; out is its text before the NUL.
	int get_cstring_field(size_t field_size, std::string_view *out)
	{
		if (field_size > remaining())
			return -1;
		const void *nul = memchr(data_ + pos_, 0, field_size);
		if (nul == nullptr)
			return -1;
		size_t n = (size_t)(static_cast<const unsigned char *>(nul) - (data_ + pos_));
		*out = std::string_view(reinterpret_cast<const char *>(data_ + pos_), n);
		pos_ += field_size;
		return 0;
	}

	// Text up to (not including) the first byte equal to c, which must occur; c is consumed.
	int get_until(char c, std::string_view *out)
	{
		const void *hit = memchr(data_ + pos_, (unsigned char)c, remaining());
		if (hit == nullptr)
			return -1;
		size_t n = (size_t)(static_cast<const unsigned char *>(hit) - (data_ + pos_));
		*out = std::string_view(reinterpret_cast<const char *>(data_ + pos_), n);
		pos_ += n + 1;
		return 0;
	}

	// The longest run of bytes for which pred holds (possibly empty); never fails.
	template <typename Pred> std::string_view get_while(Pred pred)
	{
		size_t start = pos_;
		while (pos_ < size_ && pred(data_[pos_]))
			pos_++;
		return std::string_view(reinterpret_cast<const char *>(data_ + start), pos_ - start);
	}

	// Everything that is left.
	std::string_view rest()
	{
		std::string_view r(reinterpret_cast<const char *>(data_ + pos_), remaining());
		pos_ = size_;
		return r;
	}

private:
	template <typename T> int get_be(T *v)
	{
		if (remaining() < sizeof(T))
			return -1;
		T x = 0;
		for (size_t i = 0; i < sizeof(T); i++)
			x = (T)((x << 8) | data_[pos_ + i]);
		*v = x;
		pos_ += sizeof(T);
		return 0;
	}

	template <typename T> int get_host(T *v)
	{
		if (remaining() < sizeof(T))
			return -1;
		memcpy(v, data_ + pos_, sizeof(T));
		pos_ += sizeof(T);
		return 0;
	}

	const unsigned char *data_ = nullptr;
	size_t size_ = 0;
	size_t pos_ = 0;
};

// Big-endian stores for building packets and records.
inline void put_u16_be(unsigned char *p, uint16_t v)
{
	p[0] = (unsigned char)(v >> 8);
	p[1] = (unsigned char)v;
}
inline void put_u32_be(unsigned char *p, uint32_t v)
{
	for (int i = 3; i >= 0; i--, v >>= 8)
		p[i] = (unsigned char)v;
}
inline void put_u64_be(unsigned char *p, uint64_t v)
{
	for (int i = 7; i >= 0; i--, v >>= 8)
		p[i] = (unsigned char)v;
}

// The writing twin of the reader: big-endian fields appended to a buffer whose exact size the
// caller worked out before (the builder allocates once and never checks again). Names are a
// u8 length and their bytes, texts a u32 length and their bytes.
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
	void name(std::string_view s)	// at most 255 bytes: the caller checked
	{
		u8((uint8_t)s.size());
		bytes(s);
	}
	void text(std::string_view s)	// at most 2^32 - 1 bytes: the caller checked
	{
		u32((uint32_t)s.size());
		bytes(s);
	}
};

#endif
