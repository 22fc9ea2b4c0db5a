// SPDX-License-Identifier: BSD-2-Clause
// fuzz_selective.cc - the signs of --selective on hostile requests.
//
// Input layout: the bytes of a policy request as the mail server would send
// it (any attributes, any bytes), read into the request buffer as the
// daemon holds it; the part after the first empty line, if any, is ignored.
// The signs are read from it the way the daemon reads them.
//
// Checks, from what the signs mean rather than how they are computed: a
// host name's letters are compared without regard to case, and one final
// dot names the same host, so neither may change the name sign; a name
// that is no host name always counts; the sign set holds only known signs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "greylist/selective.h"
#include "policy/request.h"

namespace {

bool host_name_bytes(const std::string &name)
{
    if (name.empty() || name.size() > 253)
        return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t end = input.find("\n\n");
    input = end == std::string::npos ? input + "\n\n" : input.substr(0, end + 2);

    // The request buffer as read_policy_request leaves it.
    request_buf = static_cast<char *>(malloc(input.size()));
    memcpy(request_buf, input.data(), input.size());
    request_len = request_cap = input.size();
    char *client = policy_attribute("client_address");
    static char empty_value[] = "\n";
    unsigned signs = client_signs(client ? client : empty_value, spf_result::not_checked);
    fuzz_check((signs & ~(sign_unverified | sign_dynamic | sign_helo)) == 0);
    free_request_buffer();

    // The name sign on the first line as a name and the second as an address.
    size_t newline = input.find('\n');
    std::string name = input.substr(0, newline);
    std::string rest = input.substr(newline + 1);
    std::string address = rest.substr(0, rest.find('\n'));
    if (name.find('\0') != std::string::npos || address.find('\0') != std::string::npos)
        return 0;
    bool dynamic = dynamic_name(name.c_str(), address.c_str());
    std::string upper = name;
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    fuzz_check(dynamic_name(upper.c_str(), address.c_str()) == dynamic);
    if (!name.empty() && name.back() != '.' && name.size() < 253)
        fuzz_check(dynamic_name((name + ".").c_str(), address.c_str()) == dynamic);
    std::string bare = name;
    if (!bare.empty() && bare.back() == '.')
        bare.pop_back();
    if (!host_name_bytes(bare))
        fuzz_check(dynamic);
    helo_sign(name.c_str());
    return 0;
}
