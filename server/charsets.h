// The character sets the server converts between, and how a session's encoding name spells one.
#ifndef TOLVAR_SERVER_CHARSETS_H
#define TOLVAR_SERVER_CHARSETS_H

// The iconv name of the listed character set that an encoding name spells, ignoring case and
// everything but letters and digits ("utf8", "UTF-8" and "utf_8" alike); nullptr when the set
// is not on the list. The result is a constant.
const char *listed_charset(const char *name);

#endif
