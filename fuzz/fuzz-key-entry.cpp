// Fuzzes the key file reader of the administration tool with arbitrary file contents: every
// entry it hands out stands in the line just before the stream's position, its user name is
// the quoted name of that line, its key text is the type word and the Base64 text of that line
// with key data of the same family, and the reader always comes to an end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "admin/key-entry.h"
#include "admin/key-types.h"
#include "fuzz/fuzz-support.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 16;

void check_entry(std::string_view file, long pos, const char *user, const char *key_text, const char *comment,
		 unsigned int line_len)
{
	FUZZ_CHECK(pos >= 0 && (size_t)pos <= file.size());
	FUZZ_CHECK(line_len <= KEY_LINE_MAX);
	// The stream stands just after the line's newline, or at the end of a last line without one.
	size_t end = (size_t)pos;
	if (end > 0 && file[end - 1] == '\n')
		end--;
	else
		FUZZ_CHECK(end == file.size());
	FUZZ_CHECK(end >= line_len);
	std::string_view line = file.substr(end - line_len, line_len);
	FUZZ_CHECK(line.find('\n') == std::string_view::npos);

	size_t user_len = strlen(user);
	FUZZ_CHECK(user_len > 0 && strchr(user, '"') == nullptr);
	size_t quote = line.find('"');
	FUZZ_CHECK(quote != std::string_view::npos && line.substr(quote + 1, user_len) == user);
	FUZZ_CHECK(line.substr(quote + 1 + user_len, 1) == "\"");
	FUZZ_CHECK(quote >= 8 && line.substr(quote - 8, 8) == "command=");

	// Key text: type word, one space, Base64 text without a space, after the first space that
	// follows the name.
	std::string_view key(key_text);
	size_t at = line.find(' ', quote + 2 + user_len);
	FUZZ_CHECK(at != std::string_view::npos && line.substr(++at, key.size()) == key);
	size_t space = key.find(' ');
	FUZZ_CHECK(space != std::string_view::npos && key.find(' ', space + 1) == std::string_view::npos);
	int word_kind = get_key_type(key.data(), space);
	FUZZ_CHECK(word_kind >= 0);
	size_t token_len, type_len;
	unsigned char header[KEY_HEADER_SIZE + 1];
	FUZZ_CHECK(decode_key_header(key_text + space + 1, &token_len, &type_len, header) == 0);
	FUZZ_CHECK(token_len == key.size() - space - 1);
	FUZZ_CHECK(get_key_type(reinterpret_cast<const char *>(header + 4), type_len) == word_kind);

	std::string_view after = line.substr(at + key.size());
	if (comment != nullptr) {
		FUZZ_CHECK(!after.empty() && after[0] == ' ');
		// The comment is the rest of the line up to a NUL, which ends a line for the reader.
		std::string_view rest = after.substr(1);
		FUZZ_CHECK(rest.substr(0, strlen(comment)) == comment);
		FUZZ_CHECK(strlen(comment) == rest.size() || rest[strlen(comment)] == '\0');
	} else {
		FUZZ_CHECK(after.empty() || after[0] != ' ');
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0 || size > MAX_INPUT)
		return 0;
	std::string_view file(reinterpret_cast<const char *>(data), size);
	FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
	FUZZ_CHECK(f != nullptr);
	key_entry_reset_line_counter();
	// The first pass asks for everything, the second for nothing: both see the same entries.
	size_t entries = 0;
	int r;
	for (;;) {
		char *user = nullptr, *key_text = nullptr, *comment = nullptr;
		unsigned int line_len = 0;
		r = read_key_entry(f, &user, &key_text, &comment, &line_len);
		if (r != 0)
			break;
		check_entry(file, ftell(f), user, key_text, comment, line_len);
		free(user);
		free(key_text);
		free(comment);
		entries++;
		FUZZ_CHECK(entries <= size);
	}
	FUZZ_CHECK(r == -1 || r == 1);
	rewind(f);
	key_entry_reset_line_counter();
	size_t again = 0;
	int r2;
	for (;;) {
		char *user = nullptr, *key_text = nullptr;
		r2 = read_key_entry(f, &user, &key_text, nullptr, nullptr);
		if (r2 != 0)
			break;
		free(user);
		free(key_text);
		again++;
	}
	FUZZ_CHECK(again == entries && r2 == r);
	fclose(f);
	return 0;
}
