// Fuzzes the preferences file: arbitrary contents are loaded through load_preferences, then
// one to three settings are stored with set_preference. Checked after each step: loading
// leaves only lines that a second load keeps unchanged (and that give the same settings),
// storing rewrites a line in place or appends one, and a reload sees the stored value unless
// a later line of the same key overrides it.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "fuzz/fuzz-support.h"
#include "testing/proc-files.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 14;
constexpr size_t LINE_MAX_STORED = 255;	// longer lines are never read as settings
const char *const PATH = "users-preferences/fuzz";
const char *const keys[3] = {"alert", "showhtml", "color"};

std::string read_file(void)
{
	std::string s;
	FUZZ_CHECK(tt::read_file(PATH, &s));
	return s;
}

void write_file(std::string_view content)
{
	FILE *f = fopen(PATH, "wb");
	FUZZ_CHECK(f != nullptr);
	FUZZ_CHECK(fwrite(content.data(), 1, content.size(), f) == content.size());
	FUZZ_CHECK(fclose(f) == 0);
}

std::vector<std::string_view> lines_of(std::string_view s)
{
	std::vector<std::string_view> lines;
	while (!s.empty()) {
		size_t lf = s.find('\n');
		lines.push_back(s.substr(0, lf));
		s = lf == std::string_view::npos ? std::string_view() : s.substr(lf + 1);
	}
	return lines;
}

// The one numeric setting of more than one digit: "backlog=" and one to three digits.
bool is_backlog_setting(std::string_view line)
{
	constexpr std::string_view key = "backlog=";
	if (line.size() <= key.size() || line.size() > key.size() + 3 || line.substr(0, key.size()) != key)
		return false;
	for (char c : line.substr(key.size()))
		if (c < '0' || c > '9')
			return false;
	return true;
}

// A line that loading applies for key: "key=" and one character, short enough to be read.
bool is_setting(std::string_view line, std::string_view key)
{
	return line.size() == key.size() + 2 && line.substr(0, key.size()) == key && line[key.size()] == '=';
}

int value_of(const CliState &s, int key)
{
	return key == 0 ? s.alert : key == 1 ? s.showhtml : s.color;
}

// Applies the file from its start to a fresh state; the file must not change.
CliState reload(const std::string &expected)
{
	FILE *f = fopen(PATH, "r+");
	FUZZ_CHECK(f != nullptr);
	CliState s = CLI_STATE_INITIAL;
	FUZZ_CHECK(preferences_apply_stream(f, &s) == 0);
	fclose(f);
	FUZZ_CHECK(read_file() == expected);
	return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = false;
	if (!ready) {
		fuzz_enter_private_directory();
		FUZZ_CHECK(mkdir("users-preferences", 0750) == 0);
		ready = true;
	}
	if (size < 1 || size > MAX_INPUT)
		return 0;
	// First byte: which keys are stored (bits 0-2) and the digit for each (the rest).
	unsigned ops = data[0];
	write_file(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1));

	cli_state = CLI_STATE_INITIAL;
	load_preferences("fuzz");
	std::string loaded = read_file();
	for (std::string_view line : lines_of(loaded)) {
		if (line.empty() || line[0] == '#' || line.size() > LINE_MAX_STORED)
			continue;
		FUZZ_CHECK(is_setting(line, keys[0]) || is_setting(line, keys[1]) || is_setting(line, keys[2]) ||
			   is_backlog_setting(line));
	}
	CliState again = reload(loaded);
	FUZZ_CHECK(again.alert == cli_state.alert && again.showhtml == cli_state.showhtml &&
		   again.color == cli_state.color);

	std::string file = loaded;
	for (int k = 0; k < 3; k++) {
		if ((ops & (1u << k)) == 0)
			continue;
		char digit[2] = {(char)('0' + (ops >> 3) % (k == 0 ? 2 : k == 1 ? 4 : 3)), '\0'};
		size_t settings = 0;
		for (std::string_view line : lines_of(file))
			settings += is_setting(line, keys[k]) ? 1 : 0;
		set_preference(keys[k], digit);
		std::string stored = read_file();
		if (settings > 0) {
			FUZZ_CHECK(stored.size() == file.size());	// rewritten in place
		} else {
			size_t grow = strlen(keys[k]) + 3 + (!file.empty() && file.back() != '\n' ? 1 : 0);
			FUZZ_CHECK(stored.size() == file.size() + grow);
			FUZZ_CHECK(stored.compare(0, file.size(), file) == 0);
		}
		CliState s = reload(stored);
		int want = k == 0 ? (digit[0] == '1' ? 1 : 0) : digit[0] - '0';
		if (settings <= 1)
			FUZZ_CHECK(value_of(s, k) == want);
		file = stored;
	}
	return 0;
}
