// SPDX-License-Identifier: BSD-2-Clause
// fuzz_v0_key.cc - converting arbitrary v0 keys.
//
// The whole input is one stored v0 key. The conversion may refuse it, but
// only with EINVAL (no two NULs, or a dotted text that is no IPv4 address
// even after padding) or inet_pton's own errno; it must never read beyond the
// key (AddressSanitizer sees to that: the input is an exact heap block). A
// converted key keeps everything after the address text byte for byte, and
// its address part follows from the text: tag 1 for a dotted text, tag 2 for
// an IPv6 text without dots, tag 0 with the text and its NUL otherwise. The
// scratch buffers are kept from one input to the next, as they are kept from
// one record to the next, so stale contents are exercised too.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "greylist/triplet_key.h"
#include "storage/upgrade.h"

namespace {

v0_buffers buffers{};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DBT converted{};
    int ret = convert_v0_key(data, size, &buffers, &converted);

    std::string key(reinterpret_cast<const char *>(data), size);
    size_t text_end = key.find('\0');
    size_t sender_end =
        text_end == std::string::npos ? std::string::npos : key.find('\0', text_end + 1);
    if (sender_end == std::string::npos) {
        fuzz_check(ret == EINVAL);
        return 0;
    }
    std::string text = key.substr(0, text_end);
    std::string tail = key.substr(text_end + 1);  // sender, NUL, recipient
    bool dotted = text.find('.') != std::string::npos;
    if (ret != 0) {
        fuzz_check(dotted);
        fuzz_check(ret == EINVAL || ret == EAFNOSUPPORT);
        return 0;
    }

    std::string out(static_cast<const char *>(converted.data), converted.size);
    unsigned char address[16];
    size_t a;
    if (dotted) {
        fuzz_check(out[0] == tag_ipv4);
        a = 4;
    } else if (inet_pton(AF_INET6, text.c_str(), address) == 1) {
        fuzz_check(out[0] == tag_ipv6);
        fuzz_check(out.compare(1, 16, reinterpret_cast<char *>(address), 16) == 0);
        a = 16;
    } else {
        fuzz_check(out[0] == tag_text);
        fuzz_check(out.compare(1, text.size() + 1, text.c_str(), text.size() + 1) == 0);
        a = text.size() + 1;
    }
    fuzz_check(out.size() == 1 + a + tail.size());
    fuzz_check(out.compare(1 + a, std::string::npos, tail) == 0);
    if (dotted) {
        // The stored address is the text with ".0" pairs up to three dots.
        std::string padded = text;
        for (size_t dots = std::count(text.begin(), text.end(), '.'); dots < 3; dots++)
            padded += ".0";
        fuzz_check(inet_pton(AF_INET, padded.c_str(), address) == 1);
        fuzz_check(out.compare(1, 4, reinterpret_cast<char *>(address), 4) == 0);
    }
    return 0;
}
