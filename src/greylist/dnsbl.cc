// SPDX-License-Identifier: BSD-2-Clause
// dnsbl.cc - the zones' verdicts on a client address, through the DNS path.
//
// The zones are asked in command-line order, one job for them all, and the
// first listing ends the job: the later zones are not asked. Each zone's
// outcome is noted in the job's data and logged by the requesting thread,
// never by the worker.
#include "greylist/dnsbl.h"

// The library's headers use these types without including their headers.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "dns/domain_name.h"
#include "dns/resolver.h"
#include "policy/request.h"

namespace {

// Seconds one outcome serves later requests of the same client: the
// recipients of one message come within it.
constexpr double memo_seconds = 60;

enum class zone_outcome : unsigned char {
    not_asked,   // an earlier zone listed the client
    listed,      // an answer that counts
    not_listed,  // no such name, or no A record
    refused,     // only 127.255.255.0/24: refused, over quota
    outside,     // only answers outside 127.0.0.0/8
    not_chosen,  // only codes the zone was not narrowed to
    failed,      // the lookup failed, or was refused past the deadline
};

// The job: the address in, each zone's outcome out.
struct dnsbl_job {
    int family;                             // AF_INET or AF_INET6
    unsigned char address[16];              // network order, 4 or 16 bytes
    int listed;                             // the first listing zone, or -1
    zone_outcome outcome[max_dnsbl_zones];
    uint32_t answer[max_dnsbl_zones];       // the answer that decided, host order
};

// query_name - the name to ask `zone` about the job's address: reversed
// octets, or reversed nibbles for IPv6. Always fits: the zone is at most
// max_dnsbl_zone bytes.
void query_name(const dnsbl_job &job, const char *zone, char out[256])
{
    const unsigned char *a = job.address;
    if (job.family == AF_INET) {
        snprintf(out, 256, "%u.%u.%u.%u.%s", a[3], a[2], a[1], a[0], zone);
        return;
    }
    static const char hex[] = "0123456789abcdef";
    char *p = out;
    for (int i = 15; i >= 0; i--) {
        *p++ = hex[a[i] & 0xf];
        *p++ = '.';
        *p++ = hex[a[i] >> 4];
        *p++ = '.';
    }
    snprintf(p, 256 - static_cast<size_t>(p - out), "%s", zone);
}

bool chosen(const dnsbl_zone &zone, uint32_t code)
{
    if (zone.code_count == 0)
        return true;
    for (int i = 0; i < zone.code_count; i++)
        if (zone.codes[i] == code)
            return true;
    return false;
}

// verdict - what an answer of A records says, and the record that says it:
// any record that counts lists; else a refusal before a code not chosen,
// before an address outside 127.0.0.0/8.
zone_outcome verdict(const dnsbl_zone &zone, const SPF_dns_rr_t *rr, uint32_t *answer)
{
    auto rank = [](zone_outcome o) {
        return o == zone_outcome::refused ? 2 : o == zone_outcome::not_chosen ? 1 : 0;
    };
    zone_outcome best = zone_outcome::outside;
    *answer = 0;
    for (int i = 0; i < rr->num_rr; i++) {
        uint32_t code = ntohl(rr->rr[i]->a.s_addr);
        zone_outcome here;
        if ((code >> 24) != 127)
            here = zone_outcome::outside;
        else if ((code >> 8) == 0x7fffff)
            here = zone_outcome::refused;
        else if (!chosen(zone, code))
            here = zone_outcome::not_chosen;
        else
            here = zone_outcome::listed;
        if (here == zone_outcome::listed) {
            *answer = code;
            return here;
        }
        if (i == 0 || rank(here) > rank(best)) {
            best = here;
            *answer = code;
        }
    }
    return best;
}

// look_up - the job's work: the zones in order, until one lists the address.
void look_up(SPF_dns_server_struct *layer, void *data)
{
    auto *job = static_cast<dnsbl_job *>(data);
    job->listed = -1;
    for (int z = 0; z < settings.dnsbl_count; z++) {
        job->outcome[z] = zone_outcome::not_asked;
        job->answer[z] = 0;
    }
    for (int z = 0; z < settings.dnsbl_count && job->listed < 0; z++) {
        char name[256];
        query_name(*job, settings.dnsbl[z].name, name);
        SPF_dns_rr_t *rr = SPF_dns_lookup(layer, name, ns_t_a, 0);
        zone_outcome outcome = zone_outcome::failed;
        if (rr != nullptr && rr->herrno == NETDB_SUCCESS && rr->num_rr > 0)
            outcome = verdict(settings.dnsbl[z], rr, &job->answer[z]);
        else if (rr != nullptr && (rr->herrno == HOST_NOT_FOUND || rr->herrno == NO_DATA ||
                                   rr->herrno == NETDB_SUCCESS))
            outcome = zone_outcome::not_listed;
        if (rr != nullptr)
            SPF_dns_rr_free(rr);
        job->outcome[z] = outcome;
        if (outcome == zone_outcome::listed)
            job->listed = z;
    }
}

// log_outcomes - with -d, a line for each zone the job asked.
void log_outcomes(const dnsbl_job &job, const char *client)
{
    for (int z = 0; z < settings.dnsbl_count; z++) {
        char code[INET_ADDRSTRLEN] = "";
        struct in_addr answer = {htonl(job.answer[z])};
        inet_ntop(AF_INET, &answer, code, sizeof code);
        const char *zone = settings.dnsbl[z].name;
        switch (job.outcome[z]) {
        case zone_outcome::not_asked:
            break;
        case zone_outcome::listed:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: listed (%s)", zone, client, code);
            break;
        case zone_outcome::not_listed:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: not listed", zone, client);
            break;
        case zone_outcome::refused:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: query refused (%s), not listed",
                    zone, client, code);
            break;
        case zone_outcome::outside:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: answer outside 127.0.0.0/8 (%s), "
                               "not listed", zone, client, code);
            break;
        case zone_outcome::not_chosen:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: code not chosen (%s), not listed",
                    zone, client, code);
            break;
        case zone_outcome::failed:
            log_msg(LOG_DEBUG, "DNSBL %s for client %s: lookup failed, not listed", zone,
                    client);
            break;
        }
    }
}

// The outcome for the last client, for the other recipients of its message,
// and the zones it was found with (the settings of a daemon never change;
// those of a test in process may).
struct memo_t {
    bool valid;
    double time;
    int family;
    unsigned char address[16];
    int listed;
    int zone_count;
    dnsbl_zone zones[max_dnsbl_zones];
};
thread_local memo_t memo;

}  // namespace

bool dnsbl_parse_zone(const char *argument, dnsbl_zone *zone)
{
    const char *equals = strchr(argument, '=');
    const char *end = equals != nullptr ? equals : argument + strlen(argument);
    zone->code_count = 0;
    if (!domain_name(argument, static_cast<size_t>(end - argument), max_dnsbl_zone, zone->name))
        return false;
    if (equals == nullptr)
        return true;
    const char *code = equals + 1;
    for (;;) {
        const char *comma = strchr(code, ',');
        size_t n = comma != nullptr ? static_cast<size_t>(comma - code) : strlen(code);
        char text[INET_ADDRSTRLEN];
        struct in_addr address;
        if (n == 0 || n >= sizeof text || zone->code_count == max_dnsbl_codes)
            return false;
        memcpy(text, code, n);
        text[n] = '\0';
        if (inet_pton(AF_INET, text, &address) != 1)
            return false;
        uint32_t value = ntohl(address.s_addr);
        if ((value >> 24) != 127 || (value >> 8) == 0x7fffff)
            return false;
        zone->codes[zone->code_count++] = value;
        if (comma == nullptr)
            return true;
        code = comma + 1;
    }
}

const char *dnsbl_listing(const char *client)
{
    if (settings.dnsbl_count == 0)
        return nullptr;
    char text[INET6_ADDRSTRLEN + 1];
    dnsbl_job job{};
    unsigned char address[16];
    if (!attribute_text(client, text, sizeof text)) {
        job.family = 0;
    } else if (size_t size = ip_address_bytes(text, address); size != 0) {
        job.family = size == 4 ? AF_INET : AF_INET6;
        memcpy(job.address, address, size);
    }
    if (job.family == 0) {
        if (settings.debug)
            log_msg(LOG_DEBUG, "DNSBL: client address is no IP address, not listed");
        return nullptr;
    }
    char printed[INET6_ADDRSTRLEN];
    inet_ntop(job.family, job.address, printed, sizeof printed);

    if (memo.valid && memo.family == job.family &&
        memcmp(memo.address, job.address, sizeof job.address) == 0 &&
        memo.zone_count == settings.dnsbl_count &&
        memcmp(memo.zones, settings.dnsbl, sizeof memo.zones) == 0 &&
        dns_monotonic_now() - memo.time < memo_seconds) {
        if (settings.debug) {
            if (memo.listed >= 0)
                log_msg(LOG_DEBUG, "DNSBL %s for client %s: listed (same message)",
                        settings.dnsbl[memo.listed].name, printed);
            else
                log_msg(LOG_DEBUG, "DNSBL for client %s: not listed (same message)", printed);
        }
        return memo.listed >= 0 ? settings.dnsbl[memo.listed].name : nullptr;
    }

    job.listed = -1;
    dns_status status = dns_run(look_up, &job, sizeof job);
    const char *note = nullptr;
    switch (status) {
    case dns_status::done: break;
    case dns_status::timeout: note = "time-out"; break;
    case dns_status::busy: note = "a lookup that timed out still runs"; break;
    case dns_status::no_worker: note = "no worker"; break;
    case dns_status::no_memory: note = "out of memory"; break;
    }
    // A time-out serves the message's other recipients too, as an outcome
    // does: they would wait for the same zones again.
    if (status == dns_status::done || status == dns_status::timeout) {
        memo.valid = true;
        memo.time = dns_monotonic_now();
        memo.family = job.family;
        memcpy(memo.address, job.address, sizeof job.address);
        memo.listed = status == dns_status::done ? job.listed : -1;
        memo.zone_count = settings.dnsbl_count;
        memcpy(memo.zones, settings.dnsbl, sizeof memo.zones);
    }
    if (settings.debug) {
        if (note != nullptr)
            log_msg(LOG_DEBUG, "DNSBL for client %s: not listed (%s)", printed, note);
        else
            log_outcomes(job, printed);
    }
    return status == dns_status::done && job.listed >= 0 ? settings.dnsbl[job.listed].name
                                                        : nullptr;
}
