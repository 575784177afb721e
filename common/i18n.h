// Message catalogue: every text meant for people is looked up in the text domain "tolvar".
#ifndef TOLVAR_COMMON_I18N_H
#define TOLVAR_COMMON_I18N_H

#include <libintl.h>

#define TOLVAR_TEXT_DOMAIN "tolvar"
#define _(s) gettext(s)	// NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): gettext's own name
#define N_(s) (s)

#endif
