// SPDX-License-Identifier: BSD-2-Clause
// resolver.h - the bounded DNS path that --spf and --dnsbl share.
//
// DNS is asked before the request's transaction, never with a database lock
// held, and a request waits for it at most dns_time_limit seconds, however
// many lookups its features make: the first DNS work of a request sets the
// request's deadline, and the later ones of the same request share it.
//
// A job is one piece of DNS work: a function that makes its lookups through
// the layer it is handed (libspf2's DNS layer interface, the library's own
// resolver below it) and leaves its outcome in the data it is given. The
// layer answers from the answers it keeps when it can (dns_kept_answers of
// them, those that name records or say there are none, for dns_kept_seconds
// each), refuses every lookup past the deadline, and past the job's limit of
// lookups that answer nothing. A job whose every answer is kept runs in the
// calling thread, which cannot block; any other runs in one worker thread,
// with every signal blocked, that the request waits for on a pipe. When the
// deadline comes first the request goes on without the outcome and the job
// is abandoned: the worker frees it when its current lookup returns (the
// resolver's own time-outs), and until then later jobs of the process are
// not started at all (dns_status::busy), so that no request waits twice.
//
// Each thread that runs jobs has a worker of its own (the spawned daemon's
// main flow has one; in the resident server each connection's thread), and
// one job runs at a time per worker: a job's function may keep state of its
// own per thread (a library server made over the layer) without a lock.
#ifndef MURVANE_DNS_RESOLVER_H
#define MURVANE_DNS_RESOLVER_H

#include <cstddef>

// Seconds one request may wait for all its DNS work together.
constexpr int dns_time_limit = 5;

// Answers the layer keeps for every job of the process: at most
// dns_kept_answers of them, each of at most dns_max_kept_answer bytes of
// records, for dns_kept_seconds each. (The library's resolver does not report
// an answer's time to live: a record whose TTL is shorter may be used up to a
// minute after it changed.)
constexpr int dns_kept_answers = 64;
constexpr size_t dns_max_kept_answer = 4096;
constexpr double dns_kept_seconds = 60;

struct SPF_dns_server_struct;

// What the lookups of the running job met, for its function to weigh.
struct dns_lookups {
    int void_lookups;    // lookups that answered nothing (no such name, no record)
    bool void_exceeded;  // more of them than the job's limit
    bool failed;         // a lookup failed, timed out or was refused past the deadline
};

// dns_work - one job: lookups through `layer`, the outcome left in `data`.
using dns_work = void (*)(SPF_dns_server_struct *layer, void *data);

enum class dns_status {
    done,       // the job ended in time: its outcome is in the data
    timeout,    // the deadline came first (or had passed before the job)
    busy,       // an abandoned job still runs: this one was not started
    no_worker,  // the worker could not be started, or could not reach DNS
    no_memory,  // no room for the job
};

// dns_start_request - a new request begins: its first job sets its deadline.
void dns_start_request();

// dns_run - run `work` over a copy of `data` (`size` bytes), in this thread
// from the kept answers alone when they are enough, else in the worker until
// the request's deadline. With dns_status::done the copy, with the job's
// outcome, is copied back into `data`; otherwise `data` is left as it was.
dns_status dns_run(dns_work work, void *data, size_t size);

// dns_new_layer - the bounded layer over `below` (nullptr: the system
// resolver), for the worker and for code that evaluates directly (tests,
// fuzz targets). Sets the library's message handlers first: its defaults
// would write to standard output, the policy connection; a fatal message is
// logged before the process ends. Returns nullptr when the library fails.
// SPF_dns_free() of the layer frees it and the layers below.
SPF_dns_server_struct *dns_new_layer(SPF_dns_server_struct *below);

// dns_layer_state - the one place in a layer made by dns_new_layer where
// the jobs run over it keep a state of their own (the SPF library's server
// made over it); `release` frees that state when the layer is freed. Jobs
// over one layer run one at a time, so the state needs no lock.
void **dns_layer_state(SPF_dns_server_struct *layer, void (*release)(void *));

// dns_begin - the lookups of a job that runs outside dns_run() start: refuse
// those after `deadline` (CLOCK_MONOTONIC seconds; 0: none). dns_run() calls
// it for its own jobs. The void lookup limit is off until the job sets it.
void dns_begin(double deadline);

// dns_limit_void_lookups - the running job refuses lookups once more than
// `limit` have answered nothing.
void dns_limit_void_lookups(int limit);

// dns_seen - what the running job's lookups have met so far.
const dns_lookups &dns_seen();

// dns_idle_within - wait up to `seconds` for the worker to have no job;
// false when it still has one. For tests and benchmarks that must not start
// behind an abandoned job.
bool dns_idle_within(double seconds);

// dns_release_thread - the calling thread is done with DNS: its worker ends,
// after the abandoned job it may still run, and frees what it held.
void dns_release_thread();

// dns_monotonic_now - CLOCK_MONOTONIC in seconds, the clock of every
// deadline here.
double dns_monotonic_now();

#endif
