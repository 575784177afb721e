#include "tests/soak/soak-ledger.h"

#include <charconv>
#include <cstdio>

namespace soak {

namespace {

constexpr size_t FAILURES_KEPT = 60;

// Printable filler that differs per sender, seq and offset, so that a text cut, shifted or
// spliced into another one does not compare equal.
std::string filler(int sender, uint32_t seq, uint32_t n)
{
	std::string s(n, '\0');
	uint64_t x = ((uint64_t)(uint32_t)sender << 32 | seq) * 0x9E3779B97F4A7C15ull + 1;
	for (uint32_t i = 0; i < n; i++) {
		x ^= x << 13;
		x ^= x >> 7;
		x ^= x << 17;
		s[i] = (char)('!' + x % 94);
	}
	return s;
}

}  // namespace

Message *Ledger::add(int sender, const std::string &to, int kind, uint32_t pad, int64_t tick, bool end_marker)
{
	std::vector<Message> &v = by_sender_[sender];
	Message m;
	m.sender = sender;
	m.seq = (uint32_t)v.size();
	m.to = to;
	m.kind = kind;
	m.text = std::string(end_marker ? "e" : "m") + std::to_string(sender) + "." + std::to_string(m.seq) + ":" +
		 filler(sender, m.seq, pad);
	m.tick = tick;
	m.end_marker = end_marker;
	v.push_back(std::move(m));
	count_++;
	return &v.back();
}

Message *Ledger::find(int sender, uint32_t seq)
{
	auto it = by_sender_.find(sender);
	if (it == by_sender_.end() || seq >= it->second.size())
		return nullptr;
	return &it->second[seq];
}

bool parse_header(std::string_view text, int *sender, uint32_t *seq)
{
	if (text.empty() || (text[0] != 'm' && text[0] != 'e'))
		return false;
	const char *p = text.data() + 1, *end = text.data() + text.size();
	auto a = std::from_chars(p, end, *sender);
	if (a.ec != std::errc() || a.ptr == end || *a.ptr != '.')
		return false;
	auto b = std::from_chars(a.ptr + 1, end, *seq);
	return b.ec == std::errc() && b.ptr != end && *b.ptr == ':';
}

bool is_everybody(const std::string &to)
{
	return to == "GLOBAL" || to == "*";
}

void Failures::add(const std::string &what)
{
	count_++;
	if (kept_.size() < FAILURES_KEPT) {
		kept_.push_back(what);
		fprintf(stderr, "FAIL: %s\n", what.c_str());
	}
}

}  // namespace soak
