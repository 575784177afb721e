// removeuser: deletes every entry of a user from the key file, then ends the user's live
// sessions when a server runs.
//
// The entries are cut out of a copy of the key file, which then replaces the file by rename:
// the SSH daemon reads either the old file or the new one, and a failure or a crash on the way
// leaves the old one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/key-entry.h"
#include "admin/key-lock.h"
#include "admin/replace-file.h"
#include "common/file-helpers.h"
#include "common/holders.h"
#include "common/i18n.h"
#include "common/user-name.h"

namespace {

// What the removed user's live sessions are told.
constexpr const char REMOVED_MESSAGE[] = "your keys have been removed";

// Where one of the user's entries lies in the file.
struct EntrySpan {
	long end;		// stream position just after the line (and its newline)
	unsigned int length;	// bytes of the line without its newline
};

struct EntryList {
	MallocPtr<EntrySpan> items;
	size_t count = 0;
	size_t capacity = 0;
};

int add_span(EntryList *list, long end, unsigned int length)
{
	if (list->count == list->capacity) {
		size_t capacity = list->capacity + 2;
		void *p = realloc(list->items.get(), capacity * sizeof(EntrySpan));
		if (p == nullptr)
			return -1;
		(void)list->items.release();	// the block now lives at p
		list->items.reset(static_cast<EntrySpan *>(p));
		list->capacity = capacity;
	}
	list->items.get()[list->count++] = EntrySpan{end, length};
	return 0;
}

// Collects the user's entries in file order. Returns 0, or -1 after saying why.
int find_entries(FILE *f, const char *user, EntryList *list)
{
	char *entry_user, *entry_key;
	unsigned int length;
	while (read_key_entry(f, &entry_user, &entry_key, nullptr, &length) == 0) {
		MallocPtr<char> u(entry_user), k(entry_key);
		if (strcmp(u.get(), user) != 0)
			continue;
		long end = ftell(f);
		if (end < 0) {
			perror("ftell");
			return -1;
		}
		if (add_span(list, end, length) < 0) {
			perror("realloc");
			return -1;
		}
	}
	return 0;
}

int copy_stream(FILE *from, FILE *to)
{
	if (fseek(from, 0, SEEK_SET) != 0)
		return -1;
	char block[8192];
	size_t n;
	while ((n = fread(block, 1, sizeof block, from)) > 0) {
		if (fwrite(block, 1, n, to) != n)
			return -1;
	}
	if (ferror(from)) {
		if (errno == 0)
			errno = EIO;
		return -1;
	}
	return fflush(to);
}

// Cuts the entries out of the copy, last first, so that the positions not yet used stay valid.
// Returns 0, or -1 with the index (in file order) of the entry that could not be cut.
int cut_entries(FILE *copy, const EntryList &list, size_t *failed_index)
{
	for (size_t i = list.count; i-- > 0;) {
		const EntrySpan &span = list.items.get()[i];
		if (fseek(copy, span.end, SEEK_SET) != 0 || fbackwardoverwrite(copy, (size_t)span.length + 1) != 0) {
			if (errno == 0)
				errno = EIO;
			*failed_index = i;
			return -1;
		}
	}
	return 0;
}

}  // namespace

int cmd_removeuser(int argc, char **argv)
{
	bool force = false;
	int opt;
	// "+": options end at the first operand.
	while ((opt = getopt(argc, argv, "+fh")) != -1) {
		switch (opt) {
		case 'f':
			force = true;
			break;
		case 'h':
			print_usage(argv[0]);
			return 0;
		default:
			return -1;
		}
	}
	if (argc - optind != 1) {
		print_usage(argv[0]);
		return -1;
	}
	const char *user = argv[optind];
	if (!is_valid_user_name(user)) {
		fprintf(stderr, _("Invalid user name '%s'\n"), user);
		return 1;
	}

	UniqueFd lock(key_file_lock());
	if (!lock.valid()) {
		// Without .ssh there is no key file either.
		perror(errno == ENOENT ? KEY_FILE_PATH : KEY_LOCK_PATH);
		return 1;
	}
	UniqueFile f(fopen_nofollow(KEY_FILE_PATH, "r+"));
	if (f == nullptr) {
		perror(KEY_FILE_PATH);
		return 1;
	}
	EntryList list;
	if (find_entries(f.get(), user, &list) < 0)
		return 1;
	if (list.count == 0) {
		fprintf(stderr, _("User %s not found\n"), user);
		return 1;
	}
	if (!force) {
		if (list.count == 1) {
			fprintf(stderr, _("Remove user %s from TOLVAR user list? "), user);
		} else {
			fprintf(stderr, _("User %s have %zu public keys registered in the user list\n"), user, list.count);
			const char *home = getenv("HOME");
			fprintf(stderr,
				_("If you want to remove only some of the user's keys, edit file '%s/.ssh/authorized_keys' manually\n"),
				home != nullptr ? home : "");
			fprintf(stderr, _("Remove all keys for user %s? "), user);
		}
		if (!read_yes_no()) {
			fputs(_("Operation canceled\n"), stderr);
			return 1;
		}
	}

	Replacement copy;
	if (replacement_begin(&copy, KEY_FILE_PATH) < 0) {
		perror(_("Failed to remove user"));
		return 1;
	}
	errno = 0;
	if (copy_stream(f.get(), copy.f) < 0) {
		if (errno == 0)
			errno = EIO;
		perror(_("Failed to remove user"));
		replacement_abort(&copy);
		return 1;
	}
	size_t failed_index;
	errno = 0;
	if (cut_entries(copy.f, list, &failed_index) < 0) {
		perror(_("Failed to remove user"));
		if (list.count > 1)
			fprintf(stderr, _("when removing key %u from user list\n"), (unsigned int)failed_index);
		replacement_abort(&copy);
		return 1;
	}
	if (replacement_commit(&copy) < 0) {
		perror(_("Failed to remove user"));
		return 1;
	}
	// Only read through: nothing can be lost in closing it.
	f.reset();
	lock.reset();
	if (list.count > 1)
		fprintf(stderr, _("Removed %zu keys for user %s\n"), list.count, user);
	// Without keys no new session can start; those that run end now.
	int ended = end_sessions_of(user, REMOVED_MESSAGE);
	if (ended < 0)
		return 1;
	if (ended > 0)
		fprintf(stderr, _("Ended %d sessions of user %s\n"), ended, user);
	return 0;
}
