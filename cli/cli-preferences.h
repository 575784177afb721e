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

// The two halves on any update-mode stream, for load_preferences and set_preference.
// preferences_apply_stream reads f from its current position to the end into *state,
// removing invalid lines; it returns 0, or -1 when a removal failed (loading then stopped).
int preferences_apply_stream(FILE *f, CliState *state);
void preferences_store_stream(FILE *f, const char *key, const char *value);

#endif
