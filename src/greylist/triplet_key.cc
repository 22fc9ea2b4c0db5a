// SPDX-License-Identifier: BSD-2-Clause
// triplet_key.cc - building and printing triplet keys.
//
// The buffer is sized from the three values before anything is parsed, so
// inet_pton writes straight into the key and each value is copied once.
#include "greylist/triplet_key.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/xrealloc.h"

thread_local DBT dbkey;

size_t triplet_key_room(size_t t, size_t s, size_t r)
{
    // Each term is at most the size of the request buffer, so the sum cannot
    // wrap a size_t; compare against the DBT's 32-bit size field.
    size_t address = t + 1 > 16 ? t + 1 : 16;
    size_t room = s + r + 2 + address;
    return room > UINT32_MAX ? 0 : room;
}

void *reserve_dbkey(size_t needed)
{
    if (dbkey.ulen >= needed)
        return dbkey.data;
    dbkey.data = xrealloc(dbkey.data, needed);
    dbkey.ulen = static_cast<uint32_t>(needed);
    dbkey.flags = DB_DBT_USERMEM;
    return dbkey.data;
}

void cut_address(unsigned char *address, size_t size, uint32_t bits)
{
    size_t index = bits / 8;
    if (index >= size)
        return;
    address[index] &= static_cast<unsigned char>(0xFF << (8 - bits % 8));
    memset(address + index + 1, 0, size - index - 1);
}

namespace {

// Length of an attribute value: the bytes before its newline, NULs included.
size_t value_length(const char *value)
{
    size_t n = 0;
    while (value[n] != '\n')
        n++;
    return n;
}

}  // namespace

int build_triplet_key(char *client_address, const char *sender, const char *recipient,
                      const char *domain)
{
    size_t t = value_length(client_address);
    size_t d = domain ? strlen(domain) : 0;
    fatal_assert(domain == nullptr || (d > 0 && d <= max_key_domain));
    size_t s = value_length(sender);
    size_t r = value_length(recipient);
    size_t room = triplet_key_room(domain ? d : t, s, r);
    if (room == 0)
        return EOVERFLOW;
    unsigned char *key = static_cast<unsigned char *>(reserve_dbkey(room));

    size_t a;
    client_address[t] = '\0';
    // A value with a NUL inside is no address text, whatever precedes the NUL.
    bool plain_text = memchr(client_address, '\0', t) != nullptr;
    if (domain) {
        key[0] = tag_domain;
        a = d + 1;
        memcpy(key + 1, domain, a);
    } else if (!plain_text && inet_pton(AF_INET, client_address, key + 1) > 0) {
        key[0] = tag_ipv4;
        a = 4;
        if (settings.network_prefix < 32)
            cut_address(key + 1, a, settings.network_prefix);
    } else if (!plain_text && inet_pton(AF_INET6, client_address, key + 1) > 0) {
        key[0] = tag_ipv6;
        a = 16;
        if (settings.network6_prefix < 128)
            cut_address(key + 1, a, settings.network6_prefix);
    } else {
        key[0] = tag_text;
        a = t + 1;
        memcpy(key + 1, client_address, a);
    }
    client_address[t] = '\n';

    memcpy(key + 1 + a, sender, s);
    key[1 + a + s] = '\0';
    memcpy(key + 2 + a + s, recipient, r);
    dbkey.size = static_cast<uint32_t>(a + s + r + 2);
    fatal_assert(dbkey.size <= dbkey.ulen);

    if (settings.debug)
        log_msg(LOG_DEBUG, "triplet effective IP: %s", triplet_ip_text(key));
    return 0;
}

void free_dbkey()
{
    free(dbkey.data);
    dbkey.data = nullptr;
    dbkey.ulen = dbkey.size = 0;
    dbkey.flags = 0;
}
