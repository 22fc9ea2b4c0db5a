// SPDX-License-Identifier: BSD-2-Clause
// fuzz_triplet_key.cc - the key builder on arbitrary values and prefixes.
//
// Input layout: byte 0 gives network_prefix (mod 33), byte 1 network6_prefix
// (mod 129), bit 0 of byte 2 turns debug logging on, bit 1 keys the request
// on the domain after the sender's last '@' when it is one (as --spf does
// for a pass); the rest is the request
// tail "client_address\nsender\nrecipient\n" as the buffer would hold it (the
// values end at their newlines, so any byte but a newline may be in them).
// The key must be the model's key, the buffer must be left as it was, and the
// printable address of the key must parse back to the stored address bytes.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fuzz_support.h"
#include "greylist/triplet_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    settings.network_prefix = data[0] % 33;
    settings.network6_prefix = data[1] % 129;
    settings.debug = data[2] & 1;

    std::vector<char> buffer(data + 3, data + size);
    buffer.insert(buffer.end(), {'\n', '\n', '\n'});
    char *client = buffer.data();
    char *sender = static_cast<char *>(memchr(client, '\n', buffer.size())) + 1;
    char *recipient =
        static_cast<char *>(memchr(sender, '\n', buffer.data() + buffer.size() - sender)) + 1;
    // A value runs to its newline; it may hold NUL bytes.
    auto value = [](const char *v) {
        size_t n = 0;
        while (v[n] != '\n')
            n++;
        return std::string(v, n);
    };
    std::string expected = model_triplet_key(value(client), value(sender), value(recipient),
                                             settings.network_prefix,
                                             settings.network6_prefix);
    std::string domain;
    if (data[2] & 2) {
        std::string s = value(sender);
        size_t at = s.rfind('@');
        if (at != std::string::npos && s.find('\0') == std::string::npos)
            domain = model_key_domain(s.substr(at + 1));
        if (!domain.empty())
            expected = std::string(1, '\3') + domain + std::string(1, '\0') + s +
                       std::string(1, '\0') + value(recipient);
    }
    std::vector<char> before = buffer;

    fuzz_check(build_triplet_key(client, sender, recipient,
                                 domain.empty() ? nullptr : domain.c_str()) == 0);
    fuzz_check(buffer == before);
    fuzz_check(dbkey.size <= dbkey.ulen);
    const unsigned char *key = static_cast<const unsigned char *>(dbkey.data);
    fuzz_check(std::string(reinterpret_cast<const char *>(key), dbkey.size) == expected);

    const char *text = triplet_ip_text(key);
    unsigned char parsed[16];
    if (key[0] == tag_ipv4) {
        fuzz_check(inet_pton(AF_INET, text, parsed) == 1 && memcmp(parsed, key + 1, 4) == 0);
    } else if (key[0] == tag_ipv6) {
        fuzz_check(inet_pton(AF_INET6, text, parsed) == 1 &&
                   memcmp(parsed, key + 1, 16) == 0);
    } else if (key[0] == tag_domain) {
        fuzz_check(text == std::string(domain_mark) + domain);
        fuzz_check(triplet_address_length(key, dbkey.size) == domain.size() + 1);
    } else {
        fuzz_check(text == reinterpret_cast<const char *>(key + 1));
    }
    return 0;
}
