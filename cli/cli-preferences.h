// Each user's display settings (alert, showhtml, color, backlog), kept in
// "users-preferences/<name>".
#ifndef TOLVAR_CLI_CLI_PREFERENCES_H
#define TOLVAR_CLI_CLI_PREFERENCES_H

#include <cstdio>

struct CliState;

// Opens (creating the directory and the file when missing) the user's file, applies its valid
// lines to cli_state and removes the invalid ones. The stream stays open for set_preference.
// Failures are reported on standard error; the session then stores nothing.
void load_preferences(const char *user_name);

// Stores key ("alert", "showhtml", "color": one digit; "backlog": one to three) with value in
// the open file: the
// first line of that key is rewritten in place, or the line is appended. Reports nothing.
void set_preference(const char *key, const char *value);

// Room for the path of a side file: the directory, a slash, a name of up to 32 bytes, "#",
// the kind, and a temporary name's ".XXXXXX".
constexpr size_t PREFERENCES_PATH_SIZE = 96;

// The user's side file of kind ("ignore", "history") in path (size bytes):
// "users-preferences/<name>#<kind>". No user name holds "#", so a side file can never be
// another user's preferences file, and the preferences loader never opens it. 0, or -1 when
// it does not fit.
int preferences_side_path(const char *user_name, const char *kind, char *path, size_t size);

// Replaces the file at path (mode 0600) by what write_content writes to f: a temporary file in
// the same directory, synced and renamed over path. write_content returns 0, or -1 to give up.
// 0, or -1 with errno (path is then unchanged).
int preferences_replace_file(const char *path, int (*write_content)(FILE *f, void *context), void *context);

// Consumes the rest of a line that did not fit into a line reader's buffer, up to and
// including its LF.
void preferences_skip_line(FILE *f);

// The two halves on any update-mode stream, for load_preferences and set_preference.
// preferences_apply_stream reads f from its current position to the end into *state,
// removing invalid lines; it returns 0, or -1 when a removal failed (loading then stopped).
int preferences_apply_stream(FILE *f, CliState *state);
void preferences_store_stream(FILE *f, const char *key, const char *value);

#endif
