// triplet_key.h - the stored key of triplets-1.db and the buffer that holds it.
//
// Layout of a key, A, S and R being the lengths of its parts:
//
//   offset 0          1 byte  address tag: 0 = address text, 1 = IPv4, 2 = IPv6
//   offset 1          A       tag 1: 4 address bytes, tag 2: 16 address bytes,
//                             both in network order and cut to the network
//                             prefix; tag 0: the client_address text and a NUL
//   offset 1 + A      S       the sender as received (may be empty)
//   offset 1 + A + S  1       a NUL byte
//   offset 2 + A + S  R       the recipient as received, no terminator
//
// The key's length is carried by its DBT, never by a terminator. Keys compare
// as plain byte strings, so a walk meets address texts, then IPv4, then IPv6.
#ifndef MURVANE_GREYLIST_TRIPLET_KEY_H
#define MURVANE_GREYLIST_TRIPLET_KEY_H

#include <db.h>

#include <cstddef>
#include <cstdint>

constexpr unsigned char tag_text = 0;
constexpr unsigned char tag_ipv4 = 1;
constexpr unsigned char tag_ipv6 = 2;

// The key of the request being decided, in a buffer of the daemon's own
// (DB_DBT_USERMEM) that grows and never shrinks; cleanup() frees it.
extern DBT dbkey;

// triplet_key_room - bytes to reserve for a key with an address text of t
// bytes, a sender of s and a recipient of r bytes: room for the longest key
// they can give and for the address parsers to write 16 bytes. Returns 0
// when the key could exceed the 32-bit size the database can carry.
size_t triplet_key_room(size_t t, size_t s, size_t r);

// build_triplet_key - write the key of a request into dbkey from three
// attribute values (each ended by its newline, which is left in place).
// Returns 0, or EOVERFLOW when the key would not fit a 32-bit size; such a
// key is never stored.
int build_triplet_key(char *client_address, const char *sender, const char *recipient);

// reserve_dbkey - a dbkey buffer of at least `needed` bytes.
void *reserve_dbkey(size_t needed);

// cut_address - keep the first `bits` bits of an address of `size` bytes.
void cut_address(unsigned char *address, size_t size, uint32_t bits);

// triplet_address_length - length A of the address part of a stored key of
// `size` bytes, or 0 when the key is too short for the part its tag announces
// (a damaged database). An unknown tag gives 1: triplet_ip_text rejects it.
size_t triplet_address_length(const void *key, size_t size);

// triplet_ip_text - printable address of a key: dotted or colon notation for
// tags 1 and 2 (in a static buffer, valid until the next call), the stored
// text for tag 0. Aborts on any other tag.
const char *triplet_ip_text(const void *key);

// free_dbkey - release the key buffer at the end of the run.
void free_dbkey();

#endif
