// SPDX-License-Identifier: BSD-2-Clause
// server.cc - the resident server: listeners, connections, the sweep, the stop.
//
// The main thread only accepts: it waits in ppoll() on the listening sockets,
// the one place where it takes the stop signals, which every other thread
// keeps blocked. Each connection gets a detached thread; the threads, the
// sweep's too, wait on the read end of the stop pipe beside their own
// descriptor, and the stop closes its write end, which wakes them all.
#include "daemon/server.h"

#include <db.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "common/watchdog.h"
#include "daemon/lifecycle.h"
#include "daemon/listener.h"
#include "dns/resolver.h"
#include "greylist/decision.h"
#include "greylist/expiry.h"
#include "greylist/triplet_key.h"
#include "policy/action.h"
#include "policy/request.h"
#include "storage/environment.h"
#include "storage/stored_client.h"
#include "storage/stored_reply.h"

namespace {

// Stack of a connection's thread: a request's deepest path (the library's
// tree walk, a kept-answer SPF evaluation) uses a small part of it.
constexpr size_t connection_stack = 512 * 1024;

// Seconds an answer may wait for the mail server to read it; a client that
// never reads loses its connection rather than hold its thread.
constexpr int answer_write_seconds = 10;

// The server's state, kept by the main thread; the connection count and the
// stop pipe are shared with the threads.
struct server_state {
    int listeners[max_listeners];
    int listener_count;
    const char *unix_path;   // the socket this server made, removed at the stop
    int stop_pipe[2];        // the write end is closed at the stop
    int wake_pipe[2];        // a failing environment wakes the accept loop
    pthread_mutex_t lock;
    pthread_cond_t all_closed;
    int connections;         // connection threads running, under lock
    bool sweeping;           // the sweep thread was started
    pthread_t sweeper;
};
server_state server = {{}, 0, nullptr, {-1, -1}, {-1, -1}, PTHREAD_MUTEX_INITIALIZER,
                       PTHREAD_COND_INITIALIZER, 0, false, {}};
listen_address address;
std::atomic<bool> environment_failed{false};
sigset_t unblocked;  // the main thread's signal mask before the server blocked the stops

// stop_pipe_closed - the stop has begun (the pipe's read end reports its end).
bool stop_pipe_closed(const struct pollfd &stop)
{
    return (stop.revents & (POLLIN | POLLHUP)) != 0;
}

// wait_on_connection - the input wait of a connection's thread: its input,
// the server's stop, or the idle limit.
int wait_on_connection(int fd)
{
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {server.stop_pipe[0], POLLIN, 0}};
    int limit_ms = static_cast<int>(settings.idle_limit * 1000);
    for (;;) {
        int ready = poll(waits, 2, limit_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0) {
            log_msg(LOG_INFO, "connection idle for more than %llu seconds, closed",
                    static_cast<unsigned long long>(settings.idle_limit));
            return -2;
        }
        if (stop_pipe_closed(waits[1]))
            return 0;
        return 1;
    }
}

// label_length - at most 100 bytes of a value, without its newline (every
// value of a complete request ends in one).
int label_length(const char *value)
{
    if (value == nullptr)
        return 0;
    const char *end = static_cast<const char *>(memchr(value, '\n', 100));
    return end != nullptr ? static_cast<int>(end - value) : 100;
}

// label_request - name the thread's request for the watchdog's line.
void label_request()
{
    const char *client = policy_attribute("client_address");
    const char *sender = policy_attribute("sender");
    const char *recipient = policy_attribute("recipient");
    char label[320];
    snprintf(label, sizeof label, "client_address=%.*s, sender=%.*s, recipient=%.*s",
             label_length(client), client ? client : "", label_length(sender),
             sender ? sender : "", label_length(recipient), recipient ? recipient : "");
    watchdog_label(label);
}

// serve_connection - a connection's thread: its requests, as the spawned
// daemon answers those of its standard input, until the connection ends.
void *serve_connection(void *arg)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    bind_record_buffer();
    set_connection_reading(wait_on_connection, server_request_bound);
    struct timeval limit = {answer_write_seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // The answers' stream is on the connection's own descriptor, which it
    // closes at the end: a second descriptor could fail at the limit, and
    // drop a connection that accept() had already taken.
    FILE *out = fdopen(fd, "w");
    if (out == nullptr) {
        log_msg(LOG_ERR, "connection: no stream for its answers: %s", strerror(errno));
        close(fd);
    } else {
        set_answer_stream(out);
        while (read_policy_request(fd) != nullptr) {
            label_request();
            watchdog_arm();
            if (answer_request() != 0) {
                // The spawned daemon's failure exit, for this connection alone.
                log_msg(LOG_ERR, "error: cleaning up");
                free_dbkey();
                watchdog_disarm();
                log_msg(LOG_ERR, "error: exiting after cleanup");
                break;
            }
            fputc('\n', out);
            bool written = fflush(out) == 0;
            watchdog_disarm();
            if (!written)
                break;  // the mail server went away
        }
        // What a failed request wrote goes out, as the spawned daemon's
        // exit flushes it; the connection closes with the stream.
        fclose(out);
        set_answer_stream(nullptr);
    }
    free_dbkey();
    free_request_buffer();
    dns_release_thread();
    watchdog_leave();

    pthread_mutex_lock(&server.lock);
    if (--server.connections == 0)
        pthread_cond_broadcast(&server.all_closed);
    pthread_mutex_unlock(&server.lock);
    return nullptr;
}

// start_connection - a thread for an accepted connection; the connection is
// closed when none can be started.
void start_connection(int fd)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, connection_stack);
    pthread_mutex_lock(&server.lock);
    server.connections++;
    pthread_mutex_unlock(&server.lock);
    pthread_t thread;
    int ret = pthread_create(&thread, &attributes,
                             serve_connection, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    pthread_attr_destroy(&attributes);
    if (ret != 0) {
        log_msg(LOG_ERR, "connection refused: pthread_create: %s", strerror(ret));
        close(fd);
        pthread_mutex_lock(&server.lock);
        if (--server.connections == 0)
            pthread_cond_broadcast(&server.all_closed);
        pthread_mutex_unlock(&server.lock);
    }
}

// sweep_databases - the sweep thread's own handles; false when the triplets'
// cannot be had (logged).
bool open_sweep_handles(sweep_handles *handles)
{
    if (open_thread_own("triplets-1.db", &handles->triplets) != 0)
        return false;
    if (settings.auto_whitelist != 0)
        open_thread_own(clients_db_name, &handles->clients);
    if (settings.replies != 0)
        open_thread_own(replies_db_name, &handles->replies);
    return true;
}

void close_sweep_handles(sweep_handles *handles)
{
    for (DB *handle : {handles->triplets, handles->clients, handles->replies}) {
        int ret;
        if (handle != nullptr && (ret = handle->close(handle, 0)) != 0)
            report_db_error("DB close", ret);
    }
    *handles = sweep_handles{};
}

// sweep_regularly - the sweep thread: a slice of the shared sweep every
// sweep_interval seconds, until the stop.
void *sweep_regularly(void *)
{
    bind_record_buffer();
    sweep_handles handles;
    bool usable = open_sweep_handles(&handles);
    struct pollfd stop = {server.stop_pipe[0], POLLIN, 0};
    int interval_ms = static_cast<int>(settings.sweep_interval * 1000);
    for (;;) {
        int ready = poll(&stop, 1, interval_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready != 0 || stop_requested())
            break;
        if (!usable || !expiry_enabled)
            continue;
        watchdog_arm(bounded_step::sweep);
        run_sweep_over(expiry_slice, handles);
        watchdog_disarm();
    }
    close_sweep_handles(&handles);
    watchdog_leave();
    return nullptr;
}

// environment_event - the library's events. A failed environment cannot be
// mended from inside: the server ends, and its restart runs recovery. The
// library reports a panic that another process's recovery set in the shared
// regions (DB_REGISTER: a spawned daemon on the same home that found a dead
// one) as DB_EVENT_REG_PANIC, not DB_EVENT_PANIC; it leaves the environment
// as dead.
void environment_event(DB_ENV *, u_int32_t event, void *)
{
    if (event != DB_EVENT_PANIC && event != DB_EVENT_REG_PANIC)
        return;
    environment_failed = true;
    char byte = 0;
    (void)!write(server.wake_pipe[1], &byte, 1);
}

// open_storage - the environment and every database the options use, once,
// before the first connection. False after logging.
bool open_storage()
{
    open_free_threaded();
    DB_ENV *env;
    DB *handle;
    if (get_dbenv(&env) != 0 || get_db(&handle) != 0 ||
        (settings.auto_whitelist != 0 && get_clients_db(&handle) != 0) ||
        (settings.replies != 0 && get_replies_db(&handle) != 0)) {
        log_msg(LOG_ERR, "cannot open the databases in %s, exiting", settings.db_home);
        return false;
    }
    env->set_event_notify(env, environment_event);
    return true;
}

// raise_descriptor_limit - each connection holds a descriptor, and a
// thread's DNS worker two more: the soft limit goes up to the hard one.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// listening_stream - fd is a stream socket put to listen: what accept()
// takes. Anything else a supervisor hands over would leave the accept loop
// spinning (a file or an unlistened socket is always readable, accept fails
// at once) or deaf (a pipe, a datagram socket).
bool listening_stream(int fd)
{
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
        return false;
    size = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

// start_listening - the handed-over sockets, or those of the address.
bool start_listening()
{
    server.listener_count = handed_over_sockets(server.listeners);
    for (int i = 0; i < server.listener_count; i++) {
        if (!listening_stream(server.listeners[i])) {
            log_msg(LOG_ERR, "handed-over descriptor %d is no listening stream socket, "
                    "exiting", server.listeners[i]);
            return false;
        }
    }
    if (server.listener_count > 0) {
        log_msg(LOG_NOTICE, "listening on %d socket%s handed over by the supervisor",
                server.listener_count, server.listener_count == 1 ? "" : "s");
        return true;
    }
    server.listener_count = open_listeners(address, settings.socket_mode,
                                           settings.socket_group, server.listeners);
    if (server.listener_count == 0)
        return false;
    if (address.is_unix)
        server.unix_path = address.path;
    log_msg(LOG_NOTICE, "listening on %s", settings.listen);
    return true;
}

// accept_all - accept every connection waiting on `listener`.
void accept_all(int listener)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            start_connection(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors or memory: the connection stays queued, and
            // the loop waits a moment for connections to end. Logged once a
            // minute at most.
            static time_t logged;
            time_t now = time(nullptr);
            if (now - logged >= 60) {
                logged = now;
                log_msg(LOG_WARNING, "cannot accept a connection: %s", strerror(errno));
            }
            struct pollfd wake = {server.wake_pipe[0], POLLIN, 0};
            poll(&wake, 1, 100);
        }
        return;  // EAGAIN: none left; anything else is the listener's own
    }
}

// How the accept loop ended.
enum class loop_end { stop_signal, listener_failed, environment_failed };

// accept_until_stop - the main thread's loop, until a stop signal or a
// failure.
loop_end accept_until_stop()
{
    struct pollfd waits[max_listeners + 1];
    for (int i = 0; i < server.listener_count; i++)
        waits[i] = {server.listeners[i], POLLIN, 0};
    waits[server.listener_count] = {server.wake_pipe[0], POLLIN, 0};
    while (!stop_requested()) {
        if (environment_failed)
            return loop_end::environment_failed;
        // The stop signals are taken here alone: one that came after the
        // test above ends this wait at once.
        int ready = ppoll(waits, server.listener_count + 1, nullptr, &unblocked);
        if (ready < 0) {
            if (errno != EINTR)
                log_msg(LOG_ERR, "ppoll: %s", strerror(errno));
            continue;
        }
        for (int i = 0; i < server.listener_count; i++) {
            if (waits[i].revents & POLLNVAL) {
                // No socket (a supervisor handed over something else): the
                // server could only spin on it.
                log_msg(LOG_ERR, "listening descriptor %d is no open socket, stopping",
                        server.listeners[i]);
                return loop_end::listener_failed;
            }
            if (waits[i].revents & POLLIN)
                accept_all(server.listeners[i]);
        }
    }
    return environment_failed ? loop_end::environment_failed : loop_end::stop_signal;
}

// stop_serving - the orderly stop: no new connection, every thread done,
// the environment checkpointed and closed.
void stop_serving()
{
    for (int i = 0; i < server.listener_count; i++)
        close(server.listeners[i]);
    if (server.unix_path != nullptr)
        unlink(server.unix_path);
    notify_supervisor("STOPPING=1");
    // The stop is bounded like a request: a thread stuck in the library
    // would otherwise hold the server (and the mail server's requests) forever.
    watchdog_arm(bounded_step::stop);
    close(server.stop_pipe[1]);
    pthread_mutex_lock(&server.lock);
    while (server.connections > 0)
        pthread_cond_wait(&server.all_closed, &server.lock);
    pthread_mutex_unlock(&server.lock);
    if (server.sweeping)
        pthread_join(server.sweeper, nullptr);
    free_dbkey();
    cleanup();
    free_request_buffer();
    watchdog_disarm();
}

// start_sweeping - the sweep thread; without it the spawned daemons, or the
// next server, sweep.
void start_sweeping()
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, connection_stack);
    int ret = pthread_create(&server.sweeper, &attributes, sweep_regularly, nullptr);
    pthread_attr_destroy(&attributes);
    if (ret != 0)
        log_msg(LOG_ERR, "expiry sweep: pthread_create: %s, expired records stay",
                strerror(ret));
    else
        server.sweeping = true;
}

}  // namespace

int run_server()
{
    if (!parse_listen_address(settings.listen, &address))
        log_fatal("Invalid argument to --listen.  inet:HOST:PORT or unix:PATH expected");
    // A mail server that closes its end must not end the server with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    if (pipe2(server.stop_pipe, O_CLOEXEC) != 0 || pipe2(server.wake_pipe, O_CLOEXEC) != 0) {
        log_msg(LOG_ERR, "pipe2: %s", strerror(errno));
        return 1;
    }
    // Every thread started from here on keeps the stop signals blocked.
    sigset_t stops;
    stop_signal_set(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &unblocked);
    if (!open_storage()) {
        cleanup();
        return 1;
    }
    if (!start_listening()) {
        cleanup();
        return 1;
    }
    int ret;
    if ((ret = start_watchdog(request_time_limit)) != 0)
        log_msg(LOG_ERR, "watchdog: pthread_create: %s, requests are not bounded",
                strerror(ret));
    start_sweeping();
    notify_supervisor("READY=1");

    loop_end end = accept_until_stop();
    if (end == loop_end::environment_failed) {
        // The library declared the environment failed; nothing in it can be
        // trusted, not even its close.
        log_msg(LOG_ERR, "the environment failed: exiting, a restart runs recovery");
        _exit(1);
    }
    if (end == loop_end::listener_failed)
        request_stop("no listening socket");
    stop_serving();
    log_msg(LOG_NOTICE, "server stopped");
    return end == loop_end::stop_signal ? 0 : 1;
}
