// Fuzzes the command interpreter with arbitrary input lines: cli_split_words must cut a line as
// a simple model of its quoting rule does, and do_command must send the server only whole
// packets that say what the line asked for (a chat line to everybody, /msg to one user, /who),
// and nothing for any other line.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli-commands.h"
#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "cli/cli-words.h"
#include "fuzz/fuzz-support.h"
#include "protocol/local-protocol.h"

namespace {

constexpr size_t MAX_INPUT = 4096;

int server_end = -1;	// what the server would read
int client_end = -1;	// the frontend's server connection
FuzzMemFile out;

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The quoting rule, written plainly.
std::vector<std::string> model_words(const std::string &s)
{
	std::vector<std::string> words;
	size_t i = 0, n = s.size();
	for (;;) {
		while (i < n && is_separator(s[i]))
			i++;
		if (i == n)
			return words;
		if (s[i] == '"' || s[i] == '\'') {
			size_t close = s.find(s[i], i + 1);
			if (close == std::string::npos) {
				words.push_back(s.substr(i + 1));
				return words;
			}
			words.push_back(s.substr(i + 1, close - i - 1));
			i = close + 1;
		} else {
			size_t end = i;
			while (end < n && !is_separator(s[end]))
				end++;
			words.push_back(s.substr(i, end - i));
			i = end < n ? end + 1 : end;
		}
	}
}

std::vector<std::string> split(const std::string &line)
{
	std::vector<char> text(line.begin(), line.end());
	text.push_back('\0');
	char **argv = static_cast<char **>(malloc(sizeof(char *)));
	FUZZ_CHECK(argv != nullptr);
	argv[0] = nullptr;
	int argc = 0;
	FUZZ_CHECK(cli_split_words(text.data(), &argv, &argc) == 0);
	std::vector<std::string> words;
	for (int i = 0; i < argc; i++) {
		FUZZ_CHECK(argv[i] >= text.data() && argv[i] < text.data() + text.size());
		FUZZ_CHECK(i == 0 || argv[i] > argv[i - 1]);
		words.emplace_back(argv[i]);
	}
	FUZZ_CHECK(argv[argc] == nullptr);
	free(argv);
	return words;
}

// Whole packets that reached the server end; the socket is left empty.
std::vector<std::string> drain(void)
{
	std::string bytes;
	char buf[8192];
	for (;;) {
		ssize_t r = recv(server_end, buf, sizeof buf, MSG_DONTWAIT);
		if (r < 0) {
			FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
			break;
		}
		bytes.append(buf, (size_t)r);
	}
	return fuzz_whole_local_packets(bytes);
}

void check_post(const std::string &packet, const std::string &to, const std::string &text)
{
	LocalPacketView p;
	MessageView m;
	FUZZ_CHECK(local_packet_open(reinterpret_cast<const unsigned char *>(packet.data()), &p) == 0);
	FUZZ_CHECK(p.type == LOCAL_PACKET_POST_MESSAGE && local_parse_message(p, &m) == 0);
	FUZZ_CHECK(m.to_user == to.substr(0, LOCAL_NAME_FIELD - 1) && m.kind == MESSAGE_KIND_PLAIN);
	FUZZ_CHECK(m.text == text);
}

void setup(void)
{
	fuzz_enter_private_directory();
	FILE *motd = fopen("motd", "w");
	FUZZ_CHECK(motd != nullptr);
	fputs("Welcome to the fuzzed chat\n", motd);
	fclose(motd);
	int sv[2];
	FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
	client_end = sv[0];
	server_end = sv[1];
	fuzz_memfile_install(&out, STDOUT_FILENO);
	cli_state = CLI_STATE_INITIAL;
	load_preferences("fuzz");	// the setting commands store into it
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (client_end < 0)
		setup();
	if (size > MAX_INPUT)
		return 0;
	// The line as the input handler passes it: up to its first NUL.
	std::string line(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
	std::vector<std::string> words = split(line);
	FUZZ_CHECK(words == model_words(line));

	std::vector<std::string> argv = line[0] == '/' ? split(line.substr(1)) : std::vector<std::string>();
	// /quit ends the process, /pasteimage starts xclip: both are left to the session tests.
	if (!argv.empty() && (argv[0] == "quit" || argv[0] == "pasteimage"))
		return 0;
	int alert = cli_state.alert, showhtml = cli_state.showhtml, color = cli_state.color;
	do_command(client_end, line.c_str());
	fflush(stdout);
	fuzz_memfile_clear(&out);
	std::vector<std::string> sent = drain();

	if (line.empty() || (line[0] == '/' && argv.empty())) {
		FUZZ_CHECK(sent.empty());
	} else if (line[0] != '/') {
		FUZZ_CHECK(sent.size() == 1);
		check_post(sent[0], "GLOBAL", line);
	} else if ((argv[0] == "msg" || argv[0] == "tell") && argv.size() >= 3) {
		std::string text = argv[2];
		for (size_t i = 3; i < argv.size(); i++)
			text += " " + argv[i];
		FUZZ_CHECK(sent.size() == 1);
		check_post(sent[0], argv[1], text);
	} else if (argv[0] == "who" || argv[0] == "list") {
		FUZZ_CHECK(sent.size() == 1 && sent[0].size() == LOCAL_PACKET_OVERHEAD);
		LocalPacketView p;
		FUZZ_CHECK(local_packet_open(reinterpret_cast<const unsigned char *>(sent[0].data()), &p) == 0);
		FUZZ_CHECK(p.type == LOCAL_PACKET_GET_ONLINE_USERS);
	} else if (argv[0] == "history") {
		// A valid count asks the server for the kept messages; a bad one sends nothing.
		FUZZ_CHECK(sent.size() <= 1);
		LocalPacketView p;
		FUZZ_CHECK(sent.empty() ||
			   (local_packet_open(reinterpret_cast<const unsigned char *>(sent[0].data()), &p) == 0 &&
			    p.type == LOCAL_PACKET_GET_HISTORY));
	} else {
		FUZZ_CHECK(sent.empty());
	}
	// A setting changes only through its own command with a valid word.
	bool setting = !argv.empty() && argv.size() == 2 &&
		       (argv[0] == "alert" || argv[0] == "bell" || argv[0] == "showhtml" || argv[0] == "color");
	if (!setting)
		FUZZ_CHECK(cli_state.alert == alert && cli_state.showhtml == showhtml && cli_state.color == color);
	FUZZ_CHECK(cli_state.alert >= 0 && cli_state.alert <= 1 && cli_state.showhtml >= 0 && cli_state.showhtml <= 3 &&
		   cli_state.color >= 0 && cli_state.color <= 2);
	return 0;
}
