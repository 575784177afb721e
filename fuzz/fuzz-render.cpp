// Fuzzes the rendering of what the server sends (chat messages, notices, presence, the session
// list) as the terminal frontend shows it, in UTF-8, Latin-1, EUC-JP and C locales, with and
// without colour: whatever the packet holds, the output holds no byte that could drive the
// terminal beyond the colour sequences the frontend writes itself and its own bell and carriage
// return, and no line of a message after its first can pass for a message header.
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "cli/cli-escape.h"
#include "cli/cli-render.h"
#include "cli/cli-state.h"
#include "fuzz/fuzz-support.h"
#include "protocol/local-protocol.h"

namespace {

constexpr size_t MAX_INPUT = 1 << 14;

FuzzMemFile out;
const char *const locales[4] = {"C.UTF-8", "en_US.ISO-8859-1", "C", "ja_JP.EUC-JP"};
int current_locale = -1;

// The colour sequences the frontend itself writes: sender colours, reset, bold escapes, mentions.
const char *const allowed_sgr[] = {"\033[1;32m", "\033[1;34m", "\033[0m", "\033[1m", CLI_MARK_ON};

size_t utf8_sequence(const std::string &s, size_t i)
{
	unsigned char c = (unsigned char)s[i];
	size_t need = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
	if (need == 0 || i + need > s.size())
		return 0;
	unsigned char lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
	unsigned char hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
	for (size_t k = 1; k < need; k++) {
		unsigned char b = (unsigned char)s[i + k];
		if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xbf))
			return 0;
	}
	return need;
}

void check_output(const std::string &s, bool colour, bool bell, TermCharset charset)
{
	size_t bells = 0;
	for (size_t i = 0; i < s.size();) {
		unsigned char c = (unsigned char)s[i];
		if (c == 0x1b) {
			FUZZ_CHECK(colour);
			size_t len = 0;
			for (const char *sgr : allowed_sgr) {
				if (s.compare(i, strlen(sgr), sgr) == 0)
					len = strlen(sgr);
			}
			FUZZ_CHECK(len > 0);
			i += len;
			continue;
		}
		if (c == 0x07) {
			FUZZ_CHECK(bell && ++bells == 1);
		} else {
			FUZZ_CHECK(c != 0 && c != 0x04 && c != 0x05 && c != 0x08 && c != 0x0e && c != 0x0f && c != 0x7f);
		}
		if (c < 0x80) {
			i++;
			continue;
		}
		if (charset == TERM_CHARSET_MULTI_BYTE) {
			// Only whole characters of the locale's set, and no C1 control among them.
			mbstate_t ps;
			memset(&ps, 0, sizeof ps);
			wchar_t wc = 0;
			size_t len = mbrtowc(&wc, s.data() + i, s.size() - i, &ps);
			FUZZ_CHECK(len != (size_t)-1 && len != (size_t)-2 && len != 0);
			FUZZ_CHECK(!(wc >= 0x80 && wc <= 0x9f));
			i += len;
			continue;
		}
		if (charset == TERM_CHARSET_SINGLE_BYTE) {
			FUZZ_CHECK(c >= 0xa0);	// 0x80 to 0x9F are C1 controls there
			i++;
			continue;
		}
		size_t len = utf8_sequence(s, i);
		if (len == 0) {
			FUZZ_CHECK(c >= 0xa0);	// a stray byte that no terminal takes for a C1 control
			i++;
			continue;
		}
		FUZZ_CHECK(!(c == 0xc2 && (unsigned char)s[i + 1] <= 0x9f));	// U+0080 to U+009F
		i += len;
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (out.fd < 0) {
		fuzz_memfile_install(&out, STDOUT_FILENO);
		setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
	}
	if (size < 2 || size > MAX_INPUT)
		return 0;
	// Byte 0: settings; byte 1: packet type (0 to 9, 9 standing for an unknown large number);
	// the rest: the payload.
	unsigned opts = data[0];
	int loc = (int)(opts & 3);
	if (loc != current_locale) {
		FUZZ_CHECK(setlocale(LC_CTYPE, locales[loc]) != nullptr);
		current_locale = loc;
	}
	cli_state = CLI_STATE_INITIAL;
	cli_state.own_user_name = "alice";
	cli_state.log_mode = (opts & 0x04) != 0;
	cli_state.alert = (opts & 0x08) ? 1 : 0;
	cli_state.color = (opts >> 4) & 3;	// 2: auto, and standard output is no terminal
	int showhtml = (opts >> 6) & 3;
	cli_state.showhtml = showhtml == 1 || showhtml == 2 ? 7 : showhtml;	// elinks is left to the tests
	int32_t type = data[1] % 10 == 9 ? 0x10000 + data[1] : data[1] % 10;

	std::string_view payload(reinterpret_cast<const char *>(data + 2), size - 2);
	std::string packet = tt::local_packet(type, payload);
	cli_show_packet(reinterpret_cast<const unsigned char *>(packet.data()));
	fflush(stdout);
	std::string shown = fuzz_memfile_take(&out);
	bool colour = cli_state.color == 1;
	check_output(shown, colour, cli_state.alert == 1 && !cli_state.log_mode, cli_term_charset());
	if (type == LOCAL_PACKET_RECEIVE_MESSAGE) {
		for (size_t at = shown.find('\n'); at != std::string::npos && at + 1 < shown.size();
		     at = shown.find('\n', at + 1))
			FUZZ_CHECK(shown[at + 1] == ' ' || shown[at + 1] == '\n');
	}
	return 0;
}
