// SPDX-License-Identifier: BSD-2-Clause
// domain_name.h - reading a domain name the daemon will ask DNS about.
//
// Names come from requests and command lines, so they are checked before
// they reach a query or a key: host-name characters only, and the lengths
// DNS allows.
#ifndef MURVANE_DNS_DOMAIN_NAME_H
#define MURVANE_DNS_DOMAIN_NAME_H

#include <cstddef>

// domain_name - `text` (n bytes) as a domain of at most `max` bytes, into
// `out` (room for max + 1): lower case, one final dot dropped, letters,
// digits, '-' and '_' in labels of 1 to 63 bytes, at least two labels, and
// a last label that is not all digits (an address is no domain). False
// when it is none; `out` then holds nothing usable.
bool domain_name(const char *text, size_t n, size_t max, char *out);

#endif
