#include "cli/cli-preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli-backlog.h"
#include "cli/cli-state.h"
#include "common/file-helpers.h"
#include "common/i18n.h"
#include "common/wire-reader.h"

namespace {

constexpr const char *PREFERENCES_DIR = "users-preferences";
constexpr size_t LINE_SIZE = 256;

FILE *preferences_file = nullptr;

// A preference line "key=" followed by exactly one character.
enum LineMatch { LINE_OTHER_KEY, LINE_WRONG_LENGTH, LINE_VALUE };

LineMatch match_key(std::string_view line, std::string_view key, char *value)
{
	WireReader r(line);
	std::string_view head;
	if (r.get_bytes(key.size(), &head) < 0 || head != key)
		return LINE_OTHER_KEY;
	uint8_t eq, v;
	if (r.get_u8(&eq) < 0 || eq != '=')
		return LINE_OTHER_KEY;
	if (r.get_u8(&v) < 0 || !r.empty())
		return LINE_WRONG_LENGTH;
	*value = (char)v;
	return LINE_VALUE;
}

// A preference line "key=" followed by a count of 1 to 3 digits.
LineMatch match_count(std::string_view line, std::string_view key, int *value)
{
	WireReader r(line);
	std::string_view head;
	uint8_t eq;
	if (r.get_bytes(key.size(), &head) < 0 || head != key || r.get_u8(&eq) < 0 || eq != '=')
		return LINE_OTHER_KEY;
	std::string_view digits = r.rest();
	int n = cli_backlog_parse_count(digits.data(), digits.size());
	if (n < 0)
		return LINE_WRONG_LENGTH;
	*value = n;
	return LINE_VALUE;
}

}  // namespace

void preferences_skip_line(FILE *f)
{
	int c;
	do
		c = getc(f);
	while (c != EOF && c != '\n');
}

int preferences_apply_stream(FILE *f, CliState *state)
{
	char buf[LINE_SIZE];
	for (;;) {
		int32_t n = fgetline(f, buf, sizeof buf);
		if (n == -1)
			return 0;
		if (n == -2) {
			// Longer than any line we write: kept as it is, never read as a setting.
			preferences_skip_line(f);
			continue;
		}
		std::string_view line(buf, (size_t)n);
		if (n == 0 || line[0] == '#')
			continue;
		char value = 0;
		int count = 0;
		LineMatch m;
		if ((m = match_key(line, "alert", &value)) != LINE_OTHER_KEY) {
			if (m == LINE_VALUE) {
				state->alert = value == '1' ? 1 : 0;
				continue;
			}
		} else if ((m = match_key(line, "showhtml", &value)) != LINE_OTHER_KEY) {
			if (m == LINE_VALUE) {
				state->showhtml = value - '0';
				continue;
			}
		} else if ((m = match_key(line, "color", &value)) != LINE_OTHER_KEY) {
			if (m == LINE_VALUE) {
				state->color = value - '0';
				continue;
			}
		} else if ((m = match_count(line, "backlog", &count)) != LINE_OTHER_KEY) {
			if (m == LINE_VALUE) {
				state->backlog = count;
				continue;
			}
		} else {
			fprintf(stderr, _("Unrecognized option '%s', removing\n"), buf);
		}
		if (fbackwardoverwrite(f, (size_t)n + 1) < 0)
			return -1;
	}
}

void load_preferences(const char *user_name)
{
	if (preferences_file != nullptr) {
		fclose(preferences_file);
		preferences_file = nullptr;
	}
	struct stat st;
	if (stat(PREFERENCES_DIR, &st) < 0) {
		if (errno != ENOENT || mkdir(PREFERENCES_DIR, 0750) < 0) {
			perror(PREFERENCES_DIR);
			fputs(_("Cannot load or save preferences in this session\n"), stderr);
			return;
		}
	}
	std::string path = std::string(PREFERENCES_DIR) + "/" + user_name;
	int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
	if (fd < 0) {
		perror(path.c_str());
		fputs(_("Cannot load or save perferences in this session\n"), stderr);
		return;
	}
	FILE *f = fdopen(fd, "r+");
	if (f == nullptr) {
		perror(path.c_str());
		fputs(_("Cannot load or save perferences in this session\n"), stderr);
		close(fd);
		return;
	}
	preferences_file = f;
	preferences_apply_stream(f, &cli_state);
}

void preferences_store_stream(FILE *f, const char *key, const char *value)
{
	if (fseek(f, 0, SEEK_SET) != 0)
		return;
	size_t key_length = strlen(key), value_length = strlen(value);
	char buf[LINE_SIZE];
	int32_t n;
	for (;;) {
		n = fgetline(f, buf, sizeof buf);
		if (n == -1)
			break;
		if (n == -2) {
			preferences_skip_line(f);
			continue;
		}
		std::string_view line(buf, (size_t)n);
		WireReader r(line);
		std::string_view head;
		uint8_t eq;
		if (n == 0 || line[0] == '#' || r.get_bytes(key_length, &head) < 0 || head != key ||
		    r.get_u8(&eq) < 0 || eq != '=')
			continue;
		if ((size_t)n == key_length + 1 + value_length) {
			bool had_lf = false;
			if (fseek(f, -1, SEEK_CUR) == 0)
				had_lf = getc(f) == '\n';
			if (fseek(f, -(long)(value_length + (had_lf ? 1 : 0)), SEEK_CUR) != 0)
				return;
			fputs(value, f);
			fflush(f);
			return;
		}
		if (fbackwardoverwrite(f, (size_t)n + 1) < 0 || fseek(f, 0, SEEK_END) != 0)
			return;
		break;
	}
	// Append, on a line of its own.
	if (fseek(f, -1, SEEK_END) == 0) {
		int last = getc(f);
		if (fseek(f, 0, SEEK_END) != 0)
			return;
		if (last != '\n')
			putc('\n', f);
	} else if (fseek(f, 0, SEEK_END) != 0) {
		return;
	}
	fprintf(f, "%s=%s\n", key, value);
	fflush(f);
}

int preferences_side_path(const char *user_name, const char *kind, char *path, size_t size)
{
	int n = snprintf(path, size, "%s/%s#%s", PREFERENCES_DIR, user_name, kind);
	return n < 0 || (size_t)n >= size ? -1 : 0;
}

int preferences_replace_file(const char *path, int (*write_content)(FILE *f, void *context), void *context)
{
	char temporary[PREFERENCES_PATH_SIZE + 8];
	int n = snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
	if (n < 0 || (size_t)n >= sizeof temporary) {
		errno = ENAMETOOLONG;
		return -1;
	}
	int fd = mkostemp(temporary, O_CLOEXEC);	// mode 0600
	if (fd < 0)
		return -1;
	FILE *f = fdopen(fd, "w");
	if (f == nullptr) {
		int e = errno;
		close(fd);
		unlink(temporary);
		errno = e;
		return -1;
	}
	int r = write_content(f, context);
	if (r == 0 && (fflush(f) != 0 || ferror(f) || fsync(fileno(f)) != 0))
		r = -1;
	int e = errno;
	if (fclose(f) != 0 && r == 0) {
		r = -1;
		e = errno;
	}
	if (r == 0 && rename(temporary, path) != 0) {
		r = -1;
		e = errno;
	}
	if (r != 0) {
		unlink(temporary);
		errno = e;
	}
	return r;
}

void set_preference(const char *key, const char *value)
{
	if (preferences_file == nullptr)
		return;
	preferences_store_stream(preferences_file, key, value);
}
