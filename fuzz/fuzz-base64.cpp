// Fuzzes the Base64 coding and the key-header decoder of the administration tool: decoding never
// writes past its capacity, encoding round trips through decoding, canonical text survives a
// decode and re-encode, and decode_key_header never claims a type name beyond what it decoded.
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin/key-types.h"
#include "fuzz/fuzz-support.h"

namespace {

constexpr size_t MAX_INPUT = 8192;

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(char c)
{
	const char *p = strchr(alphabet, c);
	return c != '\0' && p != nullptr ? (int)(p - alphabet) : -1;
}

// Decodes into a heap buffer of exactly capacity bytes, so that any write past it is caught.
std::vector<unsigned char> decode(const char *in, size_t len, size_t capacity, ssize_t *got)
{
	auto *out = static_cast<unsigned char *>(malloc(capacity == 0 ? 1 : capacity));
	FUZZ_CHECK(out != nullptr);
	*got = base64_decode(in, len, out, capacity);
	std::vector<unsigned char> v;
	if (*got > 0)
		v.assign(out, out + *got);
	free(out);
	return v;
}

std::string encode(const unsigned char *data, size_t len, int flags)
{
	size_t need = (len + 2) / 3 * 4 + 1;
	// One byte short must be refused, and nothing written past it.
	auto *small = static_cast<char *>(malloc(need - 1));
	FUZZ_CHECK(small != nullptr);
	size_t exact = (flags & BASE64_PAD) ? need : (len * 4 + 2) / 3 + 1;
	FUZZ_CHECK(base64_encode(data, len, small, exact - 1, flags) == -1);
	free(small);
	auto *out = static_cast<char *>(malloc(exact));
	FUZZ_CHECK(out != nullptr);
	FUZZ_CHECK(base64_encode(data, len, out, exact, flags) == 0);
	FUZZ_CHECK(strlen(out) == exact - 1);
	std::string s(out);
	free(out);
	return s;
}

void fuzz_coding(const uint8_t *data, size_t size)
{
	// Any bytes encode, with and without padding, and decode back to themselves.
	for (int flags = 0; flags <= BASE64_PAD; flags++) {
		std::string text = encode(data, size, flags);
		for (char c : text)
			FUZZ_CHECK(value_of(c) >= 0 || ((flags & BASE64_PAD) && c == '='));
		ssize_t got;
		std::vector<unsigned char> back = decode(text.data(), text.size(), size, &got);
		FUZZ_CHECK(got == (ssize_t)size && (size == 0 || memcmp(back.data(), data, size) == 0));
	}

	// The input as Base64 text, into a buffer that may be too small.
	const char *in = reinterpret_cast<const char *>(data);
	size_t capacity = size == 0 ? 0 : data[0] % 64;
	ssize_t got;
	std::vector<unsigned char> small = decode(in, size, capacity, &got);
	FUZZ_CHECK(got <= (ssize_t)capacity);
	std::vector<unsigned char> full = decode(in, size, size, &got);
	if (got < 0) {
		bool invalid = false;
		for (size_t i = 0; i < size && !invalid && in[i] != '='; i++)
			invalid = in[i] != '\n' && value_of(in[i]) < 0;
		FUZZ_CHECK(invalid);
		return;
	}
	// What was decoded: the valid characters up to "=", newlines skipped.
	std::string clean;
	for (size_t i = 0; i < size && in[i] != '='; i++) {
		if (in[i] != '\n')
			clean += in[i];
	}
	FUZZ_CHECK((size_t)got == clean.size() * 3 / 4);
	FUZZ_CHECK(small.size() == (full.size() < capacity ? full.size() : capacity));
	FUZZ_CHECK(small.empty() || memcmp(small.data(), full.data(), small.size()) == 0);
	// Canonical text (no stray sextet, unused bits zero) re-encodes to itself.
	bool canonical = clean.size() % 4 != 1;
	if (canonical && clean.size() % 4 != 0) {
		int last = value_of(clean.back());
		canonical = (last & (clean.size() % 4 == 2 ? 0x0f : 0x03)) == 0;
	}
	std::string again = encode(full.data(), full.size(), 0);
	if (canonical)
		FUZZ_CHECK(again == clean);
}

void fuzz_key_header(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);	// NUL-terminated copy
	auto *header = static_cast<unsigned char *>(malloc(KEY_HEADER_SIZE + 1));
	FUZZ_CHECK(header != nullptr);
	size_t token_len = (size_t)-1, type_len = (size_t)-1;
	if (decode_key_header(text.c_str(), &token_len, &type_len, header) == 0) {
		FUZZ_CHECK(token_len == strcspn(text.c_str(), " "));
		FUZZ_CHECK(type_len <= KEY_HEADER_SIZE - 4);
		ssize_t got;
		std::vector<unsigned char> whole = decode(text.c_str(), token_len, KEY_HEADER_SIZE, &got);
		FUZZ_CHECK(got >= (ssize_t)(4 + type_len));
		FUZZ_CHECK(memcmp(whole.data(), header, 4 + type_len) == 0);
		header[4 + type_len] = '\0';
		int kind = get_key_type(reinterpret_cast<const char *>(header + 4), type_len);
		FUZZ_CHECK(kind >= -1 && kind <= KEY_KIND_ED25519);
	}
	free(header);
	// The type word reader on the same bytes, through an exact-size copy.
	size_t len = size < 24 ? size : 24;
	auto *word = static_cast<char *>(malloc(len == 0 ? 1 : len));
	FUZZ_CHECK(word != nullptr);
	memcpy(word, data, len);
	int kind = get_key_type(word, len);
	FUZZ_CHECK(kind >= -1 && kind <= KEY_KIND_ED25519);
	free(word);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > MAX_INPUT)
		return 0;
	fuzz_coding(data, size);
	fuzz_key_header(data, size);
	return 0;
}
