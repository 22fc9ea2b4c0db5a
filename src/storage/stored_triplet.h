// SPDX-License-Identifier: BSD-2-Clause
// stored_triplet.h - the stored layout of triplets-1.db: its keys and values.
//
// The one home of the stored format, shared by the decision, the expiry pass,
// the dump and the v0 conversion.
//
// Layout of a key, A, S and R being the lengths of its parts:
//
//   offset 0          1 byte  address tag: 0 = address text, 1 = IPv4, 2 = IPv6,
//                             3 = SPF domain
//   offset 1          A       tag 1: 4 address bytes, tag 2: 16 address bytes,
//                             both in network order and cut to the network
//                             prefix; tag 0: the client_address text and a NUL;
//                             tag 3: the domain whose SPF record authorised
//                             the client (lower case, 1 to 253 bytes, no
//                             final dot) and a NUL
//   offset 1 + A      S       the sender as received (may be empty)
//   offset 1 + A + S  1       a NUL byte
//   offset 2 + A + S  R       the recipient as received, no terminator
//
// The key's length is carried by its DBT, never by a terminator. Keys compare
// as plain byte strings, so a walk meets address texts, then IPv4, then IPv6,
// then domains. A domain key can never equal an address key: the tags differ.
// Only the daemon with --spf writes tag 3; the v0 conversion never does.
#ifndef MURVANE_STORAGE_STORED_TRIPLET_H
#define MURVANE_STORAGE_STORED_TRIPLET_H

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr unsigned char tag_text = 0;
constexpr unsigned char tag_ipv4 = 1;
constexpr unsigned char tag_ipv6 = 2;
constexpr unsigned char tag_domain = 3;

// Longest domain a tag 3 key holds: the longest name DNS can carry in text.
constexpr size_t max_key_domain = 253;

// The listing's mark before the domain of a tag 3 key ("spf:example.org"):
// no address text Postfix gives has it, so an admin tells the two apart.
constexpr char domain_mark[] = "spf:";

// Value of every triplet record: four host-order 8-byte fields, nothing else.
struct triplet_data_t {
    time_t create_time;    // first seen, or last restarted
    time_t access_time;    // latest request
    uint64_t block_count;  // requests deferred since create_time
    uint64_t pass_count;   // requests let through since create_time
};
static_assert(sizeof(triplet_data_t) == 32, "stored record is 32 bytes");
static_assert(sizeof(time_t) == 8, "stored times are 8 bytes");

// triplet_address_length - length A of the address part of a stored key of
// `size` bytes, or 0 when the key is too short for the part its tag announces
// (a damaged database), or when a tag 3 domain is not 1 to max_key_domain
// bytes of lower-case letters, digits, '-', '_' and '.' ended by a NUL. An unknown tag gives 1: triplet_ip_text rejects it.
size_t triplet_address_length(const void *key, size_t size);

// triplet_ip_text - printable address of a key: dotted or colon notation for
// tags 1 and 2 and domain_mark then the domain for tag 3 (in a static buffer,
// valid until the next call), the stored text for tag 0. Aborts on any other
// tag, and on a tag 3 domain that triplet_address_length would reject.
const char *triplet_ip_text(const void *key);

#endif
