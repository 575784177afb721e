// Entries of the key file .ssh/authorized_keys: one line per key, each forcing a user name.
#ifndef TOLVAR_ADMIN_KEY_ENTRY_H
#define TOLVAR_ADMIN_KEY_ENTRY_H

#include <cstdio>

#define KEY_FILE_PATH ".ssh/authorized_keys"

// Longest line the reader takes, newline excluded.
constexpr size_t KEY_LINE_MAX = 4095;

// Reads the next entry of f, warning about malformed lines on standard error (with their line
// numbers; a key that cannot be decoded included) and passing over them. Returns 0 with *user and
// *key_text set (caller frees; *comment too when comment is given, null when the line has none;
// *line_len the bytes of the line without its newline when given), and f just after the line; -1
// at end of file, on a read error or when memory runs out.
int read_key_entry(FILE *f, char **user, char **key_text, char **comment, unsigned int *line_len);

// Starts line numbering from 1 again (each run of the tool reads the file once).
void key_entry_reset_line_counter(void);

#endif
