// Input lines assembled from a plain byte stream (standard input that is no terminal).
#ifndef TOLVAR_CLI_CLI_RAW_INPUT_H
#define TOLVAR_CLI_CLI_RAW_INPUT_H

#include <cstddef>

constexpr size_t RAW_INPUT_SIZE = 2048;
constexpr size_t RAW_FULL_CHUNK = 64;	// read at a time while the buffer is full

// The bytes of the line being received that have no terminator yet.
struct RawInput {
	char input_buffer[RAW_INPUT_SIZE];
	size_t input_length;	// 0 to 2048; 2048: full, only erasing helps
};

enum RawReadResult {
	RAW_READ_OK,		// read and handled (or nothing there: EAGAIN)
	RAW_READ_EOF,		// end of input; a held partial line is dropped
	RAW_READ_ERROR,		// the read failed; errno tells why
};

// One read from fd (repeated on EINTR). Lines end at NUL, LF or CR; each complete line is
// handed to line (NUL-terminated, borrowed for the call). While the buffer is full, the bytes
// read are dropped except backspace and DEL, which each erase one held byte.
RawReadResult raw_input_read(RawInput *in, int fd, void (*line)(const char *text, void *context), void *context);

#endif
