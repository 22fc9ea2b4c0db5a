// SPDX-License-Identifier: BSD-2-Clause
// outcome.h - what was decided for one RCPT request, and its word in the log.
//
// Every path that answers a greylisted request sets exactly one outcome at
// the place it decides, and the decision log (greylist/decision_log.h) names
// it by the word of outcome_names. A new way of deciding is one enumerator
// here and its word in the table; the words are part of the log line's
// documented format, so a word once given never changes.
#ifndef MURVANE_GREYLIST_OUTCOME_H
#define MURVANE_GREYLIST_OUTCOME_H

#include <cstddef>

enum class outcome {
    defer_new,       // a new or restarted triplet, deferred
    defer_early,     // a known triplet asked again before its delay ran out
    first_pass,      // the triplet's first request after the delay
    known,           // a triplet that passed before, let through
    whitelisted,     // a whitelisted client's new triplet, let through at once
    reply,           // a reply to a pair an authenticated user wrote to
    not_suspicious,  // a client with no suspicious sign, not greylisted
    authenticated,   // an authenticated user's request, not greylisted
};

// The words, indexed by outcome; one word each, lower case and '_'.
inline constexpr const char *outcome_names[] = {
    "defer_new", "defer_early", "first_pass", "known",
    "whitelisted", "reply", "not_suspicious", "authenticated",
};
static_assert(sizeof outcome_names / sizeof outcome_names[0] ==
                  static_cast<size_t>(outcome::authenticated) + 1,
              "one word per outcome");

inline const char *outcome_name(outcome decided)
{
    return outcome_names[static_cast<size_t>(decided)];
}

// outcome_defers - the answer enforcing gives is the reject action.
inline bool outcome_defers(outcome decided)
{
    return decided == outcome::defer_new || decided == outcome::defer_early;
}

#endif
