// SPDX-License-Identifier: BSD-2-Clause
// spf.h - SPF-aware triplet keys (--spf).
//
// With --spf, a request whose client the sender's domain authorises by SPF
// (RFC 7208; the HELO name when the sender is empty) is keyed on that domain
// instead of the client address, so that a retry from another address of the
// domain's pool finds the triplet its first attempt started. A bounce (the
// empty sender) that passes for its HELO name is keyed on the registrable
// domain of that name, as the public suffix list gives it, so that the hosts
// of a pool that each give their own name in HELO are one sender for their
// bounces as for their mail; a HELO name that is a public suffix itself
// keeps the address key. Any other outcome keeps the address key: none,
// neutral, softfail, fail, permerror, temperror, and an evaluation that ran
// past the request's DNS deadline. Greylisting itself is unchanged.
//
// The evaluation is a job of the bounded DNS path (dns/resolver.h): it runs
// before the request's transaction, so no database lock is held while DNS is
// asked, from the kept answers in this thread when they are enough, else in
// the worker, for at most dns_time_limit seconds with the request's other
// DNS work. Past that it goes on with the address key; while an abandoned
// job still runs, later requests of the process count as temperror at once.
#ifndef MURVANE_GREYLIST_SPF_H
#define MURVANE_GREYLIST_SPF_H

#include <netinet/in.h>

#include <cstddef>

#include "dns/resolver.h"
#include "storage/stored_triplet.h"

// RFC 7208's limits on one evaluation: terms that query DNS, and lookups
// that answer nothing (no such name, or no record of the type asked).
constexpr int spf_max_dns_terms = 10;
constexpr int spf_max_void_lookups = 2;

// Longest sender the daemon evaluates: a local part of 64 bytes, "@" and a
// domain of 255, the limits of SMTP.
constexpr size_t spf_max_sender = 320;

enum class spf_result {
    none, neutral, pass, fail, softfail, temperror, permerror,
    timeout,      // the request stopped waiting: counts as temperror
    not_checked,  // nothing to evaluate: no address, or no usable domain
};

// What the daemon gives the library for one request, every text NUL-ended.
struct spf_query {
    char client[INET6_ADDRSTRLEN];      // the client address, as inet_ntop prints it
    char sender[spf_max_sender + 1];    // the envelope sender, or postmaster@helo
    char helo[max_key_domain + 1];      // the HELO name when it is a domain, or ""
    char domain[max_key_domain + 1];    // the domain evaluated: lower case, no final dot
};

// spf_prepare - the query of a request from its client_address, sender and
// helo_name values (each ended by its newline; helo may be nullptr). Returns
// false when there is nothing to evaluate: a client that is no IP address, a
// sender without a domain, a domain that is no host name (characters other
// than letters, digits, '-' and '_', an empty or over-long label, a single
// label), or values holding a NUL.
bool spf_prepare(const char *client, const char *sender, const char *helo,
                 spf_query *query);

struct SPF_server_struct;
struct SPF_dns_server_struct;

// spf_new_server - a library server whose DNS goes through `below` (nullptr:
// the system resolver) and the bounded layer (dns_new_layer), which enforces
// the void lookup limit and the current evaluation's deadline. Returns
// nullptr when the library fails. The server does not own the layers:
// SPF_server_free(), then SPF_dns_free() of its resolver, releases them all.
SPF_server_struct *spf_new_server(SPF_dns_server_struct *below);

// spf_evaluate - evaluate a prepared query with `server`, refusing lookups
// after `deadline` (CLOCK_MONOTONIC seconds; 0: none). A pass counts only when
// a mechanism of the domain's own record matched it for the very domain of
// the query; the library's free pass for loopback clients does not count.
// Only one evaluation, or other job of the DNS path, may run at a time in a
// process.
spf_result spf_evaluate(SPF_server_struct *server, const spf_query *query,
                        double deadline);

// spf_result_name - the RFC's name of a result ("pass", "temperror", ...).
const char *spf_result_name(spf_result result);

// spf_key_domain - with --spf, the domain that becomes the current request's
// key address part, or nullptr to keep the address key (always nullptr
// without --spf). One evaluation serves every recipient of a message: the
// outcome for the same client, sender and HELO is kept for a minute. With -d
// the result and the address part are logged. The domain stays valid until
// the next call. A bounce that passes for its HELO name is keyed on the
// name's registrable domain (never a public suffix). When `result` is given,
// the outcome of the evaluation is stored there (not_checked without --spf
// or with nothing to evaluate), for the features that weigh an SPF failure.
const char *spf_key_domain(const char *client, const char *sender,
                           spf_result *result = nullptr);

#endif
