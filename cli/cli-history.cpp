#include "cli/cli-history.h"

#include <fcntl.h>
#include <readline/history.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "common/file-helpers.h"

namespace {

char history_path[PREFERENCES_PATH_SIZE] = "";
size_t file_lines = 0;		// lines in the file, as far as this session knows
bool cleared_by_line = false;	// the line being run cleared the history
bool append_reported = false;	// a failed append has been reported once

// The written form of line in out (size bytes, NUL-terminated). Its length, or -1 when it
// does not fit.
long encode(const char *line, char *out, size_t size)
{
	size_t n = 0;
	for (const char *p = line; *p != '\0'; p++) {
		const char *form = *p == '\\' ? "\\\\" : *p == '\n' ? "\\n" : nullptr;
		size_t need = form != nullptr ? 2 : 1;
		if (n + need >= size)
			return -1;
		if (form != nullptr)
			memcpy(out + n, form, 2);
		else
			out[n] = *p;
		n += need;
	}
	out[n] = '\0';
	return (long)n;
}

// Back from the written form, in place. A backslash before any other byte stands for itself.
void decode(char *text)
{
	char *to = text;
	for (const char *p = text; *p != '\0'; p++) {
		if (p[0] == '\\' && (p[1] == '\\' || p[1] == 'n')) {
			*to++ = p[1] == 'n' ? '\n' : '\\';
			p++;
		} else {
			*to++ = *p;
		}
	}
	*to = '\0';
}

struct Ring {
	char *lines[HISTORY_KEPT];
	size_t total;	// lines read; the newest HISTORY_KEPT are held
};

int write_ring(FILE *f, void *context)
{
	const auto *ring = static_cast<const Ring *>(context);
	size_t held = ring->total < HISTORY_KEPT ? ring->total : HISTORY_KEPT;
	for (size_t i = ring->total - held; i < ring->total; i++)
		fprintf(f, "%s\n", ring->lines[i % HISTORY_KEPT]);
	return 0;
}

// Cuts the file down to its newest HISTORY_KEPT lines (other sessions of the user may have
// added some since this one counted). Lines too long to be kept are dropped.
void compact(void)
{
	FILE *f = fopen(history_path, "re");
	if (f == nullptr)
		return;
	Ring *ring = static_cast<Ring *>(calloc(1, sizeof(Ring)));
	bool ok = ring != nullptr;
	char buf[HISTORY_LINE_SIZE];
	while (ok) {
		int32_t n = fgetline(f, buf, sizeof buf);
		if (n == -1)
			break;
		if (n == -2) {
			preferences_skip_line(f);
			continue;
		}
		char *copy = strdup(buf);
		if (copy == nullptr) {
			ok = false;
			break;
		}
		char **slot = &ring->lines[ring->total % HISTORY_KEPT];
		free(*slot);
		*slot = copy;
		ring->total++;
	}
	if (ferror(f))
		ok = false;
	fclose(f);
	if (ok && preferences_replace_file(history_path, write_ring, ring) == 0)
		file_lines = ring->total < HISTORY_KEPT ? ring->total : HISTORY_KEPT;
	if (ring != nullptr) {
		for (char *line : ring->lines)
			free(line);
		free(ring);
	}
}

void append_to_file(const char *line)
{
	char buf[HISTORY_LINE_SIZE];
	long n = encode(line, buf, sizeof buf - 1);
	if (history_path[0] == '\0' || n < 0)
		return;
	buf[n++] = '\n';
	int fd = open(history_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
	if (fd < 0 || write_fully(fd, buf, (size_t)n) != (int32_t)n) {
		if (!append_reported)
			perror(history_path);
		append_reported = true;
		if (fd >= 0)
			close(fd);
		return;
	}
	close(fd);
	if (++file_lines > HISTORY_KEPT)
		compact();
}

}  // namespace

void cli_history_load(const char *user_name)
{
	file_lines = 0;
	if (preferences_side_path(user_name, "history", history_path, sizeof history_path) < 0) {
		history_path[0] = '\0';
		return;
	}
	if (!cli_state.use_readline)
		return;
	FILE *f = fopen(history_path, "re");
	if (f == nullptr) {
		if (errno != ENOENT)
			perror(history_path);
		return;
	}
	(void)fchmod(fileno(f), 0600);	// whoever made it: the lines are the user's alone
	char buf[HISTORY_LINE_SIZE];
	for (;;) {
		int32_t n = fgetline(f, buf, sizeof buf);
		if (n == -1)
			break;
		file_lines++;
		if (n == -2) {
			preferences_skip_line(f);
			continue;
		}
		decode(buf);
		HIST_ENTRY *newest = history_get(history_length);
		if (buf[0] != '\0' && (newest == nullptr || strcmp(newest->line, buf) != 0))
			add_history(buf);
	}
	fclose(f);
	using_history();	// the line being edited comes after the loaded ones
}

void cli_history_add(const char *line)
{
	if (cleared_by_line) {
		cleared_by_line = false;
		return;
	}
	HIST_ENTRY *newest = history_get(history_length);
	if (newest != nullptr && strcmp(newest->line, line) == 0)
		return;
	add_history(line);
	append_to_file(line);
}

void cli_command_clearhistory(int, int, char **)
{
	clear_history();
	cleared_by_line = cli_state.use_readline;
	file_lines = 0;
	if (history_path[0] != '\0' && truncate(history_path, 0) < 0 && errno != ENOENT)
		perror(history_path);
}
