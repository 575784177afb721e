#include "cli/cli-escape.h"

#include <langinfo.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

TermCharset cli_term_charset(void)
{
	const char *codeset = nl_langinfo(CODESET);
	if (strcmp(codeset, "UTF-8") == 0 || strcmp(codeset, "ANSI_X3.4-1968") == 0)
		return TERM_CHARSET_UTF8;
	return MB_CUR_MAX == 1 ? TERM_CHARSET_SINGLE_BYTE : TERM_CHARSET_MULTI_BYTE;
}

namespace {

// Longest run of parameter bytes accepted in a colour sequence.
constexpr size_t SGR_MAX_PARAMS = 32;

// Control bytes that are escaped in every text: end of transmission, enquiry (answerback),
// bell, backspace, shift out/in (character set switch), escape, delete.
bool is_driving_control(unsigned char c)
{
	return c == 0x04 || c == 0x05 || c == 0x07 || c == 0x08 || c == 0x0e || c == 0x0f || c == 0x1b ||
	       c == 0x7f;
}

// Writes the indent owed after a line feed.
void begin_output(FILE *out, const SafeTextOptions &o, SafeTextState *st)
{
	if (st->line_start && o.indent != nullptr)
		fputs(o.indent, out);
	st->line_start = false;
}

void put_bytes(FILE *out, const unsigned char *p, size_t n, const SafeTextOptions &o, SafeTextState *st)
{
	if (p[0] != '\n')	// an empty line stays empty
		begin_output(out, o, st);
	fwrite(p, 1, n, out);
	if (p[n - 1] == '\n')
		st->line_start = true;
}

bool in_mark(const SafeTextState *st) { return st->mark_next % 2 == 1; }

void put_escape(FILE *out, unsigned char c, const SafeTextOptions &o, SafeTextState *st)
{
	begin_output(out, o, st);
	if (st->bold < 0)
		st->bold = (o.bold_escapes != nullptr && o.bold_escapes()) ? 1 : 0;
	if (st->bold) {
		fprintf(out, "\033[1m\\x%.2hhx\033[0m", c);
		if (in_mark(st))	// the reset ended the highlight too
			fputs(CLI_MARK_ON, out);
	} else {
		fprintf(out, "\\x%.2hhx", c);
	}
}

// Starts or ends the highlights whose offsets the writing has reached (at).
void put_marks(FILE *out, size_t at, const SafeTextOptions &o, SafeTextState *st)
{
	while (st->mark_next < st->mark_count && st->marks[st->mark_next] <= at) {
		if (in_mark(st)) {
			fputs(CLI_MARK_OFF, out);
		} else {
			begin_output(out, o, st);
			fputs(CLI_MARK_ON, out);
		}
		st->mark_next++;
	}
}

enum SeqResult { SEQ_NO, SEQ_YES, SEQ_NEED_MORE };

// ESC [ digits/semicolons m at p (p[0] is ESC); *len receives its length.
SeqResult match_sgr(const unsigned char *p, size_t n, size_t *len)
{
	if (n < 2)
		return SEQ_NEED_MORE;
	if (p[1] != '[')
		return SEQ_NO;
	for (size_t i = 2; i < n; i++) {
		if (p[i] == 'm') {
			*len = i + 1;
			return SEQ_YES;
		}
		if (!((p[i] >= '0' && p[i] <= '9') || p[i] == ';') || i - 2 >= SGR_MAX_PARAMS)
			return SEQ_NO;
	}
	return n - 2 > SGR_MAX_PARAMS ? SEQ_NO : SEQ_NEED_MORE;
}

// A well-formed UTF-8 sequence of two or more bytes at p; *len receives its length.
SeqResult match_utf8(const unsigned char *p, size_t n, size_t *len)
{
	unsigned char c = p[0];
	size_t need;
	unsigned char lo = 0x80, hi = 0xbf;	// range of the second byte
	if (c >= 0xc2 && c <= 0xdf) {
		need = 2;
	} else if (c >= 0xe0 && c <= 0xef) {
		need = 3;
		if (c == 0xe0)
			lo = 0xa0;
		else if (c == 0xed)
			hi = 0x9f;
	} else if (c >= 0xf0 && c <= 0xf4) {
		need = 4;
		if (c == 0xf0)
			lo = 0x90;
		else if (c == 0xf4)
			hi = 0x8f;
	} else {
		return SEQ_NO;
	}
	for (size_t i = 1; i < need; i++) {
		if (i >= n)
			return SEQ_NEED_MORE;
		unsigned char l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xbf;
		if (p[i] < l || p[i] > h)
			return SEQ_NO;
	}
	*len = need;
	return SEQ_YES;
}

// A character of the locale's multi-byte set at p (p[0] is 0x80 or above); *len receives its
// length and *wc the character. A sequence holding a control byte is no character here.
SeqResult match_locale_char(const unsigned char *p, size_t n, size_t *len, wchar_t *wc)
{
	mbstate_t ps;
	memset(&ps, 0, sizeof ps);
	size_t r = mbrtowc(wc, reinterpret_cast<const char *>(p), n, &ps);
	if (r == (size_t)-2)
		return SEQ_NEED_MORE;
	if (r == (size_t)-1 || r == 0)
		return SEQ_NO;
	for (size_t i = 1; i < r; i++) {
		if (p[i] < 0x20 || p[i] == 0x7f)
			return SEQ_NO;
	}
	*len = r;
	return SEQ_YES;
}

bool is_c1(wchar_t wc) { return wc >= 0x80 && wc <= 0x9f; }

}  // namespace

size_t cli_write_safe(FILE *out, const unsigned char *p, size_t n, bool more_follows,
		      const SafeTextOptions &o, SafeTextState *st)
{
	size_t i = 0;
	while (i < n && !st->stopped) {
		put_marks(out, i, o, st);
		unsigned char c = p[i];
		if (c == 0 && o.stop_at_nul) {
			st->stopped = true;
			break;
		}
		if (c == '\r' && o.cr_rule) {
			if (i + 1 == n && more_follows)
				return i;
			if (i + 1 == n || p[i + 1] == '\n' || (p[i + 1] == 0 && o.stop_at_nul)) {
				i++;
				continue;
			}
			put_escape(out, c, o, st);
			i++;
			continue;
		}
		if (c == 0x1b && o.keep_sgr) {
			size_t len = 0;
			SeqResult r = match_sgr(p + i, n - i, &len);
			if (r == SEQ_NEED_MORE && more_follows)
				return i;
			if (r == SEQ_YES) {
				put_bytes(out, p + i, len, o, st);
				i += len;
				continue;
			}
		}
		if (c < 0x20 || c == 0x7f) {
			bool pass = !o.escape_all_c0 && !is_driving_control(c) && c != 0 && c != '\r';
			if (pass)
				put_bytes(out, p + i, 1, o, st);
			else
				put_escape(out, c, o, st);
			i++;
			continue;
		}
		if (c < 0x80) {
			put_bytes(out, p + i, 1, o, st);
			i++;
			continue;
		}
		if (o.charset == TERM_CHARSET_SINGLE_BYTE) {
			if (c <= 0x9f)
				put_escape(out, c, o, st);
			else
				put_bytes(out, p + i, 1, o, st);
			i++;
			continue;
		}
		if (o.charset == TERM_CHARSET_MULTI_BYTE) {
			size_t len = 0;
			wchar_t wc = 0;
			SeqResult r = match_locale_char(p + i, n - i, &len, &wc);
			if (r == SEQ_NEED_MORE && more_follows)
				return i;
			if (r == SEQ_YES && !is_c1(wc)) {
				put_bytes(out, p + i, len, o, st);
			} else {
				if (r != SEQ_YES)
					len = 1;	// not part of a character: this byte alone is escaped
				for (size_t k = 0; k < len; k++)
					put_escape(out, p[i + k], o, st);
			}
			i += len;
			continue;
		}
		size_t len = 0;
		SeqResult r = match_utf8(p + i, n - i, &len);
		if (r == SEQ_NEED_MORE && more_follows)
			return i;
		if (r == SEQ_YES) {
			if (c == 0xc2 && p[i + 1] <= 0x9f) {	// U+0080 to U+009F: the C1 controls
				put_escape(out, p[i], o, st);
				put_escape(out, p[i + 1], o, st);
			} else {
				put_bytes(out, p + i, len, o, st);
			}
			i += len;
			continue;
		}
		// A byte outside any well-formed sequence: a lone 0x80 to 0x9F could still be taken
		// for a C1 control by a terminal that reads 8-bit bytes.
		if (c <= 0x9f)
			put_escape(out, c, o, st);
		else
			put_bytes(out, p + i, 1, o, st);
		i++;
	}
	if (in_mark(st) && (st->stopped || (i == n && !more_follows)))
		fputs(CLI_MARK_OFF, out);
	if (st->stopped || (i == n && !more_follows))
		st->mark_next = st->mark_count;
	return st->stopped ? n : i;
}

void cli_write_message_text(FILE *out, const char *text, size_t n, bool (*bold_escapes)(void),
			    const size_t *marks, size_t mark_count)
{
	SafeTextOptions o = {true, true, false, false, cli_term_charset(), bold_escapes, CLI_CONTINUATION_INDENT};
	SafeTextState st;
	st.marks = marks;
	st.mark_count = mark_count;
	cli_write_safe(out, reinterpret_cast<const unsigned char *>(text), n, false, o, &st);
}

const char *cli_escape_name(std::string_view name, char *out, size_t size)
{
	if (size == 0)
		return out;
	out[0] = '\0';
	char *text = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&text, &len);
	if (f == nullptr)
		return out;
	TermCharset charset = cli_term_charset();
	SafeTextOptions o = {false, false, true, false, charset, nullptr, nullptr};
	SafeTextState st;
	cli_write_safe(f, reinterpret_cast<const unsigned char *>(name.data()), name.size(), false, o, &st);
	if (fclose(f) != 0) {
		free(text);
		return out;
	}
	size_t n = len < size - 1 ? len : size - 1;
	// A cut falls before a UTF-8 character it would split: its first bytes alone, continuation
	// bytes from 0x80 on among them, are what the escaping keeps off the terminal.
	if (n < len && charset == TERM_CHARSET_UTF8) {
		size_t start = n;
		while (start > 0 && ((unsigned char)text[start] & 0xc0) == 0x80)
			start--;
		if ((unsigned char)text[start] >= 0xc0)
			n = start;
	} else if (n < len && charset == TERM_CHARSET_MULTI_BYTE) {
		// What was kept is escapes and whole characters: walk them to the last that fits.
		size_t at = 0;
		while (at < n) {
			size_t step = 1;
			wchar_t wc;
			if ((unsigned char)text[at] >= 0x80 &&
			    match_locale_char(reinterpret_cast<const unsigned char *>(text + at), len - at, &step, &wc) != SEQ_YES)
				step = 1;
			if (at + step > n)
				break;
			at += step;
		}
		n = at;
	}
	memcpy(out, text, n);
	out[n] = '\0';
	free(text);
	return out;
}
