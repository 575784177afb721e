// Stream and descriptor helpers shared by tolvard and tolvaradm.
#ifndef TOLVAR_COMMON_FILE_HELPERS_H
#define TOLVAR_COMMON_FILE_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads one line from f into buf (size bytes, at least 1); the newline is consumed, not stored.
// Returns the number of characters stored, -1 at end of input before any character, or -2 when
// the line does not fit (buf then holds size-1 characters without a NUL; the rest of the line
// stays in the stream).
int32_t fgetline(FILE *f, char *buf, size_t size);

// Removes the n bytes just before the current position of f (update mode, regular file): the
// rest of the file moves back, the file is cut, and f is left where the removed span began.
// Returns 0, or -1 on failure (the file may then be partly moved).
int fbackwardoverwrite(FILE *f, size_t n);

// Reads count bytes unless end of input comes first; retries EINTR.
// Returns the bytes read, or -1 with errno from the failed read.
int32_t read_fully(int fd, void *buf, size_t count);

// Writes count bytes unless a write accepts nothing; retries EINTR.
// Returns the bytes written, or -1 with errno from the failed write.
int32_t write_fully(int fd, const void *buf, size_t count);

#endif
