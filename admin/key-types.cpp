#include "admin/key-types.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/i18n.h"
#include "common/wire-reader.h"

const char *const key_kind_names[4] = {"RSA", "DSA", "ECDSA", "ED25519"};

namespace {

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

enum : unsigned char {
	B64_SKIP = 64,
	B64_END = 65,
	B64_INVALID = 66,
};

constexpr std::array<unsigned char, 256> make_decoding_table()
{
	std::array<unsigned char, 256> t{};
	for (auto &v : t)
		v = B64_INVALID;
	for (unsigned char i = 0; i < 64; i++)
		t[(unsigned char)base64_alphabet[i]] = i;
	t['\n'] = B64_SKIP;
	t['='] = B64_END;
	return t;
}

constexpr std::array<unsigned char, 256> base64_decoding = make_decoding_table();

unsigned char ascii_lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? (unsigned char)(c - 'A' + 'a') : c;
}

// Compares len bytes ignoring ASCII letter case only, whatever the locale.
bool ascii_equal_nocase(const char *a, const char *b, size_t len)
{
	for (size_t i = 0; i < len; i++) {
		if (ascii_lower((unsigned char)a[i]) != ascii_lower((unsigned char)b[i]))
			return false;
	}
	return true;
}

}  // namespace

int get_key_type(const char *word, size_t len)
{
	switch (len) {
	case 3:
		if (ascii_equal_nocase(word, "RSA", 3))
			return KEY_KIND_RSA;
		if (ascii_equal_nocase(word, "DSA", 3))
			return KEY_KIND_DSA;
		return -1;
	case 5:
		return ascii_equal_nocase(word, "ECDSA", 5) ? KEY_KIND_ECDSA : -1;
	case 7:
		if (ascii_equal_nocase(word, "ED25519", 7))
			return KEY_KIND_ED25519;
		if (memcmp(word, "ssh-rsa", 7) == 0)
			return KEY_KIND_RSA;
		if (memcmp(word, "ssh-dss", 7) == 0)
			return KEY_KIND_DSA;
		return -1;
	case 11:
		return memcmp(word, "ssh-ed25519", 11) == 0 ? KEY_KIND_ED25519 : -1;
	case 19:
		if (memcmp(word, "ecdsa-sha2-nistp", 16) != 0)
			return -1;
		if (memcmp(word + 16, "256", 3) == 0 || memcmp(word + 16, "384", 3) == 0 ||
		    memcmp(word + 16, "521", 3) == 0)
			return KEY_KIND_ECDSA;
		return -1;
	default:
		return -1;
	}
}

ssize_t base64_decode(const char *in, size_t len, unsigned char *out, size_t capacity)
{
	size_t written = 0;
	uint32_t acc = 0;
	int pending = 0;
	for (size_t i = 0; i < len; i++) {
		unsigned char v = base64_decoding[(unsigned char)in[i]];
		if (v == B64_INVALID)
			return -1;
		if (v == B64_SKIP)
			continue;
		if (v == B64_END)
			break;
		acc = (acc << 6) | v;
		if (++pending < 4)
			continue;
		for (int shift = 16; shift >= 0; shift -= 8) {
			if (written >= capacity)
				return (ssize_t)written;
			out[written++] = (unsigned char)(acc >> shift);
		}
		acc = 0;
		pending = 0;
	}
	// Three pending values hold 18 bits (two bytes), two hold 12 (one byte), one holds nothing.
	if (pending >= 2) {
		acc <<= 6 * (4 - pending);
		for (int k = 0, shift = 16; k < pending - 1; k++, shift -= 8) {
			if (written >= capacity)
				return (ssize_t)written;
			out[written++] = (unsigned char)(acc >> shift);
		}
	}
	return (ssize_t)written;
}

int base64_encode(const unsigned char *data, size_t len, char *out, size_t size, int flags)
{
	size_t pos = 0;
	auto put = [&](char c) {
		if (pos >= size)
			return false;
		out[pos++] = c;
		return true;
	};
	for (size_t i = 0; i < len; i += 3) {
		size_t n = len - i < 3 ? len - i : 3;
		uint32_t group = (uint32_t)data[i] << 16;
		if (n > 1)
			group |= (uint32_t)data[i + 1] << 8;
		if (n > 2)
			group |= data[i + 2];
		for (size_t k = 0; k <= n; k++) {
			if (!put(base64_alphabet[(group >> (18 - 6 * k)) & 0x3f]))
				return -1;
		}
	}
	if ((flags & BASE64_PAD) != 0) {
		while (pos % 4 != 0) {
			if (!put('='))
				return -1;
		}
	}
	return put('\0') ? 0 : -1;
}

int decode_key_header(const char *text, size_t *token_len, size_t *type_len, unsigned char *header)
{
	size_t len = strcspn(text, " ");
	*token_len = len;
	ssize_t got = base64_decode(text, len, header, KEY_HEADER_SIZE);
	if (got < 0) {
		fputs(_("Invalid key: invalid BASE64 encoding\n"), stderr);
		return -1;
	}
	WireReader r(header, (size_t)got);
	uint32_t name_len;
	if (r.get_u32_be(&name_len) < 0) {
		fputs(_("Invalid key: too short\n"), stderr);
		return -1;
	}
	*type_len = name_len;
	if (name_len > r.remaining()) {
		fprintf(stderr, _("Invalid key: key type string length %u too long\n"), (unsigned int)name_len);
		return -1;
	}
	return 0;
}
