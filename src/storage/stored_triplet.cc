// SPDX-License-Identifier: BSD-2-Clause
// stored_triplet.cc - reading the address part of a stored key.
#include "storage/stored_triplet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "common/log.h"

size_t triplet_address_length(const void *key, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(key);
    if (size == 0)
        return 0;
    switch (bytes[0]) {
    case tag_ipv4:
        return size >= 1 + 4 ? 4 : 0;
    case tag_ipv6:
        return size >= 1 + 16 ? 16 : 0;
    case tag_text: {
        const void *nul = memchr(bytes + 1, '\0', size - 1);
        return nul ? static_cast<const unsigned char *>(nul) - bytes : 0;
    }
    default:
        return 1;
    }
}

const char *triplet_ip_text(const void *key)
{
    static char text[INET6_ADDRSTRLEN];
    const unsigned char *bytes = static_cast<const unsigned char *>(key);

    switch (bytes[0]) {
    case tag_ipv4:
        if (inet_ntop(AF_INET, bytes + 1, text, sizeof text) == nullptr)
            log_fatal("inet_ntop AF_INET failed");
        return text;
    case tag_ipv6:
        if (inet_ntop(AF_INET6, bytes + 1, text, sizeof text) == nullptr)
            log_fatal("inet_ntop AF_INET6 failed");
        return text;
    case tag_text:
        return reinterpret_cast<const char *>(bytes + 1);
    default:
        log_msg(LOG_ERR, "inet_ntop unexpected type %hhd",
                static_cast<signed char>(bytes[0]));
        fatal_abort();
    }
}
