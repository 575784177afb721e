#include "server/charsets.h"

#include <cstddef>
#include <cstring>

#include "protocol/local-protocol.h"

namespace {

// The character sets the server converts between, whatever a session's login names: only
// encodings without escape sequences, locking shifts or byte-order marks, so that no session
// can make the server run the converters of the stateful ones (ISO-2022-*, UTF-7, UTF-16 and
// UTF-32 with a byte-order mark). Each row: a spelling in capitals and digits only, and the name
// handed to iconv.
struct Charset {
	const char *key;
	const char *iconv_name;
};

constexpr Charset charsets[] = {
	{"UTF8", "UTF-8"},
	{"UTF16LE", "UTF-16LE"},
	{"UTF16BE", "UTF-16BE"},
	{"UTF32LE", "UTF-32LE"},
	{"UTF32BE", "UTF-32BE"},
	{"ASCII", "ANSI_X3.4-1968"},
	{"USASCII", "ANSI_X3.4-1968"},
	{"ANSIX341968", "ANSI_X3.4-1968"},
	{"ISO646US", "ANSI_X3.4-1968"},
	{"ISO88591", "ISO-8859-1"},
	{"ISO88592", "ISO-8859-2"},
	{"ISO88593", "ISO-8859-3"},
	{"ISO88594", "ISO-8859-4"},
	{"ISO88595", "ISO-8859-5"},
	{"ISO88596", "ISO-8859-6"},
	{"ISO88597", "ISO-8859-7"},
	{"ISO88598", "ISO-8859-8"},
	{"ISO88599", "ISO-8859-9"},
	{"ISO885910", "ISO-8859-10"},
	{"ISO885911", "ISO-8859-11"},
	{"ISO885913", "ISO-8859-13"},
	{"ISO885914", "ISO-8859-14"},
	{"ISO885915", "ISO-8859-15"},
	{"ISO885916", "ISO-8859-16"},
	{"LATIN1", "ISO-8859-1"},
	{"LATIN2", "ISO-8859-2"},
	{"LATIN3", "ISO-8859-3"},
	{"LATIN4", "ISO-8859-4"},
	{"LATIN5", "ISO-8859-9"},
	{"LATIN6", "ISO-8859-10"},
	{"LATIN7", "ISO-8859-13"},
	{"LATIN8", "ISO-8859-14"},
	{"LATIN9", "ISO-8859-15"},
	{"LATIN10", "ISO-8859-16"},
	{"KOI8R", "KOI8-R"},
	{"KOI8U", "KOI8-U"},
	{"KOI8RU", "KOI8-RU"},
	{"KOI8T", "KOI8-T"},
	{"CP1250", "CP1250"},
	{"CP1251", "CP1251"},
	{"CP1252", "CP1252"},
	{"CP1253", "CP1253"},
	{"CP1254", "CP1254"},
	{"CP1255", "CP1255"},
	{"CP1256", "CP1256"},
	{"CP1257", "CP1257"},
	{"CP1258", "CP1258"},
	{"WINDOWS1250", "CP1250"},
	{"WINDOWS1251", "CP1251"},
	{"WINDOWS1252", "CP1252"},
	{"WINDOWS1253", "CP1253"},
	{"WINDOWS1254", "CP1254"},
	{"WINDOWS1255", "CP1255"},
	{"WINDOWS1256", "CP1256"},
	{"WINDOWS1257", "CP1257"},
	{"WINDOWS1258", "CP1258"},
	{"CP437", "IBM437"},
	{"IBM437", "IBM437"},
	{"CP850", "IBM850"},
	{"IBM850", "IBM850"},
	{"CP852", "IBM852"},
	{"IBM852", "IBM852"},
	{"CP866", "IBM866"},
	{"IBM866", "IBM866"},
	{"PT154", "PT154"},
	{"RK1048", "RK1048"},
	{"ARMSCII8", "ARMSCII-8"},
	{"GEORGIANPS", "GEORGIAN-PS"},
	{"TIS620", "TIS-620"},
	{"EUCJP", "EUC-JP"},
	{"EUCKR", "EUC-KR"},
	{"EUCCN", "EUC-CN"},
	{"GB2312", "EUC-CN"},
	{"EUCTW", "EUC-TW"},
	{"SHIFTJIS", "SHIFT_JIS"},
	{"SJIS", "SHIFT_JIS"},
	{"CP932", "CP932"},
	{"WINDOWS31J", "CP932"},
	{"GBK", "GBK"},
	{"CP936", "GBK"},
	{"GB18030", "GB18030"},
	{"UHC", "UHC"},
	{"CP949", "UHC"},
	{"BIG5", "BIG5"},
	{"CP950", "BIG5"},
	{"BIG5HKSCS", "BIG5-HKSCS"},
};

constexpr bool is_key_char(char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr bool keys_are_spellings()
{
	for (const Charset &row : charsets) {
		size_t n = 0;
		for (; row.key[n] != '\0'; n++)
			if (!is_key_char(row.key[n]))
				return false;
		if (n > LOCAL_ENCODING_MAX)
			return false;
	}
	return true;
}
static_assert(keys_are_spellings(), "every key is a name in capitals and digits, as a login can spell it");

}  // namespace

const char *listed_charset(const char *name)
{
	char key[LOCAL_ENCODING_MAX + 1];
	size_t n = 0;
	for (const char *p = name; *p != '\0'; p++) {
		char c = *p >= 'a' && *p <= 'z' ? (char)(*p - 'a' + 'A') : *p;
		if (!is_key_char(c))
			continue;
		if (n == LOCAL_ENCODING_MAX)
			return nullptr;
		key[n++] = c;
	}
	key[n] = '\0';
	for (const Charset &row : charsets)
		if (strcmp(row.key, key) == 0)
			return row.iconv_name;
	return nullptr;
}

