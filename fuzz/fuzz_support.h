// SPDX-License-Identifier: BSD-2-Clause
// fuzz_support.h - what the fuzz targets share: a check that ends the run
// with a finding, and small models of the stored formats to compare against.
//
// The models are written from the stored layouts, not from the daemon's code:
// a target that only repeated the code under test would find nothing.
#ifndef MURVANE_FUZZ_SUPPORT_H
#define MURVANE_FUZZ_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// fuzz_check - a broken expectation is a finding: say which, then abort so
// that libFuzzer keeps the input as a crash artifact.
#define fuzz_check(condition)                                                  \
    do {                                                                       \
        if (!(condition)) {                                                    \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition,     \
                    __FILE__, __LINE__);                                       \
            abort();                                                           \
        }                                                                      \
    } while (0)

// captured_stdout - what `write` writes to standard output, caught in a
// memory stream.
template <typename F>
std::string captured_stdout(F write)
{
    char *written = nullptr;
    size_t written_size = 0;
    FILE *memory = open_memstream(&written, &written_size);
    fuzz_check(memory != nullptr);
    FILE *saved = stdout;
    stdout = memory;
    write();
    stdout = saved;
    fclose(memory);
    std::string text(written, written_size);
    free(written);
    return text;
}

// The first `bits` bits of an address, the rest cleared.
inline void model_cut(unsigned char *address, unsigned size, unsigned bits)
{
    for (unsigned bit = bits; bit < 8 * size; bit++)
        address[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
}

// model_triplet_key - the key of a request whose client_address, sender and
// recipient values are given (without their newlines): tag 1 with 4 bytes or
// tag 2 with 16 bytes for an address text the platform parses (never one that
// holds a NUL byte), cut to the prefix; otherwise tag 0 with the text and a
// NUL; then sender, NUL, recipient.
inline std::string model_triplet_key(const std::string &client, const std::string &sender,
                                     const std::string &recipient, unsigned prefix4,
                                     unsigned prefix6)
{
    std::string key;
    unsigned char address[16];
    bool has_nul = client.find('\0') != std::string::npos;
    if (!has_nul && inet_pton(AF_INET, client.c_str(), address) == 1) {
        model_cut(address, 4, prefix4 < 32 ? prefix4 : 32);
        key.push_back('\1');
        key.append(reinterpret_cast<char *>(address), 4);
    } else if (!has_nul && inet_pton(AF_INET6, client.c_str(), address) == 1) {
        model_cut(address, 16, prefix6 < 128 ? prefix6 : 128);
        key.push_back('\2');
        key.append(reinterpret_cast<char *>(address), 16);
    } else {
        key.push_back('\0');
        key += client;
        key.push_back('\0');
    }
    key += sender;
    key.push_back('\0');
    key += recipient;
    return key;
}

// model_key_domain - the domain a --spf key holds for a name, or "" when the
// name is none: one final dot dropped, letters folded to lower case, then 1
// to 253 bytes in at least two dot-separated labels of 1 to 63 letters,
// digits, '-' or '_', the last label not all digits.
inline std::string model_key_domain(std::string name)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty() || name.size() > 253)
        return "";
    std::string folded;
    std::string label;
    unsigned labels = 0;
    bool last_digits_only = false;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i == name.size() || name[i] == '.') {
            if (label.empty() || label.size() > 63)
                return "";
            labels++;
            last_digits_only = label.find_first_not_of("0123456789") == std::string::npos;
            label.clear();
            if (i < name.size())
                folded.push_back('.');
            continue;
        }
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed)
            return "";
        label.push_back(c);
        folded.push_back(c);
    }
    if (labels < 2 || last_digits_only)
        return "";
    return folded;
}

#endif
