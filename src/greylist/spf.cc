// SPDX-License-Identifier: BSD-2-Clause
// spf.cc - SPF evaluation for the key of a request, bounded in time and cost.
//
// DNS data is hostile input. What reaches the library is checked first: an
// address the daemon prints itself, a sender of bounded length, a domain of
// host-name characters. The library's own limits (ten DNS-querying terms,
// ten MX and PTR names) are set explicitly; the two-void-lookup limit and
// the deadline, which the library lacks, live in a DNS layer of our own over
// the system resolver; the layer also notes failed lookups, so that a
// failure the library reports as its own "invalid" result, or passes over on
// its way to a pass, counts as temperror. The layer keeps the answers that
// name or deny records for a minute, so that the mail of one domain from
// many clients asks DNS once a minute. (The library's resolver layer does
// not report an answer's time to live: a record whose TTL is shorter may be
// used up to a minute after it changed, as the outcome of an evaluation is.) The library's messages are dropped, save a fatal one,
// which is logged before the process ends: its default handlers would write
// to standard output, the policy connection.
//
// The library's resolver calls block with the system resolver's own timeouts,
// so the evaluation runs in one worker thread that the request waits for, on
// a pipe, until a deadline. A request that stops waiting marks
// its job abandoned; the worker frees such a job when it ends, and until then
// later evaluations do not start. Nothing jumps out of the library and no
// signal reaches the worker: it runs with every signal blocked.
#include "greylist/spf.h"

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
#include <spf2/spf_dns_resolv.h>
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "policy/request.h"

namespace {

// Seconds one outcome serves later requests of the same client, sender and
// HELO: the recipients of one message come within it.
constexpr double memo_seconds = 60;

double monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// copy_value - a newline-ended attribute value into `out` as a C string.
// False when it holds a NUL or needs more than `room` bytes with its NUL.
bool copy_value(const char *value, char *out, size_t room)
{
    size_t n = 0;
    while (value[n] != '\n') {
        if (value[n] == '\0' || n + 1 >= room)
            return false;
        out[n] = value[n];
        n++;
    }
    out[n] = '\0';
    return true;
}

// host_domain - `text` (n bytes) as a key domain: lower case, one final dot
// dropped, letters, digits, '-' and '_' in labels of 1 to 63 bytes, at least
// two labels, and a last label that is not all digits (an address literal is
// no domain). False when it is none.
bool host_domain(const char *text, size_t n, char out[max_key_domain + 1])
{
    if (n > 0 && text[n - 1] == '.')
        n--;
    if (n == 0 || n > max_key_domain)
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

// State of the one evaluation running, read by the DNS layer: only one
// evaluation runs at a time in a process (the worker's, or a fuzz target's).
struct evaluation_state {
    double deadline;       // monotonic seconds; lookups past it are refused
    int void_lookups;      // lookups that answered nothing so far
    bool void_exceeded;    // more than spf_max_void_lookups of them
    bool dns_error;        // a lookup failed, timed out or was refused late
    bool kept_only;        // answer from kept answers alone, asking nothing
    bool missed;           // a kept-only evaluation needed an answer not kept
};
evaluation_state evaluation;

// evaluate - spf_evaluate(), or with `kept_only` an evaluation from the
// layer's kept answers alone, which sets evaluation.missed when it needed
// one that was not kept (its result then means nothing).
spf_result evaluate(SPF_server_struct *server, const spf_query *query, double deadline,
                    bool kept_only);

// One answer kept by the layer: a copy of what the layer below gave, and
// until when (monotonic seconds) it may be given again.
struct kept_answer {
    SPF_dns_rr_t *rr;
    ns_type type;      // what was asked: the type and the name
    char name[256];
    double expires;
    double used;  // when last given: the least recently used one goes first
};

// The layer: the library's layer record first, so that the library's
// pointer to it is a pointer to the whole.
struct bounded_layer {
    SPF_dns_server_t layer;
    kept_answer kept[spf_kept_answers];
};

// answer_size - the bytes an answer's records take.
size_t answer_size(const SPF_dns_rr_t *rr)
{
    size_t size = 0;
    for (int i = 0; i < rr->num_rr; i++)
        size += rr->rr_buf_len[i];
    return size;
}

// find_kept - a copy of the kept answer to `domain` and `type`, or nullptr.
SPF_dns_rr_t *find_kept(bounded_layer *bounded, const char *domain, ns_type type, double now)
{
    for (kept_answer &k : bounded->kept) {
        if (k.rr == nullptr || k.type != type || strcasecmp(k.name, domain) != 0)
            continue;
        if (now >= k.expires)
            return nullptr;
        SPF_dns_rr_t *copy = nullptr;
        if (SPF_dns_rr_dup(&copy, k.rr) != SPF_E_SUCCESS) {
            SPF_dns_rr_free(copy);
            return nullptr;
        }
        k.used = now;
        return copy;
    }
    return nullptr;
}

// keep - a copy of `answer`, for spf_kept_seconds, when it names records or
// says there are none and is not too large; in the slot of the same name,
// else an empty or expired one, else the least recently used one.
void keep(bounded_layer *bounded, const char *domain, ns_type type,
          const SPF_dns_rr_t *answer, double now)
{
    bool definite = (answer->herrno == NETDB_SUCCESS && answer->num_rr > 0) ||
                    answer->herrno == HOST_NOT_FOUND || answer->herrno == NO_DATA;
    if (!definite || strlen(domain) >= sizeof bounded->kept[0].name ||
        answer_size(answer) > spf_max_kept_answer)
        return;
    kept_answer *slot = nullptr;       // the same name's
    kept_answer *free_slot = nullptr;  // an empty or expired one
    kept_answer *oldest = &bounded->kept[0];
    for (kept_answer &k : bounded->kept) {
        if (k.rr != nullptr && k.type == type && strcasecmp(k.name, domain) == 0) {
            slot = &k;
            break;
        }
        if (free_slot == nullptr && (k.rr == nullptr || now >= k.expires))
            free_slot = &k;
        if (k.used < oldest->used)
            oldest = &k;
    }
    if (slot == nullptr)
        slot = free_slot != nullptr ? free_slot : oldest;
    SPF_dns_rr_t *copy = nullptr;
    if (SPF_dns_rr_dup(&copy, const_cast<SPF_dns_rr_t *>(answer)) != SPF_E_SUCCESS) {
        SPF_dns_rr_free(copy);
        return;
    }
    if (slot->rr != nullptr)
        SPF_dns_rr_free(slot->rr);
    slot->rr = copy;
    slot->type = type;
    strcpy(slot->name, domain);
    slot->expires = now + spf_kept_seconds;
    slot->used = now;
}

// bounded_lookup - the DNS layer over the resolver: a lookup past the
// deadline or past the void limit is answered "try again" without asking,
// which ends the evaluation as temperror at once. A kept answer is given
// without asking; a void one counts against the limit all the same.
SPF_dns_rr_t *bounded_lookup(SPF_dns_server_t *layer, const char *domain,
                             ns_type type, int should_cache)
{
    if (evaluation.void_exceeded)
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    double now = monotonic_now();
    if (evaluation.deadline > 0 && now >= evaluation.deadline) {
        evaluation.dns_error = true;
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    auto *bounded = reinterpret_cast<bounded_layer *>(layer);
    SPF_dns_rr_t *answer = domain != nullptr ? find_kept(bounded, domain, type, now) : nullptr;
    if (answer == nullptr && evaluation.kept_only) {
        evaluation.missed = true;
        evaluation.void_exceeded = true;  // the rest of it asks nothing either
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    if (answer == nullptr) {
        answer = SPF_dns_lookup(layer->layer_below, domain, type, should_cache);
        if (answer != nullptr && domain != nullptr)
            keep(bounded, domain, type, answer, now);
    }
    if (answer == nullptr) {
        evaluation.dns_error = true;
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    if (answer->herrno == TRY_AGAIN || answer->herrno == NO_RECOVERY)
        evaluation.dns_error = true;
    if (answer->herrno == HOST_NOT_FOUND || answer->herrno == NO_DATA ||
        (answer->herrno == NETDB_SUCCESS && answer->num_rr == 0)) {
        if (++evaluation.void_lookups > spf_max_void_lookups)
            evaluation.void_exceeded = true;
    }
    return answer;
}

// destroy_bounded_layer - SPF_dns_free's destructor of the layer: the
// layer and its kept answers alone; SPF_dns_free goes on to the layers
// below by itself.
void destroy_bounded_layer(SPF_dns_server_t *layer)
{
    auto *bounded = reinterpret_cast<bounded_layer *>(layer);
    for (kept_answer &k : bounded->kept)
        if (k.rr != nullptr)
            SPF_dns_rr_free(k.rr);
    free(bounded);
}

__attribute__((noreturn)) void library_fatal(const char *file, int line, const char *message)
{
    log_msg(LOG_ERR, "SPF library: %s:%d: %s", file ? file : "?", line,
            message ? message : "");
    fatal_abort();
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

// The worker and its one job slot, all under worker_lock.
struct spf_job {
    spf_query query;
    double deadline;
    spf_result result;
    bool done;       // result is set; the requester frees the job
    bool abandoned;  // the requester stopped waiting; the worker frees the job
};
pthread_mutex_t worker_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t job_posted = PTHREAD_COND_INITIALIZER;
int done_pipe[2] = {-1, -1};     // a byte per finished job the requester waits for
spf_job *posted_job;            // waiting for the worker to take it
bool worker_started;
bool worker_busy;               // the worker holds a job
SPF_server_t *worker_server;    // the worker's own; made on its first job

void *worker_main(void *)
{
    pthread_mutex_lock(&worker_lock);
    for (;;) {
        while (posted_job == nullptr)
            pthread_cond_wait(&job_posted, &worker_lock);
        spf_job *job = posted_job;
        posted_job = nullptr;
        worker_busy = true;
        pthread_mutex_unlock(&worker_lock);

        if (worker_server == nullptr)
            worker_server = spf_new_server(nullptr);
        spf_result result = worker_server
            ? spf_evaluate(worker_server, &job->query, job->deadline)
            : spf_result::temperror;

        pthread_mutex_lock(&worker_lock);
        worker_busy = false;
        if (job->abandoned) {
            free(job);
        } else {
            job->result = result;
            job->done = true;
            char byte = 0;
            (void)!write(done_pipe[1], &byte, 1);  // a full pipe already wakes it
        }
    }
}

// start_worker - the worker thread, with every signal blocked so that the
// stop signals stay with the main flow. Called under worker_lock.
int start_worker()
{
    if (done_pipe[0] < 0 && pipe2(done_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        int error = errno;
        log_msg(LOG_ERR, "SPF worker: pipe2: %s", strerror(error));
        return error;
    }

    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t thread_attributes;
    pthread_attr_init(&thread_attributes);
    pthread_attr_setdetachstate(&thread_attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int ret = pthread_create(&thread, &thread_attributes, worker_main, nullptr);
    pthread_attr_destroy(&thread_attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (ret != 0) {
        log_msg(LOG_ERR, "SPF worker: pthread_create: %s", strerror(ret));
        return ret;
    }
    worker_started = true;
    return 0;
}

// run_evaluation - hand the query to the worker and wait for it until the
// time limit. `note` says why a time-out came without waiting.
spf_result run_evaluation(const spf_query &query, const char **note)
{
    *note = "";
    pthread_mutex_lock(&worker_lock);
    if (!worker_started && start_worker() != 0) {
        pthread_mutex_unlock(&worker_lock);
        *note = " (no worker)";
        return spf_result::temperror;
    }
    if (worker_busy || posted_job != nullptr) {
        pthread_mutex_unlock(&worker_lock);
        *note = " (an evaluation that timed out still runs)";
        return spf_result::timeout;
    }
    // The idle worker's server answers here, in this thread, when every
    // answer the evaluation needs is kept: it asks nothing, so it cannot
    // block, and the hand-over to the worker and back is saved. The worker
    // waits for a job, so it does not touch its server meanwhile.
    if (worker_server != nullptr) {
        spf_result result = evaluate(worker_server, &query, 0, true);
        if (!evaluation.missed) {
            pthread_mutex_unlock(&worker_lock);
            return result;
        }
    }
    spf_job *job = static_cast<spf_job *>(calloc(1, sizeof *job));
    if (job == nullptr) {
        pthread_mutex_unlock(&worker_lock);
        *note = " (out of memory)";
        return spf_result::temperror;
    }
    job->query = query;
    job->deadline = monotonic_now() + spf_time_limit;
    char bytes[16];
    while (read(done_pipe[0], bytes, sizeof bytes) > 0) {
    }  // wake-ups of jobs that were answered already
    posted_job = job;
    pthread_cond_signal(&job_posted);

    // The wait is a poll() on the pipe with the time left on the monotonic
    // clock: it neither depends on a condition variable's clock nor on the
    // wall clock, which an admin (or a test) may set anywhere.
    for (;;) {
        if (job->done)
            break;
        double left = job->deadline - monotonic_now();
        if (left <= 0)
            break;
        pthread_mutex_unlock(&worker_lock);
        struct pollfd wake = {done_pipe[0], POLLIN, 0};
        poll(&wake, 1, static_cast<int>(left * 1000) + 1);
        while (read(done_pipe[0], bytes, sizeof bytes) > 0) {
        }
        pthread_mutex_lock(&worker_lock);
    }
    spf_result result;
    if (job->done) {
        result = job->result;
        free(job);
    } else if (posted_job == job) {
        posted_job = nullptr;  // never taken: it is still ours
        free(job);
        result = spf_result::timeout;
    } else {
        job->abandoned = true;
        result = spf_result::timeout;
    }
    pthread_mutex_unlock(&worker_lock);
    return result;
}

// The outcome of the last query, for the other recipients of its message.
struct memo_t {
    bool valid;
    double time;
    spf_query query;
    spf_result result;
};
memo_t memo;

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
    if (!copy_value(client, text, sizeof text))
        return false;
    if (inet_pton(AF_INET, text, address) > 0) {
        inet_ntop(AF_INET, address, query->client, sizeof query->client);
    } else if (inet_pton(AF_INET6, text, address) > 0) {
        struct in6_addr v6;
        memcpy(&v6, address, sizeof v6);
        // A mapped IPv4 address is evaluated as the IPv4 address it is.
        if (IN6_IS_ADDR_V4MAPPED(&v6))
            inet_ntop(AF_INET, address + 12, query->client, sizeof query->client);
        else
            inet_ntop(AF_INET6, address, query->client, sizeof query->client);
    } else {
        return false;
    }

    query->helo[0] = '\0';
    if (helo != nullptr) {
        size_t n = 0;
        while (helo[n] != '\n' && helo[n] != '\0')
            n++;
        if (helo[n] != '\n' || !host_domain(helo, n, query->helo))
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
    if (!copy_value(sender, query->sender, sizeof query->sender))
        return false;
    const char *at = strrchr(query->sender, '@');
    if (at == nullptr)
        return false;
    return host_domain(at + 1, strlen(at + 1), query->domain);
}

SPF_server_struct *spf_new_server(SPF_dns_server_struct *below)
{
    SPF_error_handler = library_fatal;
    SPF_warning_handler = nullptr;
    SPF_info_handler = nullptr;
    SPF_debug_handler = nullptr;

    if (below == nullptr && (below = SPF_dns_resolv_new(nullptr, "resolv", 0)) == nullptr) {
        log_msg(LOG_ERR, "SPF_dns_resolv_new failed");
        return nullptr;
    }
    auto *bounded = static_cast<bounded_layer *>(calloc(1, sizeof(bounded_layer)));
    SPF_dns_server_t *layer = bounded != nullptr ? &bounded->layer : nullptr;
    if (layer == nullptr) {
        SPF_dns_free(below);
        log_msg(LOG_ERR, "SPF layer: out of memory");
        return nullptr;
    }
    layer->destroy = destroy_bounded_layer;
    layer->lookup = bounded_lookup;
    layer->layer_below = below;
    layer->name = "bounded";

    SPF_server_t *server = SPF_server_new_dns(layer, 0);
    if (server == nullptr) {
        SPF_dns_free(layer);
        log_msg(LOG_ERR, "SPF_server_new_dns failed");
        return nullptr;
    }
    // The library's defaults today, set so that no build of it changes them.
    SPF_server_set_max_dns_mech(server, spf_max_dns_terms);
    SPF_server_set_max_dns_mx(server, spf_max_dns_terms);
    SPF_server_set_max_dns_ptr(server, spf_max_dns_terms);
    return server;
}

spf_result spf_evaluate(SPF_server_struct *server, const spf_query *query,
                        double deadline)
{
    return evaluate(server, query, deadline, false);
}

namespace {

spf_result evaluate(SPF_server_struct *server, const spf_query *query, double deadline,
                    bool kept_only)
{
    evaluation = {deadline, 0, false, false, kept_only, false};
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
        if (evaluation.dns_error &&
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
    if (evaluation.void_exceeded)
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
               monotonic_now() - memo.time < memo_seconds) {
        result = memo.result;
        reused = true;
    } else {
        result = run_evaluation(query, &note);
        if (note[0] == '\0' || result != spf_result::timeout) {
            memo.valid = true;
            memo.time = monotonic_now();
            memo.query = query;
            memo.result = result;
        }
        if (result == spf_result::timeout && note[0] == '\0')
            note = " (time-out)";
    }

    if (outcome != nullptr)
        *outcome = result;
    const char *domain = result == spf_result::pass ? memo.query.domain : nullptr;
    if (settings.debug)
        log_msg(LOG_DEBUG, "SPF %s%s%s for client %s domain %s: key address %s%s",
                spf_result_name(result), note, reused ? " (same message)" : "",
                result == spf_result::not_checked ? "-" : query.client,
                result == spf_result::not_checked ? "-" : query.domain,
                domain ? domain_mark : "", domain ? domain : "client");
    return domain;
}
