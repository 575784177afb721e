// Small text helpers for looking at what the terminal frontend wrote.
#ifndef TOLVAR_TESTS_CLI_TEXT_HELPERS_H
#define TOLVAR_TESTS_CLI_TEXT_HELPERS_H

#include <cctype>
#include <string>

namespace ct {

// Replaces every timestamp "[hh:mm:ss] " by "[T] ".
inline std::string strip_times(const std::string &s)
{
	auto digit = [&](size_t i) { return isdigit((unsigned char)s[i]) != 0; };
	std::string r;
	for (size_t i = 0; i < s.size();) {
		if (i + 11 <= s.size() && s[i] == '[' && digit(i + 1) && digit(i + 2) && s[i + 3] == ':' &&
		    digit(i + 4) && digit(i + 5) && s[i + 6] == ':' && digit(i + 7) && digit(i + 8) &&
		    s[i + 9] == ']' && s[i + 10] == ' ') {
			r += "[T] ";
			i += 11;
		} else {
			r += s[i++];
		}
	}
	return r;
}

// Takes out every colour sequence (ESC [ digits and semicolons m).
inline std::string strip_colours(const std::string &s)
{
	std::string r;
	for (size_t i = 0; i < s.size();) {
		if (s[i] == '\033' && i + 1 < s.size() && s[i + 1] == '[') {
			size_t j = i + 2;
			while (j < s.size() && (isdigit((unsigned char)s[j]) || s[j] == ';'))
				j++;
			if (j < s.size() && s[j] == 'm') {
				i = j + 1;
				continue;
			}
		}
		r += s[i++];
	}
	return r;
}

inline bool ends_with(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace ct

#endif
