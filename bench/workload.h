// SPDX-License-Identifier: BSD-2-Clause
// workload.h - the triplets and policy requests every bench program uses.
//
// A triplet is named by a space (a short text) and an index: the same pair
// always gives the same client address, sender and recipient, so the loader,
// the floor programs and the load driver agree on which triplets are known
// without sharing any state. Indexes are scattered by a hash, so consecutive
// indexes land on unrelated pages of the database, as real traffic does.
#ifndef MURVANE_BENCH_WORKLOAD_H
#define MURVANE_BENCH_WORKLOAD_H

#include <cstddef>
#include <cstdint>
#include <string>

// What the mail server says about a triplet's client: a mail server's
// forward-confirmed name and HELO (no sign of a spam source, for
// --selective), or what a home connection shows (no verified name, a
// reverse name made of its address, an address literal as HELO).
struct bench_triplet {
    char client_address[16];  // dotted IPv4 text, in 198.18.0.0/15
    char client_name[48];     // the forward-confirmed name, or "unknown"
    char reverse_name[48];    // the reverse (PTR) name the mail server would send
    char helo_name[48];
    char sender[96];
    char recipient[64];
};

// mix64 - a 64-bit finaliser: a bijection with good avalanche.
uint64_t mix64(uint64_t x);

// make_triplet - triplet number `index` of `space`. With `clients` N > 0 the
// client is the (index mod N)-th of a set of N addresses shared by every
// space, so that a few clients send many triplets (as a proven mail server
// does); 0 spreads the clients over the whole /15 by the triplet's hash.
void make_triplet(const std::string &space, uint64_t index, bench_triplet *t,
                  uint64_t clients = 0);

// make_suspicious - give the triplet's client a home connection's names:
// client_name "unknown", a reverse name holding its address
// (dsl-198-18-3-4.dynamic.example.net) and a HELO of its address literal,
// the unverified, dynamic and helo signs of --selective.
void make_suspicious(bench_triplet *t);

// format_request - an RCPT request with the attributes the mail server sends
// for one recipient, ended by its empty line. `seq` varies the per-message
// attributes (queue id, size, client port); `sasl_username`, when not empty,
// makes it an authenticated user's (sasl_method PLAIN). Returns the bytes
// written, 0 if `cap` is too small.
size_t format_request(char *buf, size_t cap, const bench_triplet &t, uint64_t seq,
                      const char *sasl_username = "");

// reverse_triplet - the triplet of the local user's mail to the outside
// sender: sender and recipient swapped (a reply to it is the triplet itself).
void reverse_triplet(bench_triplet *t);

// stored_key - the triplet's key in the daemon's stored layout (IPv4 tag,
// four address bytes, sender, NUL, recipient). Returns its length, 0 if `cap`
// is too small.
size_t stored_key(const bench_triplet &t, unsigned char *key, size_t cap);

// now_ns - monotonic clock in nanoseconds.
uint64_t now_ns();

#endif
