// SPDX-License-Identifier: BSD-2-Clause
// domain_name.cc - reading a domain name the daemon will ask DNS about.
#include "dns/domain_name.h"

bool domain_name(const char *text, size_t n, size_t max, char *out)
{
    if (n > 0 && text[n - 1] == '.')
        n--;
    if (n == 0 || n > max)
        return false;
    size_t label = 0, labels = 1;
    bool digits_only = true;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            labels++;
            digits_only = true;
            out[i] = c;
            continue;
        }
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        bool digit = c >= '0' && c <= '9';
        if (!digit && !(c >= 'a' && c <= 'z') && c != '-' && c != '_')
            return false;
        digits_only = digits_only && digit;
        if (++label > 63)
            return false;
        out[i] = c;
    }
    out[n] = '\0';
    return label > 0 && labels >= 2 && !digits_only;
}
