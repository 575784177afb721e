// The recent conversation to everybody: the last messages kept in memory within a count and a
// byte budget, written to the file "history" so that a restart keeps them, and sent to a
// session that asks for them.
#ifndef TOLVAR_SERVER_HISTORY_H
#define TOLVAR_SERVER_HISTORY_H

#include <cstddef>
#include <cstdint>

#include "protocol/local-protocol.h"
#include "server/history-format.h"

constexpr const char HISTORY_FILE[] = "history";
constexpr const char HISTORY_TEMPORARY_FILE[] = "history.tmp";
// The environment that sets the limits; 0 turns keeping off.
constexpr const char HISTORY_MESSAGES_VARIABLE[] = "TOLVAR_HISTORY_MESSAGES";
constexpr const char HISTORY_BYTES_VARIABLE[] = "TOLVAR_HISTORY_BYTES";
constexpr uint32_t HISTORY_MESSAGES_DEFAULT = 200;
constexpr size_t HISTORY_BYTES_DEFAULT = (size_t)8 * 1024 * 1024;
constexpr uint32_t HISTORY_MESSAGES_LIMIT = 100000;
constexpr size_t HISTORY_BYTES_LIMIT = (size_t)1024 * 1024 * 1024;

// Reads the limits from the environment and loads the file; logs what goes wrong and never
// fails. Called once at start-up, after the system log is open.
void history_init(void);

// Keeps a message to everybody received at when from sender (its text as delivered, NUL bytes
// already replaced), with the sender's encoding (nullptr: none); written to the file too.
void history_keep(int64_t when, const char *sender, const MessageView &m, const char *encoding);

// The get-history request: the last messages, oldest first, each converted to the session's
// encoding as a delivery would be, then the end packet.
int handle_get_history(int fd, unsigned char *bytes, const LocalPacketView &packet);

// --- the store, for the file (history-file.cpp) ---

// Adds a record, dropping the oldest to stay within the limits; false when it is not kept
// (keeping is off, the text exceeds a quarter of the byte budget, no memory).
bool history_store_add(const HistoryRecord &r);
uint32_t history_store_count(void);
// Message i, 0 the oldest; the views borrow from the store until the next add.
HistoryRecord history_store_at(uint32_t i);
uint32_t history_store_max_messages(void);
size_t history_store_max_bytes(void);

// --- the file (history-file.cpp) ---

// Loads the file into the store and keeps it open for appending; a broken tail is logged and
// cut off. Without a usable file the history lives in memory only.
void history_file_load(void);
// Appends a record just added to the store, or rewrites the file from the store when it has
// grown to about twice what the store holds.
void history_file_append(const HistoryRecord &r);

#endif
