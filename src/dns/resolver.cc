// SPDX-License-Identifier: BSD-2-Clause
// resolver.cc - the worker, the request's deadline and the bounded DNS layer.
//
// DNS data is hostile input, and the library's resolver calls block with the
// system resolver's own timeouts. Our layer sits over the library's resolver
// layer: it refuses lookups past the deadline and past the job's void lookup
// limit (the library lacks both) by answering "try again" without asking,
// notes failed lookups for the job to weigh, and keeps the answers that name
// or deny records for a minute, so that the mail of one domain, or one
// client's blocklist lookups, from many requests asks DNS once a minute.
//
// Jobs that need DNS run in a worker thread that the request waits for, on
// a pipe, until the request's deadline; each thread that asks has its own. A request that stops waiting marks
// its job abandoned; the worker frees such a job when it ends, and until then
// later jobs do not start. Nothing jumps out of the library and no signal
// reaches the worker: it runs with every signal blocked.
#include "dns/resolver.h"

// The library's headers use these types without including their headers.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
#include <spf2/spf_dns_resolv.h>
}

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

namespace {

// State of the one job running, read by the layer.
struct job_state {
    double deadline;       // monotonic seconds; lookups past it are refused
    int max_void_lookups;  // below 0: no limit
    bool kept_only;        // answer from kept answers alone, asking nothing
    bool missed;           // a kept-only job needed an answer not kept
    bool refuse_all;       // every later lookup of the job is refused
    dns_lookups seen;
};
// Thread-local: a job runs in the worker, or from kept answers in the
// requesting thread, and each reads its own.
thread_local job_state current;

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
    kept_answer kept[dns_kept_answers];
    void *job_state;                 // what the jobs keep over this layer
    void (*release_job_state)(void *);
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

// keep - a copy of `answer`, for dns_kept_seconds, when it names records or
// says there are none and is not too large; in the slot of the same name,
// else an empty or expired one, else the least recently used one.
void keep(bounded_layer *bounded, const char *domain, ns_type type,
          const SPF_dns_rr_t *answer, double now)
{
    bool definite = (answer->herrno == NETDB_SUCCESS && answer->num_rr > 0) ||
                    answer->herrno == HOST_NOT_FOUND || answer->herrno == NO_DATA;
    if (!definite || strlen(domain) >= sizeof bounded->kept[0].name ||
        answer_size(answer) > dns_max_kept_answer)
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
    slot->expires = now + dns_kept_seconds;
    slot->used = now;
}

// bounded_lookup - the layer over the resolver: a lookup past the deadline
// or past the void limit is answered "try again" without asking, which ends
// an SPF evaluation as temperror at once. A kept answer is given without
// asking; a void one counts against the limit all the same.
SPF_dns_rr_t *bounded_lookup(SPF_dns_server_t *layer, const char *domain,
                             ns_type type, int should_cache)
{
    if (current.refuse_all)
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    double now = dns_monotonic_now();
    if (current.deadline > 0 && now >= current.deadline) {
        current.seen.failed = true;
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    auto *bounded = reinterpret_cast<bounded_layer *>(layer);
    SPF_dns_rr_t *answer = domain != nullptr ? find_kept(bounded, domain, type, now) : nullptr;
    if (answer == nullptr && current.kept_only) {
        current.missed = true;
        current.refuse_all = true;  // the rest of it asks nothing either
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    if (answer == nullptr) {
        answer = SPF_dns_lookup(layer->layer_below, domain, type, should_cache);
        if (answer != nullptr && domain != nullptr)
            keep(bounded, domain, type, answer, now);
    }
    if (answer == nullptr) {
        current.seen.failed = true;
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    if (answer->herrno == TRY_AGAIN || answer->herrno == NO_RECOVERY)
        current.seen.failed = true;
    if (answer->herrno == HOST_NOT_FOUND || answer->herrno == NO_DATA ||
        (answer->herrno == NETDB_SUCCESS && answer->num_rr == 0)) {
        if (++current.seen.void_lookups > current.max_void_lookups &&
            current.max_void_lookups >= 0) {
            current.seen.void_exceeded = true;
            current.refuse_all = true;
        }
    }
    return answer;
}

// destroy_bounded_layer - SPF_dns_free's destructor of the layer: the
// layer and its kept answers alone; SPF_dns_free goes on to the layers
// below by itself.
void destroy_bounded_layer(SPF_dns_server_t *layer)
{
    auto *bounded = reinterpret_cast<bounded_layer *>(layer);
    if (bounded->job_state != nullptr && bounded->release_job_state != nullptr)
        bounded->release_job_state(bounded->job_state);
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

// A worker and its one job slot, all under its lock. Each thread that runs
// jobs has a worker of its own (the spawned daemon has one; the resident
// server one per connection that needs DNS), so that the jobs of one
// connection never wait behind another's. The job's data follows the record
// in the same block (at job_header bytes), so that an abandoned job takes
// its data with it.
struct job {
    dns_work work;
    size_t size;
    double deadline;
    bool done;       // the work has run; the requester frees the job
    bool abandoned;  // the requester stopped waiting; the worker frees the job
    bool no_layer;   // the worker has no layer: the work did not run
    void *data;      // the copy of the caller's data, after the record
};
constexpr size_t job_header =
    (sizeof(job) + alignof(max_align_t) - 1) / alignof(max_align_t) * alignof(max_align_t);

struct worker_state {
    pthread_mutex_t lock;
    pthread_cond_t job_posted;
    pthread_cond_t idle;             // on CLOCK_MONOTONIC
    int done_pipe[2];                // a byte per finished job the requester waits for
    job *posted_job;                 // waiting for the worker to take it
    bool started;
    bool busy;                       // the worker holds a job
    bool leaving;                    // its thread has ended: the worker frees it all
    SPF_dns_server_t *layer;         // the worker's own; made on its first job
};
thread_local worker_state *own_worker;  // the calling thread's, made on first use
thread_local double request_deadline;   // 0 until the request's first job

// free_worker - the worker's last act: its layer, pipe and state.
void free_worker(worker_state *w)
{
    if (w->layer != nullptr)
        SPF_dns_free(w->layer);
    close(w->done_pipe[0]);
    close(w->done_pipe[1]);
    pthread_cond_destroy(&w->idle);
    pthread_cond_destroy(&w->job_posted);
    pthread_mutex_destroy(&w->lock);
    free(w);
}

void *worker_main(void *arg)
{
    auto *w = static_cast<worker_state *>(arg);
    pthread_mutex_lock(&w->lock);
    for (;;) {
        while (w->posted_job == nullptr && !w->leaving)
            pthread_cond_wait(&w->job_posted, &w->lock);
        if (w->posted_job == nullptr) {  // leaving, with nothing left to do
            pthread_mutex_unlock(&w->lock);
            free_worker(w);
            return nullptr;
        }
        job *j = w->posted_job;
        w->posted_job = nullptr;
        w->busy = true;
        pthread_mutex_unlock(&w->lock);

        if (w->layer == nullptr)
            w->layer = dns_new_layer(nullptr);
        if (w->layer != nullptr) {
            dns_begin(j->deadline);
            j->work(w->layer, j->data);
        }

        pthread_mutex_lock(&w->lock);
        w->busy = false;
        pthread_cond_broadcast(&w->idle);
        if (j->abandoned) {
            free(j);
        } else {
            j->no_layer = w->layer == nullptr;
            j->done = true;
            char byte = 0;
            (void)!write(w->done_pipe[1], &byte, 1);  // a full pipe already wakes it
        }
    }
}

// worker - the calling thread's worker, made (not yet started) on first use.
worker_state *worker()
{
    if (own_worker != nullptr)
        return own_worker;
    auto *w = static_cast<worker_state *>(calloc(1, sizeof(worker_state)));
    if (w == nullptr)
        return nullptr;
    if (pipe2(w->done_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        log_msg(LOG_ERR, "DNS worker: pipe2: %s", strerror(errno));
        free(w);
        return nullptr;
    }
    pthread_mutex_init(&w->lock, nullptr);
    pthread_cond_init(&w->job_posted, nullptr);
    pthread_condattr_t condition_attributes;
    pthread_condattr_init(&condition_attributes);
    pthread_condattr_setclock(&condition_attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&w->idle, &condition_attributes);
    pthread_condattr_destroy(&condition_attributes);
    own_worker = w;
    return w;
}

// start_worker - the worker thread, with every signal blocked so that the
// stop signals stay with the main flow. Called under the worker's lock.
int start_worker(worker_state *w)
{
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t thread_attributes;
    pthread_attr_init(&thread_attributes);
    pthread_attr_setdetachstate(&thread_attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int ret = pthread_create(&thread, &thread_attributes, worker_main, w);
    pthread_attr_destroy(&thread_attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (ret != 0) {
        log_msg(LOG_ERR, "DNS worker: pthread_create: %s", strerror(ret));
        return ret;
    }
    w->started = true;
    return 0;
}

}  // namespace

double dns_monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

void dns_begin(double deadline)
{
    current = {deadline, -1, false, false, false, {0, false, false}};
}

void dns_limit_void_lookups(int limit)
{
    current.max_void_lookups = limit;
}

const dns_lookups &dns_seen()
{
    return current.seen;
}

void dns_start_request()
{
    request_deadline = 0;
}

dns_status dns_run(dns_work work, void *data, size_t size)
{
    worker_state *w = worker();
    if (w == nullptr)
        return dns_status::no_worker;
    pthread_mutex_lock(&w->lock);
    if (!w->started && start_worker(w) != 0) {
        pthread_mutex_unlock(&w->lock);
        return dns_status::no_worker;
    }
    if (w->busy || w->posted_job != nullptr) {
        pthread_mutex_unlock(&w->lock);
        return dns_status::busy;
    }
    auto *j = static_cast<job *>(calloc(1, job_header + size));
    if (j == nullptr) {
        pthread_mutex_unlock(&w->lock);
        return dns_status::no_memory;
    }
    j->data = reinterpret_cast<unsigned char *>(j) + job_header;
    j->work = work;
    j->size = size;
    memcpy(j->data, data, size);
    // The idle worker's layer answers here, in this thread, when every
    // answer the job needs is kept: it asks nothing, so it cannot block,
    // and the hand-over to the worker and back is saved. The worker waits
    // for a job, so it does not touch its layer meanwhile. A job that
    // needed more starts afresh in the worker from the caller's data.
    if (w->layer != nullptr) {
        dns_begin(0);
        current.kept_only = true;
        work(w->layer, j->data);
        if (!current.missed) {
            pthread_mutex_unlock(&w->lock);
            memcpy(data, j->data, size);
            free(j);
            return dns_status::done;
        }
        memcpy(j->data, data, size);
    }
    double now = dns_monotonic_now();
    if (request_deadline == 0)
        request_deadline = now + dns_time_limit;
    if (now >= request_deadline) {
        pthread_mutex_unlock(&w->lock);
        free(j);
        return dns_status::timeout;
    }
    j->deadline = request_deadline;
    char bytes[16];
    while (read(w->done_pipe[0], bytes, sizeof bytes) > 0) {
    }  // wake-ups of jobs that were answered already
    w->posted_job = j;
    pthread_cond_signal(&w->job_posted);

    // The wait is a poll() on the pipe with the time left on the monotonic
    // clock: it neither depends on a condition variable's clock nor on the
    // wall clock, which an admin (or a test) may set anywhere.
    for (;;) {
        if (j->done)
            break;
        double left = j->deadline - dns_monotonic_now();
        if (left <= 0)
            break;
        pthread_mutex_unlock(&w->lock);
        struct pollfd wake = {w->done_pipe[0], POLLIN, 0};
        poll(&wake, 1, static_cast<int>(left * 1000) + 1);
        while (read(w->done_pipe[0], bytes, sizeof bytes) > 0) {
        }
        pthread_mutex_lock(&w->lock);
    }
    dns_status status;
    if (j->done) {
        status = j->no_layer ? dns_status::no_worker : dns_status::done;
        if (status == dns_status::done)
            memcpy(data, j->data, size);
        free(j);
    } else if (w->posted_job == j) {
        w->posted_job = nullptr;  // never taken: it is still ours
        free(j);
        status = dns_status::timeout;
    } else {
        j->abandoned = true;
        status = dns_status::timeout;
    }
    pthread_mutex_unlock(&w->lock);
    return status;
}

bool dns_idle_within(double seconds)
{
    worker_state *w = own_worker;
    if (w == nullptr)
        return true;
    pthread_mutex_lock(&w->lock);
    if (!w->started) {
        pthread_mutex_unlock(&w->lock);
        return true;
    }
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(seconds);
    until.tv_nsec += static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    int ret = 0;
    while ((w->busy || w->posted_job != nullptr) && ret != ETIMEDOUT)
        ret = pthread_cond_timedwait(&w->idle, &w->lock, &until);
    bool idle = !w->busy && w->posted_job == nullptr;
    pthread_mutex_unlock(&w->lock);
    return idle;
}

void dns_release_thread()
{
    worker_state *w = own_worker;
    if (w == nullptr)
        return;
    own_worker = nullptr;
    pthread_mutex_lock(&w->lock);
    if (!w->started) {
        pthread_mutex_unlock(&w->lock);
        free_worker(w);
        return;
    }
    // The worker may still run an abandoned job: it frees everything once
    // that job is over.
    w->leaving = true;
    pthread_cond_signal(&w->job_posted);
    pthread_mutex_unlock(&w->lock);
}

void **dns_layer_state(SPF_dns_server_struct *layer, void (*release)(void *))
{
    auto *bounded = reinterpret_cast<bounded_layer *>(layer);
    bounded->release_job_state = release;
    return &bounded->job_state;
}

SPF_dns_server_struct *dns_new_layer(SPF_dns_server_struct *below)
{
    // The handlers are the library's globals: set once, whichever thread
    // makes the first layer.
    static pthread_once_t handlers_set = PTHREAD_ONCE_INIT;
    pthread_once(&handlers_set, [] {
        SPF_error_handler = library_fatal;
        SPF_warning_handler = nullptr;
        SPF_info_handler = nullptr;
        SPF_debug_handler = nullptr;
    });

    if (below == nullptr && (below = SPF_dns_resolv_new(nullptr, "resolv", 0)) == nullptr) {
        log_msg(LOG_ERR, "SPF_dns_resolv_new failed");
        return nullptr;
    }
    auto *bounded = static_cast<bounded_layer *>(calloc(1, sizeof(bounded_layer)));
    if (bounded == nullptr) {
        SPF_dns_free(below);
        log_msg(LOG_ERR, "DNS layer: out of memory");
        return nullptr;
    }
    SPF_dns_server_t *layer = &bounded->layer;
    layer->destroy = destroy_bounded_layer;
    layer->lookup = bounded_lookup;
    layer->layer_below = below;
    layer->name = "bounded";
    return layer;
}
