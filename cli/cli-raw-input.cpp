#include "cli/cli-raw-input.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

static bool is_terminator(char c) { return c == '\0' || c == '\n' || c == '\r'; }

// read() repeated on EINTR; EAGAIN counts as nothing read yet (-2).
static ssize_t read_some(int fd, void *buf, size_t count)
{
	for (;;) {
		ssize_t r = read(fd, buf, count);
		if (r >= 0)
			return r;
		if (errno == EINTR)
			continue;
		return errno == EAGAIN ? -2 : -1;
	}
}

RawReadResult raw_input_read(RawInput *in, int fd, void (*line)(const char *text, void *context), void *context)
{
	if (in->input_length >= RAW_INPUT_SIZE) {
		char chunk[RAW_FULL_CHUNK];
		ssize_t r = read_some(fd, chunk, sizeof chunk);
		if (r == -2)
			return RAW_READ_OK;
		if (r < 0)
			return RAW_READ_ERROR;
		if (r == 0)
			return RAW_READ_EOF;
		for (ssize_t i = 0; i < r; i++)
			if ((chunk[i] == '\b' || chunk[i] == 0x7f) && in->input_length > 0)
				in->input_length--;
		return RAW_READ_OK;
	}

	size_t held = in->input_length;
	ssize_t r = read_some(fd, in->input_buffer + held, RAW_INPUT_SIZE - held);
	if (r == -2)
		return RAW_READ_OK;
	if (r < 0)
		return RAW_READ_ERROR;
	if (r == 0)
		return RAW_READ_EOF;
	size_t end = held + (size_t)r;
	size_t line_start = 0;
	for (size_t i = held; i < end; i++) {
		if (!is_terminator(in->input_buffer[i]))
			continue;
		in->input_buffer[i] = '\0';
		line(in->input_buffer + line_start, context);
		line_start = i + 1;
	}
	if (line_start == 0) {
		in->input_length = end;
		return RAW_READ_OK;
	}
	memmove(in->input_buffer, in->input_buffer + line_start, end - line_start);
	in->input_length = end - line_start;
	return RAW_READ_OK;
}
