// SPDX-License-Identifier: BSD-2-Clause
// fuzz_dump_line.cc - the dump's line writer on arbitrary stored records.
//
// Input layout: byte 0 is the key's length (capped at what follows), then the
// key, then the value. Keys whose tag is not 0, 1, 2 or 3 are skipped: an
// unknown tag stops the process by design. Key and value are copied into exact heap
// blocks, so any read beyond either is a finding. The line goes to a memory
// stream and must end as the value says: its two counts for a 32-byte value,
// four "-" fields for any other; a key too short for its own address part
// gives "-" and two empty fields. A domain key (tag 3) shows "spf:" and its
// domain when the domain is what the daemon writes there (1 to 253 bytes of
// lower-case letters, digits, '-', '_', '.', then a NUL), and "-" otherwise.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/dump.h"
#include "fuzz_support.h"
#include "greylist/decision.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t key_size = data[0];
    if (key_size > size - 1)
        key_size = size - 1;
    size_t value_size = size - 1 - key_size;
    if (key_size > 0 && data[1] > 3)
        return 0;

    // Exact blocks (at least one byte, so malloc never hands out null).
    unsigned char *key_bytes = static_cast<unsigned char *>(malloc(key_size ? key_size : 1));
    unsigned char *value_bytes =
        static_cast<unsigned char *>(malloc(value_size ? value_size : 1));
    memcpy(key_bytes, data + 1, key_size);
    memcpy(value_bytes, data + 1 + key_size, value_size);
    DBT key{}, value{};
    key.data = key_bytes;
    key.size = static_cast<u_int32_t>(key_size);
    value.data = value_bytes;
    value.size = static_cast<u_int32_t>(value_size);

    std::string line = captured_stdout([&] { print_triplet_line(&key, &value); });

    std::string ending = "-\t-\t-\t-\n";
    if (value_size == sizeof(triplet_data_t)) {
        triplet_data_t record;
        memcpy(&record, value_bytes, sizeof record);
        ending = "\t" + std::to_string(record.block_count) + "\t" +
                 std::to_string(record.pass_count) + "\n";
    }
    fuzz_check(line.size() >= ending.size() &&
               line.compare(line.size() - ending.size(), ending.size(), ending) == 0);

    std::string domain;
    if (key_size > 0 && data[1] == 3) {
        const void *nul = memchr(key_bytes + 1, 0, key_size - 1);
        if (nul != nullptr) {
            domain.assign(reinterpret_cast<const char *>(key_bytes + 1),
                          static_cast<const unsigned char *>(nul) - key_bytes - 1);
            bool sound = !domain.empty() && domain.size() <= 253 &&
                         domain.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_.") ==
                             std::string::npos;
            if (!sound)
                domain.clear();
        }
    }
    size_t address = key_size == 0                       ? 0
                     : data[1] == 1                      ? (key_size >= 5 ? 4 : 0)
                     : data[1] == 2                      ? (key_size >= 17 ? 16 : 0)
                     : data[1] == 3                      ? domain.size()
                     : memchr(key_bytes + 1, 0, key_size - 1) ? 1
                                                          : 0;
    if (address == 0)
        fuzz_check(line.compare(0, 4, "-\t\t\t") == 0);
    else if (data[1] == 3)
        fuzz_check(line.compare(0, domain.size() + 5, "spf:" + domain + "\t") == 0);
    free(key_bytes);
    free(value_bytes);
    return 0;
}
