// SPDX-License-Identifier: BSD-2-Clause
// action.h - expansion of the answer templates.
#ifndef MURVANE_POLICY_ACTION_H
#define MURVANE_POLICY_ACTION_H

#include <cstdint>
#include <cstdio>

// answer_stream - where the calling thread writes its answers: standard
// output, the policy connection of the daemon that Postfix spawned, unless
// the thread serves a connection of the resident server (set_answer_stream).
FILE *answer_stream();

// set_answer_stream - the calling thread's answers go to `stream` from now
// on; nullptr puts them back on standard output.
void set_answer_stream(FILE *stream);

// print_action - write template to the answer stream with "%d" as n, "%p" as
// "" when n is 1 and "s" otherwise, "%s" as one blank and "%%" as "%". A bad
// directive is left out and logged at LOG_WARNING; a "%" at the very end
// stops the expansion. Neither "action=" nor a newline is written here.
void print_action(const char *template_text, uint64_t n);

#endif
