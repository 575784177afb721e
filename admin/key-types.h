// Public key families, the Base64 coding of key data, and the type name inside key data.
#ifndef TOLVAR_ADMIN_KEY_TYPES_H
#define TOLVAR_ADMIN_KEY_TYPES_H

#include <sys/types.h>

#include <cstddef>

// Key family; -1 stands for a word that names none.
enum KeyKind {
	KEY_KIND_RSA = 0,
	KEY_KIND_DSA = 1,
	KEY_KIND_ECDSA = 2,
	KEY_KIND_ED25519 = 3,
};

// Display names indexed by KeyKind: "RSA", "DSA", "ECDSA", "ED25519".
extern const char *const key_kind_names[4];

// Bytes of key data that decode_key_header examines; its buffer needs one byte more.
constexpr size_t KEY_HEADER_SIZE = 32;

// The family named by the len bytes at word (no NUL needed), or -1.
int get_key_type(const char *word, size_t len);

// Decodes len bytes of Base64 text into out (capacity bytes). Returns the bytes written, or -1
// for an invalid character. Newlines are skipped, "=" ends the data, a full buffer ends decoding.
ssize_t base64_decode(const char *in, size_t len, unsigned char *out, size_t capacity);

// Encodes len bytes into out (size bytes, NUL-terminated); bit 0 of flags asks for "=" padding.
// Returns 0, or -1 when out is too small.
int base64_encode(const unsigned char *data, size_t len, char *out, size_t size, int flags);
constexpr int BASE64_PAD = 1;

// Decodes the start of the Base64 text at text (NUL-terminated; the text ends at its first space)
// into header (KEY_HEADER_SIZE + 1 bytes). On success returns 0 with *token_len the length of the
// Base64 text and the type name at header + 4, *type_len bytes long. On failure prints why and
// returns -1.
int decode_key_header(const char *text, size_t *token_len, size_t *type_len, unsigned char *header);

#endif
