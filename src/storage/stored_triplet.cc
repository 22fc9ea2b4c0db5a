// SPDX-License-Identifier: BSD-2-Clause
// stored_triplet.cc - reading the address part of a stored key.
#include "storage/stored_triplet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "common/log.h"

namespace {

// domain_length - length of the tag 3 domain at `text`, looking at no more
// than `limit` bytes: 0 unless it is 1 to max_key_domain bytes of what the
// daemon writes there (lower-case letters, digits, '-', '_', '.') ended by a
// NUL within the limit.
size_t domain_length(const unsigned char *text, size_t limit)
{
    size_t n = 0;
    for (; n < limit && text[n] != '\0'; n++) {
        unsigned char c = text[n];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_' || c == '.'))
            return 0;
    }
    if (n == limit || n == 0 || n > max_key_domain)
        return 0;
    return n;
}

}  // namespace

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
    case tag_domain: {
        size_t n = domain_length(bytes + 1, size - 1);
        return n == 0 ? 0 : n + 1;  // the NUL counts in A
    }
    default:
        return 1;
    }
}

const char *triplet_ip_text(const void *key)
{
    static_assert(sizeof domain_mark - 1 + max_key_domain + 1 > INET6_ADDRSTRLEN);
    thread_local char text[sizeof domain_mark - 1 + max_key_domain + 1];
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
    case tag_domain: {
        size_t length = domain_length(bytes + 1, max_key_domain + 1);
        if (length == 0) {
            log_msg(LOG_ERR, "inet_ntop damaged domain key");
            fatal_abort();
        }
        memcpy(text, domain_mark, sizeof domain_mark - 1);
        memcpy(text + sizeof domain_mark - 1, bytes + 1, length + 1);
        return text;
    }
    default:
        log_msg(LOG_ERR, "inet_ntop unexpected type %hhd",
                static_cast<signed char>(bytes[0]));
        fatal_abort();
    }
}
