#include "common/user-name.h"

#include <cstring>

int is_valid_user_name(const char *name)
{
	if (name[0] == '\0')
		return 0;
	size_t i;
	for (i = 0; name[i] != '\0'; i++) {
		if (i >= (size_t)USER_NAME_MAX)
			return 0;
		switch ((unsigned char)name[i]) {
		case 0x04:
		case 0x07: case 0x08: case 0x09: case 0x0a: case 0x0b: case 0x0c: case 0x0d:
		case 0x1b:
		case '"': case '#': case '\'': case '*': case '/': case ':': case '\\':
		case 0x7f:
			return 0;
		default:
			break;
		}
	}
	return 1;
}
