// Text from other users on its way to the terminal: every byte that could drive the terminal
// (control characters, escape and control sequences) is made visible as "\xNN" instead.
#ifndef TOLVAR_CLI_CLI_ESCAPE_H
#define TOLVAR_CLI_CLI_ESCAPE_H

#include <cstddef>
#include <cstdio>
#include <string_view>

// How the terminal takes bytes 0x80 to 0xFF, judged from the locale's character set.
enum TermCharset {
	TERM_CHARSET_UTF8,		// UTF-8 (also the C locale): C1 controls are U+0080 to U+009F
	TERM_CHARSET_SINGLE_BYTE,	// ISO-8859-x and kin: bytes 0x80 to 0x9F are C1 controls
	TERM_CHARSET_MULTI_BYTE,	// EUC-JP, Shift_JIS, GB18030...: the locale's decoder says
					// which bytes form characters; the rest and decoded C1 are escaped
};

TermCharset cli_term_charset(void);

struct SafeTextOptions {
	bool stop_at_nul;	// a NUL ends the text (otherwise it is escaped)
	bool cr_rule;		// CR before LF or at the very end is dropped; other CRs are escaped
	bool escape_all_c0;	// names: every control byte is escaped, tab and LF too
	bool keep_sgr;		// colour sequences (ESC [ digits and ; m) pass unchanged
	TermCharset charset;
	bool (*bold_escapes)(void);	// asked at the first escape: bold escapes? nullptr: never
	// Written before every line that follows a line feed, so that no continuation line of a
	// message can pass for the header of another. nullptr: none.
	const char *indent;
};

// The indent of a message's continuation lines.
#define CLI_CONTINUATION_INDENT "  "

// The highlight of marked spans (reverse video) and its end.
#define CLI_MARK_ON "\033[7m"
#define CLI_MARK_OFF "\033[0m"

struct SafeTextState {
	int bold = -1;		// -1 until the first escape decides
	bool stopped = false;	// a NUL was met with stop_at_nul: the rest is not shown
	bool line_start = false;	// a line feed was written: the indent is owed before what follows
	// Spans to highlight, for a text written in one call: ascending offsets into it, a start
	// and an end for each span (borrowed). The escapes inside a span stay escapes.
	const size_t *marks = nullptr;
	size_t mark_count = 0;	// offsets in marks (twice the spans)
	size_t mark_next = 0;	// the next offset to act on
};

// Writes the n bytes at p to out, escaping as the options say. With more_follows, a tail
// that may begin a sequence continuing in the next chunk is left unwritten (at most a few dozen
// bytes); the caller passes it again in front of the next chunk. Returns the bytes consumed.
size_t cli_write_safe(FILE *out, const unsigned char *p, size_t n, bool more_follows,
		      const SafeTextOptions &options, SafeTextState *state);

// A message body up to its first NUL: tab, LF and the harmless control bytes pass, the rest is
// escaped (bold when bold_escapes says so at the first escape); the CR rule applies. marks
// (mark_count offsets, see SafeTextState) are highlighted.
void cli_write_message_text(FILE *out, const char *text, size_t n, bool (*bold_escapes)(void),
			    const size_t *marks = nullptr, size_t mark_count = 0);

// Size of the buffer that cli_escape_name needs for a name of n bytes.
constexpr size_t cli_escaped_size(size_t n) { return 4 * n + 1; }

// A user name or host from the server, escaped into out (size bytes, NUL-terminated; cut
// when too small, never inside a character). Returns out.
const char *cli_escape_name(std::string_view name, char *out, size_t size);

#endif
