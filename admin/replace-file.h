// Replacing a file whole: the new text goes to a temporary file beside it, is synced, and is
// renamed over the old one, so a reader sees the old file or the new one, never a mixture, and a
// failure or a crash leaves the old file.
#ifndef TOLVAR_ADMIN_REPLACE_FILE_H
#define TOLVAR_ADMIN_REPLACE_FILE_H

#include <limits.h>

#include <cstdio>

struct Replacement {
	const char *target = nullptr;	// borrowed
	char temp[PATH_MAX] = "";	// the temporary file, while it exists
	FILE *f = nullptr;		// open for reading and writing on the temporary file
};

// Creates the temporary file for target (in target's directory, mode 0600 less the file-creation
// mask, or the permission bits of a regular file at target; a symbolic link there is not
// followed). Returns 0, or -1 with errno (nothing left).
int replacement_begin(Replacement *r, const char *target);
// Flushes, syncs and closes the temporary file and renames it over the target. Returns 0, or -1
// with errno after removing the temporary file (the target is then unchanged).
int replacement_commit(Replacement *r);
// Closes and removes the temporary file, keeping errno; nothing happens after a commit.
void replacement_abort(Replacement *r);

#endif
