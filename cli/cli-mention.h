// Mentions of the user in the text of others' messages.
#ifndef TOLVAR_CLI_CLI_MENTION_H
#define TOLVAR_CLI_CLI_MENTION_H

#include <cstddef>

// Most mentions highlighted in one message; later ones are shown plainly.
constexpr size_t MENTION_SPANS_MAX = 16;

// Finds name in text (n bytes, up to its first NUL) as a word of its own: the bytes around it
// are no ASCII letter, digit or "_" and no byte of a multi-byte character, and ASCII letters
// match whatever their case ("@alice" and "Alice," mention alice, "malice" does not). Stores
// the start and end offset of each mention in marks (room for max_marks offsets) and returns
// the number of offsets stored.
size_t cli_find_mentions(const char *text, size_t n, const char *name, size_t *marks, size_t max_marks);

#endif
