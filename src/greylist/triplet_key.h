// SPDX-License-Identifier: BSD-2-Clause
// triplet_key.h - the key of a request, and the buffer that holds it.
//
// The key layout is in storage/stored_triplet.h; this module builds keys
// from the attributes of a request.
#ifndef MURVANE_GREYLIST_TRIPLET_KEY_H
#define MURVANE_GREYLIST_TRIPLET_KEY_H

#include <db.h>

#include <cstddef>
#include <cstdint>

#include "storage/stored_triplet.h"

// The key of the request being decided, in a buffer of the daemon's own
// (DB_DBT_USERMEM) that grows and never shrinks; freed at the end of the run.
extern thread_local DBT dbkey;

// triplet_key_room - bytes to reserve for a key with an address text of t
// bytes, a sender of s and a recipient of r bytes: room for the longest key
// they can give and for the address parsers to write 16 bytes. Returns 0
// when the key could exceed the 32-bit size the database can carry.
size_t triplet_key_room(size_t t, size_t s, size_t r);

// build_triplet_key - write the key of a request into dbkey from three
// attribute values (each ended by its newline, which is left in place).
// With a domain (a NUL-ended name of 1 to max_key_domain bytes, as
// spf_key_domain gives it) the key's address part is that domain (tag 3)
// instead of the client address; nullptr keeps the address.
// Returns 0, or EOVERFLOW when the key would not fit a 32-bit size; such a
// key is never stored.
int build_triplet_key(char *client_address, const char *sender, const char *recipient,
                      const char *domain = nullptr);

// reserve_dbkey - a dbkey buffer of at least `needed` bytes.
void *reserve_dbkey(size_t needed);

// cut_address - keep the first `bits` bits of an address of `size` bytes.
void cut_address(unsigned char *address, size_t size, uint32_t bits);

// free_dbkey - release the key buffer at the end of the run.
void free_dbkey();

#endif
