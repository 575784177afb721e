#include "cli/cli-words.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends word to the vector, keeping room for the closing null entry.
static int append_word(char ***argv, int *argc, char *word)
{
	char **grown = static_cast<char **>(realloc(*argv, sizeof(char *) * ((size_t)*argc + 2)));
	if (grown == nullptr) {
		errno = ENOMEM;
		return -1;
	}
	*argv = grown;
	grown[(*argc)++] = word;
	grown[*argc] = nullptr;
	return 0;
}

int cli_split_words(char *text, char ***argv, int *argc)
{
	char *p = text;
	for (;;) {
		while (is_separator(*p))
			p++;
		if (*p == '\0')
			return 0;
		char *word;
		if (*p == '"' || *p == '\'') {
			char quote = *p++;
			word = p;
			char *close = strchr(p, quote);
			if (close == nullptr) {
				// No closing quote: the word is the whole rest, separators included.
				return append_word(argv, argc, word);
			}
			*close = '\0';
			p = close + 1;
		} else {
			word = p;
			while (*p != '\0' && !is_separator(*p))
				p++;
			if (*p != '\0')
				*p++ = '\0';
		}
		if (append_word(argv, argc, word) < 0)
			return -1;
	}
}
