// Cutting a command line into words, with simple quoting.
#ifndef TOLVAR_CLI_CLI_WORDS_H
#define TOLVAR_CLI_CLI_WORDS_H

// Cuts text in place into words and appends them to *argv (malloc'ed, room for *argc
// entries plus a null one; grown by realloc one entry per word, closed with a null entry).
// Separators are space, tab, CR and LF. A word that starts with " or ' runs to the next same
// quote (or to the end of the text when it is missing); there is no escape character.
// Returns 0, or -1 with errno ENOMEM (*argv still valid, the caller frees it).
int cli_split_words(char *text, char ***argv, int *argc);

#endif
