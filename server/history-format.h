// The history file's format: a header, then one record per kept message, each with its length
// and a checksum so that a torn or garbled tail is told from whole records. No I/O here.
//
//   file:    "TOLVARH1" (8 bytes), then records
//   record:  u32 body length, u32 CRC-32 of the body, body
//   body:    i64 time, u8 F + sender, u8 T + recipient, i32 kind, u8 E + encoding,
//            u32 X + text
//
// Integers are big-endian. docs/history-format.md describes it for people.
#ifndef TOLVAR_SERVER_HISTORY_FORMAT_H
#define TOLVAR_SERVER_HISTORY_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/wire-reader.h"
#include "protocol/local-protocol.h"

constexpr char HISTORY_FILE_MAGIC[] = "TOLVARH1";
constexpr size_t HISTORY_FILE_MAGIC_SIZE = 8;
constexpr size_t HISTORY_RECORD_HEADER_SIZE = 8;	// length and checksum
// The largest body: names of 31 bytes, an encoding name of 23, the largest history text.
constexpr size_t HISTORY_BODY_FIXED_SIZE = 8 + 1 + 1 + 4 + 1 + 4;
constexpr size_t HISTORY_BODY_MAX = HISTORY_BODY_FIXED_SIZE + 31 + 31 + LOCAL_ENCODING_MAX + LOCAL_HISTORY_TEXT_MAX;

// One kept message; the views borrow from whoever holds the bytes.
struct HistoryRecord {
	int64_t time;			// when the server received it, seconds since the epoch
	std::string_view from_user;	// 1 to 31 bytes, no NUL
	std::string_view to_user;	// "GLOBAL" or "*": only messages to everybody are kept
	int32_t kind;
	std::string_view encoding;	// the sender's encoding name, 0 to 23 bytes, no NUL
	std::string_view text;
};

// Whether r may be kept and written: the limits above.
bool history_record_valid(const HistoryRecord &r);

// CRC-32 (the polynomial of zlib and PNG) of n bytes.
uint32_t history_crc32(const void *data, size_t n);

// Bytes the record takes in the file, header included.
size_t history_record_size(const HistoryRecord &r);
// Writes a valid record (history_record_size bytes) at out.
void history_record_encode(const HistoryRecord &r, unsigned char *out);

// Decodes the next record at r: 0 and r past it, or -1 with r unchanged when what follows is
// not a whole valid record (short, too long, bad checksum, bad fields). out borrows from r.
int history_record_decode(WireReader *r, HistoryRecord *out);

// Reads a whole file image: calls keep for each whole record in order and returns the size of
// the good prefix (magic and whole records); what follows it is the broken tail. A file
// without the magic has a good prefix of 0 (the empty file too).
size_t history_file_parse(const unsigned char *data, size_t size, void (*keep)(const HistoryRecord &r, void *ctx),
			  void *ctx);

#endif
