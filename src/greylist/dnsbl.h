// SPDX-License-Identifier: BSD-2-Clause
// dnsbl.h - DNS blocklist lookups of the client's address (--dnsbl).
//
// A zone lists an IPv4 address a.b.c.d when d.c.b.a.ZONE has an A record in
// 127.0.0.0/8, and an IPv6 address when its 32 nibbles, reversed and apart
// by dots, before ZONE, have one; an IPv4-mapped IPv6 address is looked up
// as the IPv4 address it is. Answers in 127.255.255.0/24 are the lists' own
// "query refused" and "over quota" codes, and an answer outside 127.0.0.0/8
// is no listing either (a resolver that rewrites "no such name", or a zone
// that is gone). A zone narrowed to chosen codes lists only with one of them.
//
// The lookups are a job of the bounded DNS path (dns/resolver.h): before the
// request's transaction, within the request's one DNS deadline, the answers
// kept for a minute. A lookup that fails or does not end in time lists
// nothing: the client is then not listed by that zone.
#ifndef MURVANE_GREYLIST_DNSBL_H
#define MURVANE_GREYLIST_DNSBL_H

#include "common/settings.h"

// dnsbl_listing - the first --dnsbl zone, in command-line order, that lists
// `client` (a client_address value, ended by its newline), or nullptr: no
// zone lists it, no zone is set, the value is no address, or DNS failed or
// ran out of time. The outcome for one client serves the requests of the
// next minute (the recipients of one message). With -d the outcome of each
// zone is logged. Never call it with a database lock held.
const char *dnsbl_listing(const char *client);

// dnsbl_parse_zone - a --dnsbl argument: "ZONE" or "ZONE=CODE,CODE...", a
// zone of host-name labels (letters, digits, '-', '_'; at least two labels,
// a last one not all digits, at most max_dnsbl_zone bytes without a final
// dot) and at most max_dnsbl_codes IPv4 addresses of 127.0.0.0/8 outside
// 127.255.255.0/24. False when the argument is none of these.
bool dnsbl_parse_zone(const char *argument, dnsbl_zone *zone);

#endif
