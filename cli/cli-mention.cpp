#include "cli/cli-mention.h"

#include <cstring>

namespace {

bool is_word_byte(unsigned char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

// ASCII case folding, whatever the locale says.
unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? (unsigned char)(c - 'A' + 'a') : c; }

bool same_at(const unsigned char *text, const unsigned char *name, size_t length)
{
	for (size_t i = 0; i < length; i++) {
		if (fold(text[i]) != fold(name[i]))
			return false;
	}
	return true;
}

}  // namespace

size_t cli_find_mentions(const char *text, size_t n, const char *name, size_t *marks, size_t max_marks)
{
	const auto *t = reinterpret_cast<const unsigned char *>(text);
	const auto *w = reinterpret_cast<const unsigned char *>(name);
	size_t length = strlen(name);
	n = strnlen(text, n);
	size_t stored = 0;
	if (length == 0)
		return 0;
	for (size_t at = 0; at + length <= n && stored + 2 <= max_marks;) {
		bool starts_word = at == 0 || !is_word_byte(t[at - 1]);
		bool ends_word = at + length == n || !is_word_byte(t[at + length]);
		if (starts_word && ends_word && same_at(t + at, w, length)) {
			marks[stored++] = at;
			marks[stored++] = at + length;
			at += length;
		} else {
			at++;
		}
	}
	return stored;
}
