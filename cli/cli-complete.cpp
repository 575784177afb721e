#include "cli/cli-complete.h"

#include <readline/readline.h>

#include <cstdlib>
#include <cstring>

#include "cli/cli-commands.h"
#include "cli/cli-escape.h"
#include "cli/cli-ignore.h"
#include "cli/cli-online.h"
#include "protocol/local-protocol.h"

namespace {

const CommandEntry *completion_cursor = nullptr;
size_t completion_length = 0;

// The user-name completion under way.
struct UserCompletion {
	CommandArg source;	// ARG_ONLINE_USER or ARG_IGNORED_USER
	bool at_sign;		// the word and its matches start with "@"
	size_t next;		// the next name to look at
};
UserCompletion user_completion = {ARG_NONE, false, 0};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The command whose first argument begins at start in line: "/", the command word, blanks.
const CommandEntry *command_of_first_argument(const char *line, int start)
{
	int i = 0;
	if (line[i++] != '/')
		return nullptr;
	while (i < start && is_blank(line[i]))
		i++;
	int name_start = i;
	while (i < start && !is_blank(line[i]))
		i++;
	int name_end = i;
	if (name_end == name_start || name_end == start)
		return nullptr;
	while (i < start && is_blank(line[i]))
		i++;
	if (i != start)
		return nullptr;
	size_t length = (size_t)(name_end - name_start);
	for (const CommandEntry *e = command_table; e->name != nullptr; e++) {
		if (strlen(e->name) == length && strncmp(e->name, line + name_start, length) == 0)
			return e;
	}
	return nullptr;
}

// Names that the terminal would not show as they are (control bytes) are never offered.
bool shows_as_is(const char *name)
{
	char shown[cli_escaped_size(LOCAL_NAME_FIELD)];
	return strcmp(cli_escape_name(name, shown, sizeof shown), name) == 0;
}

// The match for name: "@" in front for an "@" word; as a command argument, in double quotes
// when it holds a blank (the command line is cut into words at blanks).
char *make_match(const char *name, bool at_sign)
{
	size_t n = strlen(name);
	bool quote = !at_sign && (strchr(name, ' ') != nullptr);
	char *match = static_cast<char *>(malloc(n + 3));
	if (match == nullptr)
		return nullptr;
	size_t at = 0;
	if (at_sign)
		match[at++] = '@';
	if (quote)
		match[at++] = '"';
	memcpy(match + at, name, n);
	at += n;
	if (quote)
		match[at++] = '"';
	match[at] = '\0';
	return match;
}

}  // namespace

char *command_name_generator(const char *text, int state)
{
	if (state == 0) {
		if (text[0] != '/')
			return nullptr;
		completion_length = strlen(text);
		completion_cursor = command_table;
	}
	if (completion_cursor == nullptr)
		return nullptr;
	for (; completion_cursor->name != nullptr; completion_cursor++) {
		if (strncmp(completion_cursor->name, text + 1, completion_length - 1) != 0)
			continue;
		size_t n = strlen(completion_cursor->name);
		char *match = static_cast<char *>(malloc(n + 2));
		if (match == nullptr)
			return nullptr;
		match[0] = '/';
		memcpy(match + 1, completion_cursor->name, n + 1);
		completion_cursor++;
		return match;
	}
	return nullptr;
}

char *user_name_generator(const char *text, int state)
{
	UserCompletion *c = &user_completion;
	if (state == 0)
		c->next = 0;
	// What is typed of the name: after the "@", or after an opening double quote.
	const char *typed = text + (c->at_sign || text[0] == '"' ? 1 : 0);
	size_t typed_length = strlen(typed);
	bool online = c->source == ARG_ONLINE_USER;
	size_t count = online ? cli_online_count() : c->source == ARG_IGNORED_USER ? cli_ignore_count() : 0;
	while (c->next < count) {
		const char *name = online ? cli_online_at(c->next) : cli_ignore_at(c->next);
		c->next++;
		if (name != nullptr && strncmp(name, typed, typed_length) == 0 && shows_as_is(name))
			return make_match(name, c->at_sign);
	}
	return nullptr;
}

char **complete_command_name(const char *text, int start, int)
{
	rl_attempted_completion_over = 1;
	if (start <= 0 && text[0] == '/')
		return rl_completion_matches(text, command_name_generator);
	if (start <= 0 && text[0] == '@') {
		user_completion = {ARG_ONLINE_USER, true, 0};
		return rl_completion_matches(text, user_name_generator);
	}
	const CommandEntry *e = start > 0 ? command_of_first_argument(rl_line_buffer, start) : nullptr;
	if (e == nullptr || e->arg == ARG_NONE)
		return nullptr;
	user_completion = {e->arg, false, 0};
	return rl_completion_matches(text, user_name_generator);
}
