// SPDX-License-Identifier: BSD-2-Clause
// spf.cc - SPF evaluation for the key of a request, bounded in time and cost.
//
// DNS data is hostile input. What reaches the library is checked first: an
// address the daemon prints itself, a sender of bounded length, a domain of
// host-name characters. The library's own limits (ten DNS-querying terms,
// ten MX and PTR names) are set explicitly; the two-void-lookup limit and
// the deadline, which the library lacks, are the bounded DNS layer's
// (dns/resolver.h), which also notes failed lookups, so that a failure the
// library reports as its own "invalid" result, or passes over on its way to a
// pass, counts as temperror. The evaluation is a job of the DNS path: it
// runs in the path's worker, or from its kept answers in this thread, one at
// a time, so the library server made over the path's layer needs no lock.
//
// A bounce's HELO name is reduced to its registrable domain by libpsl. The
// list is psl_latest()'s: the newer of the one the system's publicsuffix
// package installs (updated with the distribution, without a rebuild of the
// library or the daemon) and the copy built into the library, which stands
// in when the file is missing or unreadable. A suffix added to the list
// after both were made is not known as one: such a HELO name is keyed on
// the registrable domain the older list gives, as the library sees it.
#include "greylist/spf.h"

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

#include <arpa/inet.h>
#include <libpsl.h>
#include <strings.h>

#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "dns/domain_name.h"
#include "policy/request.h"

namespace {

// Seconds one outcome serves later requests of the same client, sender and
// HELO: the recipients of one message come within it.
constexpr double memo_seconds = 60;

// evaluate - the evaluation of a prepared query with `server`, under the
// limits of the job dns_begin() started.
spf_result evaluate(SPF_server_struct *server, const spf_query *query);

// new_server - a library server over `layer`, the bounded layer, with the
// library's limits set; nullptr when the library fails. It does not own
// the layer.
SPF_server_t *new_server(SPF_dns_server_struct *layer)
{
    SPF_server_t *server = SPF_server_new_dns(layer, 0);
    if (server == nullptr) {
        log_msg(LOG_ERR, "SPF_server_new_dns failed");
        return nullptr;
    }
    // The library's defaults today, set so that no build of it changes them.
    SPF_server_set_max_dns_mech(server, spf_max_dns_terms);
    SPF_server_set_max_dns_mx(server, spf_max_dns_terms);
    SPF_server_set_max_dns_ptr(server, spf_max_dns_terms);
    return server;
}

// compare a domain the library reports with a key domain: case and one
// final dot aside, the same name.
bool same_domain(const char *reported, const char *domain)
{
    if (reported == nullptr)
        return false;
    size_t n = strlen(reported);
    if (n > 0 && reported[n - 1] == '.')
        n--;
    return n == strlen(domain) && strncasecmp(reported, domain, n) == 0;
}

spf_result from_library(SPF_result_t result)
{
    switch (result) {
    case SPF_RESULT_PASS: return spf_result::pass;
    case SPF_RESULT_FAIL: return spf_result::fail;
    case SPF_RESULT_SOFTFAIL: return spf_result::softfail;
    case SPF_RESULT_NEUTRAL: return spf_result::neutral;
    case SPF_RESULT_NONE: return spf_result::none;
    case SPF_RESULT_TEMPERROR: return spf_result::temperror;
    case SPF_RESULT_PERMERROR: return spf_result::permerror;
    default: return spf_result::permerror;  // the library's "invalid"
    }
}

// One evaluation as a job of the DNS path: the query in, the result out.
struct spf_job {
    spf_query query;
    spf_result result;
};

void free_server(void *server)
{
    SPF_server_free(static_cast<SPF_server_t *>(server));
}

// evaluate_job - the job's work, with a server made over the layer on the
// layer's first job and kept with it (the jobs over one layer run one at a
// time).
void evaluate_job(SPF_dns_server_struct *layer, void *data)
{
    void **kept = dns_layer_state(layer, free_server);
    auto *job = static_cast<spf_job *>(data);
    if (*kept == nullptr)
        *kept = new_server(layer);
    auto *server = static_cast<SPF_server_t *>(*kept);
    job->result = server != nullptr ? evaluate(server, &job->query) : spf_result::temperror;
}

// run_evaluation - the query as a job of the DNS path. `note` says why a
// time-out came without waiting, or why nothing was evaluated.
spf_result run_evaluation(const spf_query &query, const char **note)
{
    *note = "";
    spf_job job = {query, spf_result::temperror};
    switch (dns_run(evaluate_job, &job, sizeof job)) {
    case dns_status::done:
        return job.result;
    case dns_status::timeout:
        return spf_result::timeout;
    case dns_status::busy:
        *note = " (an evaluation that timed out still runs)";
        return spf_result::timeout;
    case dns_status::no_worker:
        *note = " (no worker)";
        return spf_result::temperror;
    case dns_status::no_memory:
        *note = " (out of memory)";
        return spf_result::temperror;
    }
    return spf_result::temperror;
}

// The outcome of the last query, for the other recipients of its message.
struct memo_t {
    bool valid;
    double time;
    spf_query query;
    spf_result result;
};
thread_local memo_t memo;

// load_suffix_list - the system's public suffix list, else the library's
// built-in copy, else nullptr (logged).
const psl_ctx_t *load_suffix_list()
{
    const psl_ctx_t *list = psl_latest(nullptr);
    if (list == nullptr)
        list = psl_builtin();
    if (list == nullptr)
        log_msg(LOG_ERR, "psl_latest: no public suffix list: bounces are keyed "
                         "on their whole HELO name");
    return list;
}

// registrable_domain - the key domain of a bounce that passed for the HELO
// name `helo`: the name's registrable domain, a pointer into `helo`; nullptr
// when the name is a public suffix itself (an ICANN suffix such as co.uk,
// or a private one of the list, such as a hosting service's), which is
// no one sender. Without any list the name stays as it is, as before.
const char *registrable_domain(const char *helo)
{
    // Loaded once per process, on first use; the first thread to get here
    // loads it and any other waits for it.
    static const psl_ctx_t *const list = load_suffix_list();
    if (list == nullptr)
        return helo;
    return psl_registrable_domain(list, helo);
}

bool same_query(const spf_query &a, const spf_query &b)
{
    return strcmp(a.client, b.client) == 0 && strcmp(a.sender, b.sender) == 0 &&
           strcmp(a.helo, b.helo) == 0;
}

}  // namespace

bool spf_prepare(const char *client, const char *sender, const char *helo,
                 spf_query *query)
{
    char text[INET6_ADDRSTRLEN + 1];
    unsigned char address[sizeof(struct in6_addr)];
    if (!attribute_text(client, text, sizeof text))
        return false;
    // A mapped IPv4 address is evaluated as the IPv4 address it is.
    size_t size = ip_address_bytes(text, address);
    if (size == 0)
        return false;
    inet_ntop(size == 4 ? AF_INET : AF_INET6, address, query->client, sizeof query->client);

    query->helo[0] = '\0';
    if (helo != nullptr) {
        size_t n = 0;
        while (helo[n] != '\n' && helo[n] != '\0')
            n++;
        if (helo[n] != '\n' || !domain_name(helo, n, max_key_domain, query->helo))
            query->helo[0] = '\0';
    }

    if (sender[0] == '\n') {
        // The null sender: the HELO name stands for it, as postmaster@helo.
        if (query->helo[0] == '\0')
            return false;
        strcpy(query->domain, query->helo);
        snprintf(query->sender, sizeof query->sender, "postmaster@%s", query->helo);
        return true;
    }
    if (!attribute_text(sender, query->sender, sizeof query->sender))
        return false;
    const char *at = strrchr(query->sender, '@');
    if (at == nullptr)
        return false;
    return domain_name(at + 1, strlen(at + 1), max_key_domain, query->domain);
}

SPF_server_struct *spf_new_server(SPF_dns_server_struct *below)
{
    SPF_dns_server_struct *layer = dns_new_layer(below);
    if (layer == nullptr)
        return nullptr;
    SPF_server_t *server = new_server(layer);
    if (server == nullptr)
        SPF_dns_free(layer);
    return server;
}

spf_result spf_evaluate(SPF_server_struct *server, const spf_query *query,
                        double deadline)
{
    dns_begin(deadline);
    return evaluate(server, query);
}

namespace {

spf_result evaluate(SPF_server_struct *server, const spf_query *query)
{
    dns_limit_void_lookups(spf_max_void_lookups);
    SPF_request_t *request = SPF_request_new(server);
    if (request == nullptr)
        return spf_result::temperror;

    struct in_addr v4;
    struct in6_addr v6;
    SPF_errcode_t set;
    if (inet_pton(AF_INET, query->client, &v4) > 0)
        set = SPF_request_set_ipv4(request, v4);
    else if (inet_pton(AF_INET6, query->client, &v6) > 0)
        set = SPF_request_set_ipv6(request, v6);
    else
        set = SPF_E_INVALID_IP4;
    if (set == SPF_E_SUCCESS && query->helo[0] != '\0')
        set = SPF_request_set_helo_dom(request, query->helo);
    if (set != SPF_E_SUCCESS || SPF_request_set_env_from(request, query->sender) != 0) {
        SPF_request_free(request);
        return spf_result::not_checked;
    }

    SPF_response_t *response = nullptr;
    SPF_request_query_mailfrom(request, &response);
    spf_result result = spf_result::temperror;
    if (response != nullptr) {
        SPF_result_t library_result = SPF_response_result(response);
        result = from_library(library_result);
        // A failed lookup of the domain's own record comes back as the
        // library's "invalid"; a pass reached past a failed lookup (an
        // include that could not be read) is no proof. Both are temperror.
        // Other results stand: a failed lookup for the explanation of a
        // fail, say, leaves it a fail.
        if (dns_seen().failed &&
            (library_result == SPF_RESULT_INVALID || result == spf_result::pass))
            result = spf_result::temperror;
        // A pass counts only from the domain's own record and for the very
        // domain the key will hold; the library's free pass for loopback
        // clients is none.
        if (result == spf_result::pass &&
            (SPF_response_reason(response) != SPF_REASON_MECH ||
             !same_domain(request->env_from_dp, query->domain)))
            result = spf_result::neutral;
        SPF_response_free(response);
    }
    SPF_request_free(request);
    if (dns_seen().void_exceeded)
        result = spf_result::permerror;
    return result;
}

}  // namespace

const char *spf_result_name(spf_result result)
{
    switch (result) {
    case spf_result::none: return "none";
    case spf_result::neutral: return "neutral";
    case spf_result::pass: return "pass";
    case spf_result::fail: return "fail";
    case spf_result::softfail: return "softfail";
    case spf_result::temperror: return "temperror";
    case spf_result::permerror: return "permerror";
    case spf_result::timeout: return "temperror";
    case spf_result::not_checked: return "none";
    }
    return "none";
}

const char *spf_key_domain(const char *client, const char *sender, spf_result *outcome)
{
    if (outcome != nullptr)
        *outcome = spf_result::not_checked;
    if (!settings.spf)
        return nullptr;
    spf_query query;
    const char *note = "";
    spf_result result;
    bool reused = false;
    if (!spf_prepare(client, sender, policy_attribute("helo_name"), &query)) {
        result = spf_result::not_checked;
        note = " (nothing to evaluate)";
    } else if (memo.valid && same_query(memo.query, query) &&
               dns_monotonic_now() - memo.time < memo_seconds) {
        result = memo.result;
        reused = true;
    } else {
        result = run_evaluation(query, &note);
        if (note[0] == '\0' || result != spf_result::timeout) {
            memo.valid = true;
            memo.time = dns_monotonic_now();
            memo.query = query;
            memo.result = result;
        }
        if (result == spf_result::timeout && note[0] == '\0')
            note = " (time-out)";
    }

    if (outcome != nullptr)
        *outcome = result;
    const char *domain = result == spf_result::pass ? memo.query.domain : nullptr;
    // A bounce that passed for its HELO name: every host of a pool names
    // itself there, and all of them are one sender.
    if (domain != nullptr && sender[0] == '\n')
        domain = registrable_domain(domain);
    if (settings.debug)
        log_msg(LOG_DEBUG, "SPF %s%s%s for client %s domain %s: key address %s%s",
                spf_result_name(result), note, reused ? " (same message)" : "",
                result == spf_result::not_checked ? "-" : query.client,
                result == spf_result::not_checked ? "-" : query.domain,
                domain ? domain_mark : "", domain ? domain : "client");
    return domain;
}
