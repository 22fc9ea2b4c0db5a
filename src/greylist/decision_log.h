// SPDX-License-Identifier: BSD-2-Clause
// decision_log.h - one log line per decided request (--log-decisions).
//
// The line is written at LOG_INFO, its fields always present and always in
// this order, separated by one blank:
//
//   decision=WORD mode=MODE client_address=A client_name=N sender=S
//   recipient=R key=K left=SECONDS waited=SECONDS
//
// WORD is the outcome's word (greylist/outcome.h); MODE is "enforce", or
// "learn" under --learn, where WORD is what enforcing would have decided and
// the answer given was DUNNO. A, N, S and R are the request's values; K is
// the address part of the triplet's key: an address, a prefix
// ("192.0.2.0/24") when the network prefix cuts it, or "spf:" and a domain.
// left is the seconds still to wait on a deferral, waited the seconds the
// triplet waited on its first pass; each is "-" on every other outcome. A
// value the request did not carry, or a key not built, is "-".
//
// Values are logged safely: every byte outside '!' to '~', and '\' itself,
// is written as \xHH (two lower-case hex digits), so a value holds no blank,
// no control character and nothing but ASCII. A value longer than
// decision_value_limit bytes as written is cut there and marked by "\..."
// after the cut, which no whole value can contain. Nothing here fails: a line
// is formatted into a fixed buffer that always holds it.
#ifndef MURVANE_GREYLIST_DECISION_LOG_H
#define MURVANE_GREYLIST_DECISION_LOG_H

#include <db.h>

#include <cstddef>
#include <cstdint>

#include "greylist/outcome.h"

// Longest value as written, escapes counted, before the cut mark.
constexpr size_t decision_value_limit = 256;

// log_decision - with --log-decisions, the line of the current request:
// `key` is its triplet key (null when none was built), `seconds` the seconds
// left on a deferral or waited on a first pass (ignored on other outcomes).
void log_decision(outcome decided, const DBT *key, uint64_t seconds);

#endif
