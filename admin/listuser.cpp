// listuser: prints every entry of the key file, with its key text or the key's fingerprint.
#include <mhash.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "admin/admin.h"
#include "admin/key-entry.h"
#include "admin/key-types.h"
#include "common/holders.h"
#include "common/i18n.h"
#include "common/wire-reader.h"

namespace {

// Which digest to print; NONE prints the key text.
enum HashChoice {
	HASH_NONE,
	HASH_MD5,
	HASH_SHA256,
};

// Prints the fingerprint part of an entry's line. Returns 0, or -1 after saying why (the run ends).
int print_fingerprint(HashChoice choice, const char *key_text)
{
	hashid algorithm = choice == HASH_MD5 ? MHASH_MD5 : MHASH_SHA256;
	MHASH td = mhash_init(algorithm);
	if (td == MHASH_FAILED) {
		fputs(_("Cannot start hash public key\n"), stderr);
		return -1;
	}
	WireReader text{std::string_view(key_text)};
	std::string_view type_word, base64;
	text.get_until(' ', &type_word);
	base64 = text.rest();
	MallocPtr<unsigned char> data(static_cast<unsigned char *>(malloc(base64.size() + 1)));
	if (data == nullptr) {
		perror("malloc");
		mhash_deinit(td, nullptr);
		return -1;
	}
	ssize_t n = base64_decode(base64.data(), base64.size(), data.get(), base64.size());
	if (n < 0) {
		fputs(_("Invalid BASE64 encoding\n"), stderr);
		mhash_deinit(td, nullptr);
		return -1;
	}
	WireReader key(data.get(), (size_t)n);
	uint32_t type_len;
	std::string_view type_name;
	if (n < 8 || key.get_u32_be(&type_len) < 0 || key.get_bytes(type_len, &type_name) < 0) {
		fputs(_("Invalid key\n"), stderr);
		mhash_deinit(td, nullptr);
		return -1;
	}
	int kind = get_key_type(type_name.data(), type_name.size());
	// The reader of the key file has checked the type name already.
	printf(_("Public key fingerprint %s "), kind >= 0 ? key_kind_names[kind] : "?");

	mhash(td, data.get(), (mutils_word32)n);
	unsigned char *digest = static_cast<unsigned char *>(mhash_end(td));
	if (digest == nullptr) {
		perror("mhash_end");
		return -1;
	}
	size_t digest_len = mhash_get_block_size(algorithm);
	if (choice == HASH_MD5) {
		for (size_t i = 0; i < digest_len; i++) {
			if (i > 0)
				fputs(":", stdout);
			printf("%.2hhx", digest[i]);
		}
	} else {
		char encoded[44];
		if (base64_encode(digest, digest_len, encoded, sizeof encoded, 0) < 0)
			fputs(_("Cannot encode SHA-256 fingerprint"), stdout);
		else
			fputs(encoded, stdout);
	}
	mhash_free(digest);
	return 0;
}

}  // namespace

int cmd_listuser(int argc, char **argv)
{
	HashChoice choice = HASH_NONE;
	int opt;
	while ((opt = getopt(argc, argv, "+h:")) != -1) {
		switch (opt) {
		case 'h':
			if (strcmp(optarg, "md5") == 0) {
				choice = HASH_MD5;
			} else if (strcmp(optarg, "sha256") == 0) {
				choice = HASH_SHA256;
			} else {
				fprintf(stderr, _("Invalid hash algorithm '%s'\n"), optarg);
				return -1;
			}
			break;
		default:
			print_usage(argv[0]);
			return -1;
		}
	}
	if (check_ssh_rc() < 0)
		fputs(_("Warning: configuration error left unresolved\n"), stderr);
	UniqueFile f(fopen_nofollow(KEY_FILE_PATH, "r"));
	if (f == nullptr) {
		perror(KEY_FILE_PATH);
		return 1;
	}
	char *user, *key_text, *comment;
	while (read_key_entry(f.get(), &user, &key_text, &comment, nullptr) == 0) {
		MallocPtr<char> u(user), k(key_text), c(comment);
		printf(_("User \"%s\", "), u.get());
		if (choice == HASH_NONE) {
			printf(_("Public key \"%s\""), k.get());
		} else if (print_fingerprint(choice, k.get()) < 0) {
			return 1;
		}
		if (c != nullptr)
			printf(_(", Comment \"%s\""), c.get());
		putchar('\n');
	}
	// A listing that did not reach its reader is no success.
	if (fflush(stdout) != 0) {
		perror("write");
		return 1;
	}
	return 0;
}
