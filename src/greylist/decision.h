// SPDX-License-Identifier: BSD-2-Clause
// decision.h - the greylisting decision for one RCPT request.
#ifndef MURVANE_GREYLIST_DECISION_H
#define MURVANE_GREYLIST_DECISION_H

#include <db.h>

#include <cstdint>
#include <ctime>

#include "greylist/spf.h"
#include "storage/stored_triplet.h"

// The one record buffer of the process, and the DBT (user memory, 32 bytes)
// through which every read and write of a value goes; main sets it up.
extern thread_local triplet_data_t triplet_data;
extern thread_local DBT dbdata;

// bind_record_buffer - point the calling thread's dbdata at its
// triplet_data; each thread that decides or sweeps calls it first.
void bind_record_buffer();

// The idle rule: a passed record (pass_count above 0) is measured from its
// access_time against pass_max_idle, any other from its create_time against
// bloc_max_idle. It is idle too long when strictly more time has passed.
struct idle_rule_t {
    time_t reference;  // the time idleness is measured from
    double limit;      // seconds it may stay idle
};
idle_rule_t idle_rule(const triplet_data_t &record);

// seconds_from_double - a non-negative count of seconds, truncated toward
// zero; values past the 64-bit range give the largest 64-bit count.
uint64_t seconds_from_double(double seconds);

// process_smtp_rcpt - decide the triplet in dbkey in one transaction and
// write the answer line once the transaction is resolved, with the
// decision's log line (greylist/decision_log.h); under --learn the line
// written is always "action=DUNNO". A get or put that
// the deadlock detector refuses undoes the try, and the request runs again
// from txn_begin, at most 3 tries in all. Returns 0 (also when only the commit
// failed), 1 when the request failed before an answer ("action=WARN ..."; a
// get refused on every try is one), or the put's code when the put failed (or
// was refused on every try), after the decided answer line, left unstored.
// `spf` is the request's SPF outcome, which --replies weighs.
int process_smtp_rcpt(spf_result spf = spf_result::not_checked);

// abort_request - leave the current decision through its failure path,
// answering "action=WARN <text>". Never returns.
[[noreturn]] void abort_request(const char *text);

// stamp_access_time - set triplet_data.access_time to now.
void stamp_access_time();

#endif
