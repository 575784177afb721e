// The rule that every chat user name follows.
#ifndef TOLVAR_COMMON_USER_NAME_H
#define TOLVAR_COMMON_USER_NAME_H

// Longest valid user name in bytes.
constexpr int USER_NAME_MAX = 32;

// 1 if name (NUL-terminated) is a valid chat user name, 0 if not.
int is_valid_user_name(const char *name);

#endif
