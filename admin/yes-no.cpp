#include <cstdio>
#include <cstring>

#include "admin/admin.h"
#include "common/file-helpers.h"

namespace {

bool has_prefix(const char *answer, size_t len, const char *word)
{
	size_t n = strlen(word);
	return len >= n && memcmp(answer, word, n) == 0;
}

bool is_whole(const char *answer, size_t len, const char *word)
{
	return len == strlen(word) && memcmp(answer, word, len) == 0;
}

bool has_prefix_nocase(const char *answer, size_t len, const char *word)
{
	size_t n = strlen(word);
	if (len < n)
		return false;
	for (size_t i = 0; i < n; i++) {
		unsigned char c = (unsigned char)answer[i];
		if (c >= 'A' && c <= 'Z')
			c = (unsigned char)(c - 'A' + 'a');
		if (c != (unsigned char)word[i])
			return false;
	}
	return true;
}

// 0 for no, 1 for yes, -1 when the answer decides nothing. The Chinese words are UTF-8.
int judge_answer(const char *a, size_t len)
{
	if (has_prefix_nocase(a, len, "no") || has_prefix(a, len, "\xe4\xb8\x8d") /* 不 */ ||
	    is_whole(a, len, "\xe5\x90\xa6") /* 否 */)
		return 0;
	if (has_prefix_nocase(a, len, "yes") || has_prefix(a, len, "\xe6\x98\xaf") /* 是 */ ||
	    has_prefix(a, len, "\xe5\xa5\xbd") /* 好 */ || is_whole(a, len, "\xe5\x8f\xaf\xe4\xbb\xa5") /* 可以 */)
		return 1;
	return -1;
}

}  // namespace

int read_yes_no(void)
{
	char answer[16];
	for (;;) {
		int32_t n = fgetline(stdin, answer, sizeof answer);
		if (n == -1)
			return 0;
		// An overlong answer is judged by what was stored; the next read goes on in that line.
		size_t len = n == -2 ? sizeof answer - 1 : (size_t)n;
		int verdict = judge_answer(answer, len);
		if (verdict >= 0)
			return verdict;
	}
}
