// SPDX-License-Identifier: BSD-2-Clause
// fuzz_action.cc - template expansion with arbitrary templates and numbers.
//
// Input layout: bytes 0-7 are the number n (host order), the rest is the
// template, cut at its first NUL as the command line would hand it over.
// Standard output is a memory stream for the call; what print_action wrote
// must be the model's expansion: "%d" the number, "%p" "s" unless n is 1,
// "%s" a blank, "%%" a percent sign, any other pair nothing, and a "%" at the
// very end nothing and the end of the expansion.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "policy/action.h"

namespace {

std::string model_expansion(const std::string &text, uint64_t n)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 1 == text.size())
            break;
        switch (text[++i]) {
        case 'd':
            out += std::to_string(n);
            break;
        case 'p':
            out += n == 1 ? "" : "s";
            break;
        case 's':
            out.push_back(' ');
            break;
        case '%':
            out.push_back('%');
            break;
        default:
            break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    uint64_t n;
    memcpy(&n, data, 8);
    std::string text(reinterpret_cast<const char *>(data) + 8, size - 8);
    text = text.c_str();

    std::string got = captured_stdout([&] { print_action(text.c_str(), n); });
    fuzz_check(got == model_expansion(text, n));
    return 0;
}
