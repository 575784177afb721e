#include "cli/cli-commands.h"

#include <fcntl.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli-frontend.h"
#include "cli/cli-backlog.h"
#include "cli/cli-history.h"
#include "cli/cli-ignore.h"
#include "cli/cli-output.h"
#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "cli/cli-words.h"
#include "client/motd.h"
#include "client/requests.h"
#include "common/file-helpers.h"
#include "common/i18n.h"

namespace {

constexpr size_t MOTD_SHOWN_MAX = 1024;

void command_who(int server_fd, int, char **)
{
	if (client_send_request_get_online_users(server_fd) < 0)
		perror("who: write");
}

// A setting command: exactly one argument, one of words (index = value stored).
bool pick_word(int argc, char **argv, const char *const *words, int count, int *picked)
{
	if (argc != 2)
		return false;
	for (int i = 0; i < count; i++) {
		if (strcmp(argv[1], words[i]) == 0) {
			*picked = i;
			return true;
		}
	}
	return false;
}

void store_digit(const char *key, int value)
{
	char digit[2] = {(char)('0' + value), '\0'};
	set_preference(key, digit);
}

void command_alert(int, int argc, char **argv)
{
	static const char *const words[] = {"off", "on"};
	int v;
	if (!pick_word(argc, argv, words, 2, &v)) {
		fprintf(stderr, _("Usage: %s off|on\n"), argv[0]);
		return;
	}
	cli_state.alert = v;
	store_digit("alert", v);
}

void command_showhtml(int, int argc, char **argv)
{
	static const char *const words[] = {"off", "color", "plain", "raw"};
	int v;
	if (!pick_word(argc, argv, words, 4, &v)) {
		fprintf(stderr, _("Usage: %s off|color|plain|raw\n"), argv[0]);
		return;
	}
	cli_state.showhtml = v;
	store_digit("showhtml", v);
}

void command_color(int, int argc, char **argv)
{
	static const char *const words[] = {"off", "on", "auto"};
	int v;
	if (!pick_word(argc, argv, words, 3, &v)) {
		fprintf(stderr, _("Usage: %s off|on|auto\n"), argv[0]);
		return;
	}
	cli_state.color = v;
	store_digit("color", v);
}

void command_msg(int server_fd, int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, _("Usage: %s <user> <message> [<message> ...]\n"), argv[0]);
		return;
	}
	char *text = nullptr;
	size_t length = 0;
	for (int i = 2; i < argc; i++) {
		size_t word_length = strlen(argv[i]);
		size_t grown_size = length + (i > 2 ? 1 : 0) + word_length + 1;
		char *grown = static_cast<char *>(realloc(text, grown_size));
		if (grown == nullptr) {
			perror("realloc");
			free(text);
			return;
		}
		text = grown;
		if (i > 2)
			text[length++] = ' ';
		memcpy(text + length, argv[i], word_length + 1);
		length += word_length;
	}
	client_post_plain_text(server_fd, argv[1], text);
	free(text);
}

void command_motd(int, int, char **) { print_motd(0); }

// What a setting does, also for values that only a hand-edited preferences file can give:
// showhtml outside 0 to 2 shows the source like raw, color outside 1 and 2 colours nothing.
int effective_showhtml(void) { return cli_state.showhtml >= 0 && cli_state.showhtml <= 2 ? cli_state.showhtml : 3; }
int effective_color(void) { return cli_state.color == 1 || cli_state.color == 2 ? cli_state.color : 0; }

void command_listoptions(int, int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "-e") == 0) {
		static const char *const showhtml_words[] = {"off", "color", "plain", "raw"};
		static const char *const color_words[] = {"off", "on", "auto"};
		printf("/alert %s\n", cli_state.alert != 0 ? "on" : "off");
		printf("/showhtml %s\n", showhtml_words[effective_showhtml()]);
		printf("/color %s\n", color_words[effective_color()]);
		printf("/backlog %d\n", cli_state.backlog);
		return;
	}
	static const char *const showhtml_texts[] = {N_("off"), N_("colorized text"), N_("plain text"),
						     N_("raw html document")};
	static const char *const color_texts[] = {N_("off"), N_("on"), N_("automatic (if terminal)")};
	printf("%s%s\n", _("Message alert:          "), cli_state.alert != 0 ? _("on") : _("off"));
	printf("%s%s\n", _("Showing HTML message:   "), _(showhtml_texts[effective_showhtml()]));
	printf("%s%s\n", _("Use colorized output:   "), _(color_texts[effective_color()]));
	printf("%s%d\n", _("Backlog at start-up:    "), cli_state.backlog);
}

void command_version(int, int, char **)
{
	printf("TOLVAR 1.3.0 (built on %s %s)\n", __DATE__, __TIME__);
	printf("%s\n", _("Command line interface frontend"));
	printf("Copyright (C) the tolvar team\n");
	printf("%s%s\n", _("Project page: "), "README.md in the tolvar repository");
}

void command_quit(int, int, char **) { cli_finish(0); }

void command_help(int, int, char **)
{
	printf("%s\n", _("Supported commands:"));
	for (const CommandEntry *e = command_table; e->name != nullptr; e++)
		printf("/%s %s\n", e->name, e->usage);
	fputs(_("End of list\n"), stdout);
	putchar('\n');
}

void out_of_memory(void) { print_with_time(-1, PRINT_END_LINE, "do_command: out of memory"); }

}  // namespace

const CommandEntry command_table[] = {
	{"who", "", command_who, ARG_NONE},
	{"list", "", command_who, ARG_NONE},
	{"alert", "off|on", command_alert, ARG_NONE},
	{"bell", "off|on", command_alert, ARG_NONE},
	{"showhtml", "off|color|plain|raw", command_showhtml, ARG_NONE},
	{"color", "off|on|auto", command_color, ARG_NONE},
	{"msg", "<user> <message> [<message> ...]", command_msg, ARG_ONLINE_USER},
	{"tell", "<user> <message> [<message> ...]", command_msg, ARG_ONLINE_USER},
	{"motd", "", command_motd, ARG_NONE},
	{"pasteimage", "<user>", cli_command_pasteimage, ARG_ONLINE_USER},
	{"history", "[<count>]", cli_command_history, ARG_NONE},
	{"backlog", "<count>", cli_command_backlog, ARG_NONE},
	{"listoptions", "[-e]", command_listoptions, ARG_NONE},
	{"version", "", command_version, ARG_NONE},
	{"quit", "", command_quit, ARG_NONE},
	{"help", "", command_help, ARG_NONE},
	{"ignore", "[<user>]", cli_command_ignore, ARG_ONLINE_USER},
	{"unignore", "<user>", cli_command_unignore, ARG_IGNORED_USER},
	{"clearhistory", "", cli_command_clearhistory, ARG_NONE},
	{nullptr, nullptr, nullptr, ARG_NONE},
};

void do_command(int server_fd, const char *line)
{
	if (line[0] != '/') {
		if (line[0] != '\0')
			client_post_plain_text(server_fd, "GLOBAL", line);
		return;
	}
	if (line[1] == '\0')
		return;
	char *copy = strdup(line + 1);
	char **argv = static_cast<char **>(malloc(sizeof(char *)));
	if (copy == nullptr || argv == nullptr) {
		out_of_memory();
		free(copy);
		free(argv);
		return;
	}
	argv[0] = nullptr;
	int argc = 0;
	if (cli_split_words(copy, &argv, &argc) < 0) {
		out_of_memory();
	} else if (argc > 0) {
		const CommandEntry *e = command_table;
		while (e->name != nullptr && strcmp(e->name, argv[0]) != 0)
			e++;
		if (e->name != nullptr)
			e->handler(server_fd, argc, argv);
		else
			print_with_time(-1, PRINT_END_LINE, _("Error: Unknown command '%s'"), argv[0]);
	}
	free(argv);
	free(copy);
}

void print_motd(int silent)
{
	char buf[MOTD_SHOWN_MAX];
	int32_t n = client_read_motd(buf, sizeof buf);
	if (n == MOTD_OPEN_FAILED && errno == ENOENT) {
		if (!silent)
			print_with_time(-1, PRINT_END_LINE, "%s", _("No MOTD available"));
		return;
	}
	if (n < 0) {
		perror(n == MOTD_OPEN_FAILED ? "motd" : "read: motd");
		return;
	}
	if (n == 0)
		return;
	print_with_time(-1, PRINT_END_LINE, "%s", _("Message of the day:"));
	fflush(stdout);
	if (write_fully(1, buf, (size_t)n) < 0)
		perror("write: stdout");
	if (buf[n - 1] != '\n')
		putchar('\n');
}
