// SPDX-License-Identifier: BSD-2-Clause
// action.h - expansion of the answer templates.
#ifndef MURVANE_POLICY_ACTION_H
#define MURVANE_POLICY_ACTION_H

#include <cstdint>

// print_action - write template to standard output with "%d" as n, "%p" as
// "" when n is 1 and "s" otherwise, "%s" as one blank and "%%" as "%". A bad
// directive is left out and logged at LOG_WARNING; a "%" at the very end
// stops the expansion. Neither "action=" nor a newline is written here.
void print_action(const char *template_text, uint64_t n);

#endif
