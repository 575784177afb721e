// Completion with the Tab key: command names, and the names of users where a command takes
// one or where a chat line starts with "@".
#ifndef TOLVAR_CLI_CLI_COMPLETE_H
#define TOLVAR_CLI_CLI_COMPLETE_H

// Readline's completion hook: command names for a first word that starts with "/", user names
// for the first argument of a command that takes one (the users online, or the ignored ones
// for /unignore) and for a first word that starts with "@". Never file names.
char **complete_command_name(const char *text, int start, int end);
// One match per call (state 0 starts a word); newly allocated, readline frees it.
char *command_name_generator(const char *text, int state);
char *user_name_generator(const char *text, int state);

// Words are broken at blanks only, so that "@" stays part of the word.
constexpr const char *COMPLETION_WORD_BREAKS = " \t\n";

#endif
