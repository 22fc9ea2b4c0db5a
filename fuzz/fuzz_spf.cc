// SPDX-License-Identifier: BSD-2-Clause
// fuzz_spf.cc - what --spf gives the SPF library and what it takes back.
//
// Input layout: "client_address\nsender\nhelo_name\nrecord" as the request
// buffer would hold the first three values (any byte but a newline in them);
// the rest, up to its first NUL, is the TXT record published for the
// evaluated domain, and for "inc.<domain>", so that include:, redirect= and
// macros reach a second record. The DNS is the library's in-memory zone
// under the daemon's own bounded layer: no network.
//
// Checks: the query is prepared exactly when the model says the sender (or
// the HELO name, for the null sender) has a domain and the client is an
// address; its domain is the model's, and a key made of it is one the
// stored format accepts and the listing prints back. The evaluation ends
// with one of the results and never passes a loopback client.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The library's headers use these types without including their headers.
extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
#include <spf2/spf_dns_zone.h>
}

#include "fuzz_support.h"
#include "greylist/spf.h"
#include "greylist/triplet_key.h"

namespace {

// The next value of the buffer: the bytes before the newline at `at`.
std::string next_value(const std::string &input, size_t *at)
{
    size_t end = input.find('\n', *at);
    if (end == std::string::npos)
        end = input.size();
    std::string value = input.substr(*at, end - *at);
    *at = end < input.size() ? end + 1 : end;
    return value;
}

bool model_address(const std::string &client, std::string *printed)
{
    if (client.find('\0') != std::string::npos)
        return false;
    unsigned char address[16];
    char text[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET, client.c_str(), address) == 1) {
        *printed = inet_ntop(AF_INET, address, text, sizeof text);
        return true;
    }
    if (inet_pton(AF_INET6, client.c_str(), address) == 1) {
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (memcmp(address, mapped, 12) == 0)
            *printed = inet_ntop(AF_INET, address + 12, text, sizeof text);
        else
            *printed = inet_ntop(AF_INET6, address, text, sizeof text);
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    std::string client = next_value(input, &at);
    std::string sender = next_value(input, &at);
    std::string helo = next_value(input, &at);
    std::string record = input.substr(at);
    record = record.substr(0, record.find('\0'));

    // The model of what may reach the library.
    std::string printed, helo_domain, domain;
    bool address = model_address(client, &printed);
    if (helo.find('\0') == std::string::npos)
        helo_domain = model_key_domain(helo);
    if (sender.empty()) {
        domain = helo_domain;
    } else if (sender.find('\0') == std::string::npos && sender.size() <= spf_max_sender) {
        size_t sign = sender.rfind('@');
        if (sign != std::string::npos)
            domain = model_key_domain(sender.substr(sign + 1));
    }
    bool expected = address && !domain.empty();

    std::string c = client + "\n", s = sender + "\n", h = helo + "\n";
    spf_query query;
    bool prepared = spf_prepare(c.c_str(), s.c_str(), h.c_str(), &query);
    fuzz_check(prepared == expected);
    if (!prepared)
        return 0;
    fuzz_check(printed == query.client);
    fuzz_check(domain == query.domain);
    fuzz_check(helo_domain == query.helo);
    fuzz_check(sender.empty() ? std::string(query.sender) == "postmaster@" + helo_domain
                              : sender == query.sender);

    // The key the domain makes: stored as a tag 3 key, printed back whole.
    std::string values = client + "\n" + sender + "\nr\n";
    char *buffer = values.data();
    fuzz_check(build_triplet_key(buffer, buffer + client.size() + 1,
                                 buffer + client.size() + sender.size() + 2,
                                 query.domain) == 0);
    fuzz_check(triplet_address_length(dbkey.data, dbkey.size) == domain.size() + 1);
    fuzz_check(std::string(triplet_ip_text(dbkey.data)) == "spf:" + domain);

    SPF_dns_server_t *zone = SPF_dns_zone_new(nullptr, "fuzz zone", 0);
    fuzz_check(zone != nullptr);
    std::string second = "inc." + domain;
    if (!record.empty()) {
        SPF_dns_zone_add_str(zone, domain.c_str(), ns_t_txt, NETDB_SUCCESS, record.c_str());
        if (second.size() <= max_key_domain)
            SPF_dns_zone_add_str(zone, second.c_str(), ns_t_txt, NETDB_SUCCESS,
                                 record.c_str());
    }
    SPF_server_struct *server = spf_new_server(zone);
    fuzz_check(server != nullptr);
    spf_result result = spf_evaluate(server, &query, 0);
    fuzz_check(result == spf_result::none || result == spf_result::neutral ||
               result == spf_result::pass || result == spf_result::fail ||
               result == spf_result::softfail || result == spf_result::temperror ||
               result == spf_result::permerror || result == spf_result::not_checked);
    if (result == spf_result::pass) {
        // The library's free pass for loopback clients is never taken.
        fuzz_check(strncmp(query.client, "127.", 4) != 0 && strcmp(query.client, "::1") != 0);
    }

    SPF_dns_server_t *layers = server->resolver;
    SPF_server_free(server);
    SPF_dns_free(layers);  // the bounded layer, then the zone below it
    return 0;
}
