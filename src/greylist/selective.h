// SPDX-License-Identifier: BSD-2-Clause
// selective.h - greylisting only clients that look like spam sources
// (--selective).
//
// Most of what greylisting stops comes from hijacked machines on access
// networks, and those show signs a real mail server does not: no
// forward-confirmed reverse name, a name made of the address or of an access
// network's words, a HELO that is no host name, an SPF failure, a blocklist
// listing. With --selective a client that shows none of them is let through
// untouched, before any database work; one that shows any is greylisted
// exactly as without the option. Nothing here can make a client less
// suspicious than it would be: a missing attribute, a value that is no host
// name or no address, counts as a sign, never as its absence.
//
// The names of the signs are the words of the log and the documentation.
#ifndef MURVANE_GREYLIST_SELECTIVE_H
#define MURVANE_GREYLIST_SELECTIVE_H

#include "greylist/spf.h"

// The signs, one bit each.
constexpr unsigned sign_unverified = 1u << 0;  // no forward-confirmed reverse name
constexpr unsigned sign_dynamic = 1u << 1;     // a name of an address or access network
constexpr unsigned sign_helo = 1u << 2;        // HELO absent, literal, bare or dotless
constexpr unsigned sign_spf = 1u << 3;         // SPF fail or softfail (with --spf)
constexpr unsigned sign_dnsbl = 1u << 4;       // listed by a --dnsbl zone

// dynamic_name - does `name` (a NUL-ended host name) look derived from
// `address` (NUL-ended IPv4 or IPv6 text) or from an access network? It
// does when it holds three consecutive octets of an IPv4 address in decimal,
// in the address's order or reversed (separately, or as 3-digit groups run
// together); the address's 8 hex digits; 64 bits of an IPv6 address (16
// hex digits in a row, separators aside, or 4 groups in a row); or a label
// left of the last two, or its leading letters, that is an access-network
// word (access_network_words). A name that is no host name (empty, over 253
// bytes, characters other than letters, digits, '-', '_' and '.') counts
// as dynamic.
bool dynamic_name(const char *name, const char *address);

// helo_sign - `helo` (NUL-ended, or nullptr when the request has none) is
// absent, empty, an address literal ("[...]"), a bare address, or has no
// dot inside it.
bool helo_sign(const char *helo);

// The access-network words, a null-ended list (documented in murvane(8)).
extern const char *const access_network_words[];

// client_signs - the signs the current request's client shows, from its
// client_address, client_name, reverse_client_name and helo_name attributes
// and `spf`, the outcome of the request's SPF evaluation (not_checked
// without --spf). The --dnsbl zones are asked only when no other sign
// shows; never call it with a database lock held.
unsigned client_signs(const char *client, spf_result spf);

// sign_names - the names of `signs`, apart by commas, or "none"; in a
// static buffer valid until the next call.
const char *sign_names(unsigned signs);

// greylist_client - with --selective, should the current request be
// greylisted? True when its client shows a sign (and always without
// --selective). With -v, one line names the signs found, or says there are
// none.
bool greylist_client(const char *client, spf_result spf);

#endif
