#include "admin/key-entry.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "admin/key-types.h"
#include "common/file-helpers.h"
#include "common/i18n.h"
#include "common/wire-reader.h"

namespace {

unsigned int line_counter;

bool is_blank(unsigned char c)
{
	return c == ' ' || c == '\t';
}

// A piece of the line as a C string in tmp (KEY_LINE_MAX + 1 bytes), for a message.
const char *terminated(std::string_view word, char *tmp)
{
	size_t n = word.size() < KEY_LINE_MAX ? word.size() : KEY_LINE_MAX;
	memcpy(tmp, word.data(), n);
	tmp[n] = '\0';
	return tmp;
}

void syntax_error(unsigned int line)
{
	fprintf(stderr, _("Warning: syntax error in file .ssh/authorized_keys line %u\n"), line);
}

char *copy_text(std::string_view s)
{
	char *p = static_cast<char *>(malloc(s.size() + 1));
	if (p == nullptr)
		return nullptr;
	memcpy(p, s.data(), s.size());
	p[s.size()] = '\0';
	return p;
}

void discard_rest_of_line(FILE *f)
{
	int c;
	do
		c = getc(f);
	while (c != EOF && c != '\n');
}

// The outcome of parsing one line.
enum LineResult {
	LINE_ENTRY,	// outputs set
	LINE_PASS,	// not an entry; go on with the next line
	LINE_NO_MEMORY,
};

LineResult parse_line(const char *buf, size_t len, char **user, char **key_text, char **comment)
{
	const unsigned int line = line_counter;
	// The line is text: a NUL byte ends it, as it does for the SSH daemon.
	WireReader r(buf, strnlen(buf, len));
	if (r.empty())
		return LINE_PASS;
	uint8_t first;
	r.peek_u8(&first);
	if (first == '#')
		return LINE_PASS;
	if (is_blank(first)) {
		r.get_while(is_blank);
		if (r.empty())
			return LINE_PASS;
	}

	std::string_view prefix;
	if (r.get_until('"', &prefix) < 0) {
		fprintf(stderr, _("Warning: cannot find '\"' at line %u in file .ssh/authorized_keys\n"), line);
		return LINE_PASS;
	}
	static const std::string_view command_option = "command=";
	if (prefix.size() < command_option.size() ||
	    prefix.substr(prefix.size() - command_option.size()) != command_option ||
	    prefix.find(' ') != std::string_view::npos) {
		syntax_error(line);
		return LINE_PASS;
	}
	std::string_view name;
	if (r.get_until('"', &name) < 0) {
		fprintf(stderr, _("Warning: unmatched '\"' in file .ssh/authorized_keys line %u\n"), line);
		return LINE_PASS;
	}
	std::string_view options_rest;
	if (r.get_until(' ', &options_rest) < 0) {
		syntax_error(line);
		return LINE_PASS;
	}
	if (name.empty()) {
		fprintf(stderr, _("Warning: empty user name in file .ssh/authorized_keys line %u\n"), line);
		return LINE_PASS;
	}
	WireReader key_reader = r;	// the key text starts at the type word
	std::string_view type_word;
	if (r.get_until(' ', &type_word) < 0) {
		syntax_error(line);
		return LINE_PASS;
	}
	int word_kind = get_key_type(type_word.data(), type_word.size());
	if (word_kind < 0) {
		char tmp[KEY_LINE_MAX + 1];
		fprintf(stderr, _("Warning: invalid key type '%s' in file .ssh/authorized_keys line %u\n"),
			terminated(type_word, tmp), line);
		return LINE_PASS;
	}

	// The rest of the line is NUL-terminated: strnlen stopped at a NUL or at the end of buf.
	WireReader tail = r;
	std::string_view base64_text = tail.rest();
	size_t token_len, type_len;
	unsigned char header[KEY_HEADER_SIZE + 1];
	if (decode_key_header(base64_text.data(), &token_len, &type_len, header) < 0) {
		// The line may stand anywhere; the entries after it are read as usual.
		fprintf(stderr, _("Warning: cannot decode key in file .ssh/authorized_keys line %u; key ignored\n"),
			line);
		return LINE_PASS;
	}
	header[4 + type_len] = '\0';
	int data_kind = get_key_type(reinterpret_cast<const char *>(header + 4), type_len);
	if (data_kind < 0) {
		fprintf(stderr, _("Warning: invalid key type '%s' from BASE64 in file .ssh/authorized_keys line %u\n"),
			reinterpret_cast<const char *>(header + 4), line);
		return LINE_PASS;
	}
	if (data_kind != word_kind) {
		fprintf(stderr, _("Warning: key type didn't match in file .ssh/authorized_keys line %u; key ignored\n"),
			line);
		return LINE_PASS;
	}

	std::string_view key_view;
	key_reader.get_bytes(type_word.size() + 1 + token_len, &key_view);
	r.skip(token_len);
	std::string_view comment_view;
	bool has_comment = false;
	uint8_t after;
	if (r.get_u8(&after) == 0 && after == ' ') {
		has_comment = true;
		comment_view = r.rest();
	}

	char *u = static_cast<char *>(malloc(name.size() + 1));
	if (u == nullptr) {
		fprintf(stderr, _("Error: allocate %zu bytes failed when processing file .ssh/authorized_keys line %u\n"),
			name.size() + 1, line);
		return LINE_NO_MEMORY;
	}
	memcpy(u, name.data(), name.size());
	u[name.size()] = '\0';
	char *k = copy_text(key_view);
	char *c = nullptr;
	if (k == nullptr || (comment != nullptr && has_comment && (c = copy_text(comment_view)) == nullptr)) {
		fprintf(stderr, _("Error: out of memory when processing file .ssh/authorized_keys line %u\n"), line);
		free(u);
		free(k);
		return LINE_NO_MEMORY;
	}
	*user = u;
	*key_text = k;
	if (comment != nullptr)
		*comment = c;
	return LINE_ENTRY;
}

}  // namespace

void key_entry_reset_line_counter(void)
{
	line_counter = 0;
}

int read_key_entry(FILE *f, char **user, char **key_text, char **comment, unsigned int *line_len)
{
	char buf[KEY_LINE_MAX + 1];
	for (;;) {
		line_counter++;
		int32_t n = fgetline(f, buf, sizeof buf);
		if (n == -2) {
			fprintf(stderr, _("Warning: line %u in file .ssh/authorized_keys is too long, skipping\n"),
				line_counter);
			discard_rest_of_line(f);
			continue;
		}
		if (n < 0)
			return -1;
		switch (parse_line(buf, (size_t)n, user, key_text, comment)) {
		case LINE_ENTRY:
			if (line_len != nullptr)
				*line_len = (unsigned int)n;
			return 0;
		case LINE_PASS:
			break;
		case LINE_NO_MEMORY:
			return -1;
		}
	}
}
