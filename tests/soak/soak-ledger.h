// The soak run's ledger: every message posted, with the text the server must pass on
// unchanged, and the list of faults found.
#ifndef TOLVAR_TESTS_SOAK_LEDGER_H
#define TOLVAR_TESTS_SOAK_LEDGER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace soak {

// Where the bytes of a post are, as far as the test knows.
enum class Fate {
	QUEUED,		// waiting in the test's queue
	WRITTEN,	// wholly written to the sender's socket or pipe
	UNSENT,		// the sender went before the whole post was written: nobody may receive it
};

struct Message {
	int sender = 0;		// session id
	uint32_t seq = 0;	// per sender, from 0
	std::string to;		// as posted: "GLOBAL", "*" or a user name
	int kind = 1;
	std::string text;	// starts with the header that names sender and seq
	int64_t tick = 0;	// when it was queued
	Fate fate = Fate::QUEUED;
	bool end_marker = false;
	uint32_t receipts = 0;	// sessions it reached
	int64_t first_receipt_tick = -1;	// when it first reached one
};

class Ledger {
public:
	// Records the next message of sender (its seq is the sender's count so far); the text is
	// the header and pad bytes of filler that depend on sender, seq and position.
	Message *add(int sender, const std::string &to, int kind, uint32_t pad, int64_t tick, bool end_marker);
	// nullptr when there is no such message.
	Message *find(int sender, uint32_t seq);
	const std::unordered_map<int, std::vector<Message>> &all() const { return by_sender_; }
	size_t size() const { return count_; }

private:
	std::unordered_map<int, std::vector<Message>> by_sender_;
	size_t count_ = 0;
};

// Reads the header of a message text: false when the text has none.
bool parse_header(std::string_view text, int *sender, uint32_t *seq);
bool is_everybody(const std::string &to);

// Faults found: all counted, the first ones kept for the report.
class Failures {
public:
	void add(const std::string &what);
	size_t count() const { return count_; }
	const std::vector<std::string> &kept() const { return kept_; }

private:
	std::vector<std::string> kept_;
	size_t count_ = 0;
};

}  // namespace soak

#endif
