// adduser: registers one public key for a chat user by appending an entry to the key file.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/key-entry.h"
#include "admin/key-lock.h"
#include "admin/key-types.h"
#include "common/file-helpers.h"
#include "common/holders.h"
#include "common/i18n.h"
#include "common/user-name.h"
#include "common/wire-reader.h"

namespace {

// What an entry holds besides the user name and the key text.
#define ENTRY_OPTIONS_LENGTH_TEXT "command=\"\",no-agent-forwarding,no-port-forwarding "

// The key as it goes into the file, and the part of it that must be unique.
struct NewKey {
	MallocPtr<char> built;		// form 2: type name, space, Base64 text
	const char *text = nullptr;	// the key text to write (comment included)
	size_t compare_len = 0;		// bytes of text up to the end of the Base64 text
};

// The whole Base64 text must decode, and hold more than a type name, or the key could never be
// used and its fingerprint could not be listed.
int check_key_data(std::string_view base64)
{
	MallocPtr<unsigned char> data(static_cast<unsigned char *>(malloc(base64.size() + 1)));
	if (data == nullptr) {
		perror("malloc");
		return -1;
	}
	ssize_t n = base64_decode(base64.data(), base64.size(), data.get(), base64.size() + 1);
	if (n < 0) {
		fputs(_("Invalid key: invalid BASE64 encoding\n"), stderr);
		return -1;
	}
	if (n < 8) {
		fputs(_("Invalid key: too short\n"), stderr);
		return -1;
	}
	return 0;
}

// The type name in a decoded header, as a C string.
const char *header_type_name(unsigned char *header, size_t type_len)
{
	header[4 + type_len] = '\0';
	return reinterpret_cast<const char *>(header + 4);
}

// Checks the key text in either form and fills *key. Returns 0, or 1 after saying why not.
int parse_new_key(const char *supplied, NewKey *key)
{
	WireReader r{std::string_view(supplied)};
	std::string_view type_word;
	unsigned char header[KEY_HEADER_SIZE + 1];
	size_t token_len, type_len;

	if (r.get_until(' ', &type_word) == 0) {
		// Form 1: type word, Base64 text, optional comment.
		int word_kind = get_key_type(type_word.data(), type_word.size());
		if (word_kind < 0) {
			MallocPtr<char> word(strndup(type_word.data(), type_word.size()));
			if (word == nullptr) {
				perror("malloc");
				return 1;
			}
			fprintf(stderr, _("Invalid key type '%s'\n"), word.get());
			return 1;
		}
		std::string_view rest = r.rest();	// NUL-terminated: the end of supplied
		if (decode_key_header(rest.data(), &token_len, &type_len, header) < 0)
			return 1;
		const char *name = header_type_name(header, type_len);
		int data_kind = get_key_type(name, type_len);
		if (data_kind < 0) {
			fprintf(stderr, _("Invalid key type '%s'\n"), name);
			return 1;
		}
		if (data_kind != word_kind) {
			fputs(_("Invalid key: key type didn't match\n"), stderr);
			return 1;
		}
		if (check_key_data(rest.substr(0, token_len)) < 0)
			return 1;
		key->text = supplied;
		key->compare_len = type_word.size() + 1 + token_len;
		return 0;
	}

	// Form 2: the Base64 text alone; the type name comes from the key data.
	if (decode_key_header(supplied, &token_len, &type_len, header) < 0)
		return 1;
	const char *name = header_type_name(header, type_len);
	if (get_key_type(name, type_len) < 0) {
		fprintf(stderr, _("Invalid key type '%s'\n"), name);
		return 1;
	}
	if (check_key_data(std::string_view(supplied, token_len)) < 0)
		return 1;
	size_t size = type_len + 1 + strlen(supplied) + 1;
	key->built.reset(static_cast<char *>(malloc(size)));
	if (key->built == nullptr) {
		perror("malloc");
		return 1;
	}
	snprintf(key->built.get(), size, "%s %s", name, supplied);
	key->text = key->built.get();
	key->compare_len = size - 1;
	return 0;
}

// Makes sure .ssh is a directory of the account that others cannot write, without .ssh/rc.
int prepare_key_directory(void)
{
	struct stat st;
	if (stat(".ssh", &st) < 0) {
		if (mkdir(".ssh", 0750) < 0) {
			perror("mkdir: .ssh");
			return -1;
		}
		return 0;
	}
	if (!S_ISDIR(st.st_mode)) {
		fputs(_("'.ssh' is not a directory\n"), stderr);
		return -1;
	}
	if (st.st_uid != account_uid) {
		fprintf(stderr, _("'.ssh' is not owned by tolvar (%u != %u)\n"), (unsigned int)st.st_uid,
			(unsigned int)account_uid);
		return -1;
	}
	if ((st.st_mode & S_IWOTH) != 0) {
		fputs(_("'.ssh' is global writable\n"), stderr);
		if (chmod(".ssh", st.st_mode & 07777 & ~(mode_t)S_IWOTH) < 0) {
			perror("chmod: .ssh");
			return -1;
		}
		fputs(_("fixed\n"), stderr);
	}
	if (check_ssh_rc() < 0) {
		fputs(_("Cannot continue\n"), stderr);
		return -1;
	}
	return 0;
}

// Looks for the key among the entries of f and counts the user's. Returns 0, or 1 for a duplicate.
int scan_entries(FILE *f, const char *user, const NewKey &key, int *count)
{
	*count = 0;
	char *entry_user, *entry_key;
	while (read_key_entry(f, &entry_user, &entry_key, nullptr, nullptr) == 0) {
		MallocPtr<char> u(entry_user), k(entry_key);
		if (strlen(k.get()) == key.compare_len && memcmp(k.get(), key.text, key.compare_len) == 0) {
			fprintf(stderr, _("This public key is already used by user %s.\nAre you pasted wrong key?\n"),
				u.get());
			return 1;
		}
		if (strcmp(u.get(), user) == 0)
			(*count)++;
	}
	return 0;
}

// Appends the entry in one write; a failure cuts the file back to its old length.
int append_entry(FILE *f, const char *user, const char *key_text)
{
	if (fseek(f, 0, SEEK_END) != 0) {
		perror("fseek");
		return -1;
	}
	long size = ftell(f);
	if (size < 0) {
		perror("ftell");
		return -1;
	}
	// A last line without its newline must not swallow the new entry.
	bool need_newline = false;
	if (size > 0) {
		if (fseek(f, -1, SEEK_END) != 0) {
			perror("fseek");
			return -1;
		}
		need_newline = getc(f) != '\n';
		if (fseek(f, 0, SEEK_END) != 0) {
			perror("fseek");
			return -1;
		}
	}
	if (fprintf(f, "%scommand=\"%s\",no-agent-forwarding,no-port-forwarding %s\n", need_newline ? "\n" : "",
		    user, key_text) < 0 ||
	    fflush(f) != 0) {
		perror("fprintf");
		if (ftruncate(fileno(f), size) < 0)
			perror("ftruncate: .ssh/authorized_keys");
		return -1;
	}
	if (fsync(fileno(f)) < 0) {
		perror("fsync");
		return -1;
	}
	return 0;
}

}  // namespace

int cmd_adduser(int argc, char **argv)
{
	MallocPtr<char> key_arg;
	bool force = false;
	int opt;
	// "+": options end at the first operand.
	while ((opt = getopt(argc, argv, "+a:fh")) != -1) {
		switch (opt) {
		case 'a':
			if (strchr(optarg, '\n') != nullptr) {
				fputs(_("Key string shouldn't have new line\n"), stderr);
				return 1;
			}
			key_arg.reset(strdup(optarg));
			if (key_arg == nullptr) {
				perror("strdup");
				return 1;
			}
			break;
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

	if (key_arg == nullptr) {
		key_arg.reset(static_cast<char *>(malloc(KEY_LINE_MAX + 1)));
		if (key_arg == nullptr) {
			perror("malloc");
			return 1;
		}
		fprintf(stderr, _("Input public key for %s: "), user);
		int32_t n = fgetline(stdin, key_arg.get(), KEY_LINE_MAX + 1);
		if (n == -2) {
			fputs(_("Public key too long\n"), stderr);
			return 1;
		}
		if (n == -1) {
			fputs(_("\nNo public key was given\n"), stderr);
			return 1;
		}
	}
	NewKey key;
	if (parse_new_key(key_arg.get(), &key) != 0)
		return 1;
	// A longer entry would be passed over by every reader of the file, this tool's included.
	if (strlen(ENTRY_OPTIONS_LENGTH_TEXT) + strlen(user) + strlen(key.text) > KEY_LINE_MAX) {
		fputs(_("Public key too long\n"), stderr);
		return 1;
	}

	if (prepare_key_directory() < 0)
		return 1;
	UniqueFd lock(key_file_lock());
	if (!lock.valid()) {
		perror(KEY_LOCK_PATH);
		return 1;
	}
	UniqueFile f(fopen_nofollow(KEY_FILE_PATH, "a+"));
	if (f == nullptr) {
		perror(KEY_FILE_PATH);
		return 1;
	}
	// Big enough for any entry, so that the entry reaches the file in one write.
	setvbuf(f.get(), nullptr, _IOFBF, 4 * (KEY_LINE_MAX + 1));
	if (fseek(f.get(), 0, SEEK_SET) != 0) {
		perror("fseek");
		return 1;
	}
	int count;
	if (scan_entries(f.get(), user, key, &count) != 0)
		return 1;
	if (count != 0) {
		fprintf(stderr, _("%d key%s already exist for user %s\n"), count, count == 1 ? "" : "s", user);
		if (!force) {
			fprintf(stderr, _("Are you sure you want to add this key for user %s? "), user);
			if (!read_yes_no()) {
				fputs(_("Operation canceled\n"), stderr);
				return 1;
			}
		}
	}
	if (append_entry(f.get(), user, key.text) < 0)
		return 1;
	if (fclose(f.release()) != 0) {
		perror("fclose");
		return 1;
	}
	return 0;
}
