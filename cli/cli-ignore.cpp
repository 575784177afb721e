#include "cli/cli-ignore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli-escape.h"
#include "cli/cli-preferences.h"
#include "cli/cli-state.h"
#include "common/file-helpers.h"
#include "common/i18n.h"
#include "common/user-name.h"
#include "protocol/local-protocol.h"

namespace {

// Names as the server sends them: at most 31 bytes.
constexpr size_t NAME_KEPT = LOCAL_NAME_FIELD - 1;
constexpr size_t LINE_SIZE = 64;

struct IgnoreList {
	char names[IGNORE_MAX][LOCAL_NAME_FIELD];
	size_t count;
};

IgnoreList ignored = {};
IgnoreList scratch = {};	// the file as read again before a change
char ignore_path[PREFERENCES_PATH_SIZE] = "";

size_t find(const IgnoreList *list, std::string_view name)
{
	for (size_t i = 0; i < list->count; i++) {
		if (name == list->names[i])
			return i;
	}
	return list->count;
}

// Adds name (at most 31 bytes); false when the list is full.
bool add(IgnoreList *list, std::string_view name)
{
	if (find(list, name) < list->count)
		return true;
	if (list->count == IGNORE_MAX)
		return false;
	memcpy(list->names[list->count], name.data(), name.size());
	list->names[list->count][name.size()] = '\0';
	list->count++;
	return true;
}

void remove_at(IgnoreList *list, size_t i)
{
	list->count--;
	memmove(list->names[i], list->names[i + 1], (list->count - i) * LOCAL_NAME_FIELD);
}

// Reads the file at path into list; lines that are no user name are passed over. 0, or -1
// with errno when it cannot be read (list is then unchanged).
int read_list(const char *path, IgnoreList *list)
{
	FILE *f = fopen(path, "re");
	if (f == nullptr)
		return -1;
	size_t kept = list->count;
	list->count = 0;
	char buf[LINE_SIZE];
	for (;;) {
		int32_t n = fgetline(f, buf, sizeof buf);
		if (n == -1)
			break;
		if (n == -2) {
			preferences_skip_line(f);
			continue;
		}
		if ((size_t)n > NAME_KEPT || strlen(buf) != (size_t)n || !is_valid_user_name(buf))
			continue;
		add(list, std::string_view(buf, (size_t)n));
	}
	int failed = ferror(f);
	fclose(f);
	if (failed) {
		list->count = kept;
		errno = EIO;
		return -1;
	}
	return 0;
}

int write_list(FILE *f, void *context)
{
	const auto *list = static_cast<const IgnoreList *>(context);
	for (size_t i = 0; i < list->count; i++)
		fprintf(f, "%s\n", list->names[i]);
	return 0;
}

// Takes up what other sessions of the user stored since this one loaded the list.
void refresh(void)
{
	scratch.count = 0;
	if (ignore_path[0] != '\0' && read_list(ignore_path, &scratch) == 0)
		ignored = scratch;
}

// Applies the change and stores the list.
void change(std::string_view name, bool ignore)
{
	size_t at = find(&ignored, name);
	if (ignore) {
		if (!add(&ignored, name)) {
			fprintf(stderr, _("Cannot ignore more than %d users\n"), (int)IGNORE_MAX);
			return;
		}
	} else if (at < ignored.count) {
		remove_at(&ignored, at);
	}
	if (ignore_path[0] != '\0' && preferences_replace_file(ignore_path, write_list, &ignored) < 0)
		perror(ignore_path);
}

std::string_view kept_part(const char *name)
{
	std::string_view v(name);
	return v.substr(0, NAME_KEPT);
}

void list_ignored(void)
{
	if (ignored.count == 0) {
		printf("%s\n", _("Nobody is ignored"));
		return;
	}
	printf("%s\n", _("Ignored users:"));
	for (size_t i = 0; i < ignored.count; i++) {
		char shown[cli_escaped_size(LOCAL_NAME_FIELD)];
		printf("  %s\n", cli_escape_name(ignored.names[i], shown, sizeof shown));
	}
}

}  // namespace

void cli_ignore_load(const char *user_name)
{
	ignored.count = 0;
	if (preferences_side_path(user_name, "ignore", ignore_path, sizeof ignore_path) < 0) {
		ignore_path[0] = '\0';
		return;
	}
	if (read_list(ignore_path, &ignored) < 0 && errno != ENOENT)
		perror(ignore_path);
}

bool cli_is_ignored(std::string_view name) { return find(&ignored, name) < ignored.count; }

size_t cli_ignore_count(void) { return ignored.count; }

const char *cli_ignore_at(size_t index) { return index < ignored.count ? ignored.names[index] : nullptr; }

void cli_command_ignore(int, int argc, char **argv)
{
	refresh();
	if (argc == 1) {
		list_ignored();
		return;
	}
	if (argc != 2) {
		fprintf(stderr, _("Usage: %s [<user>]\n"), argv[0]);
		return;
	}
	char shown[cli_escaped_size(USER_NAME_MAX)];
	if (!is_valid_user_name(argv[1])) {
		fprintf(stderr, _("Invalid user name '%s'\n"), cli_escape_name(argv[1], shown, sizeof shown));
		return;
	}
	if (cli_state.own_user_name != nullptr && kept_part(argv[1]) == kept_part(cli_state.own_user_name)) {
		fputs(_("You cannot ignore yourself\n"), stderr);
		return;
	}
	change(kept_part(argv[1]), true);
}

void cli_command_unignore(int, int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, _("Usage: %s <user>\n"), argv[0]);
		return;
	}
	refresh();
	std::string_view name = kept_part(argv[1]);
	if (find(&ignored, name) == ignored.count) {
		char shown[cli_escaped_size(NAME_KEPT)];
		fprintf(stderr, _("User %s is not ignored\n"), cli_escape_name(name, shown, sizeof shown));
		return;
	}
	change(name, false);
}
