// SPDX-License-Identifier: BSD-2-Clause
// fuzz_request_reader.cc - the request reader on arbitrary byte streams.
//
// Input layout: the low four bits of byte 0 give k, bit 4 turns debug logging
// on; the next k bytes are the read schedule; the rest is the stream on the
// daemon's standard input. read(2) is wrapped for this program: on the input
// descriptor it serves the stream in the pieces the schedule names, cycling
// through it. A schedule byte may instead stand for an event:
//
//   0xFF  a stop signal ends the wait for input (the read fails with EINTR)
//   0xFE  a stop signal arrives while a read delivers its piece
//   0xFD  the read fails with EIO
//   0xFC  a stop signal arrives just after the loop's own test, before the
//         reader is entered (consumed at the loop head; a plain read elsewhere)
//   else  a piece of v + 1 bytes (v < 0x80) or (v - 0x7F) * 97 bytes
//
// The loop is main's: read, screen with policy_attribute, build the triplet
// key for an SMTP or ESMTP RCPT request that has all three values. Checked
// against a model of the framing: the requests handed out are exactly the
// stream's requests in order, each once and whole; without a stop or a failed
// read every one of them is handed out; every lookup finds what a plain scan
// of the request's lines finds; the key is the model's key and the request is
// left as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/stop.h"
#include "fuzz_support.h"
#include "greylist/triplet_key.h"
#include "policy/request.h"

extern "C" ssize_t __real_read(int fd, void *buffer, size_t count);

namespace {

constexpr unsigned char event_wait_interrupted = 0xFF;
constexpr unsigned char event_signal_in_read = 0xFE;
constexpr unsigned char event_read_error = 0xFD;
constexpr unsigned char event_signal_at_loop_head = 0xFC;

// The stream being served and where the schedule stands.
struct feed_state {
    int fd = -1;                       // the reader's descriptor (on /dev/null)
    const unsigned char *schedule = nullptr;
    size_t schedule_size = 0;
    size_t schedule_next = 0;
    const unsigned char *stream = nullptr;
    size_t stream_size = 0;
    size_t stream_next = 0;
    bool stopped = false;              // a stop signal was simulated
    bool failed = false;               // a read failure was served
} feed;

unsigned char next_event()
{
    if (feed.schedule_size == 0)
        return 0x7F;  // 128-byte pieces
    unsigned char v = feed.schedule[feed.schedule_next % feed.schedule_size];
    feed.schedule_next++;
    return v;
}

unsigned char peek_event()
{
    if (feed.schedule_size == 0)
        return 0;
    return feed.schedule[feed.schedule_next % feed.schedule_size];
}

// What the signal handler would do; the notice is logged by the main flow.
void simulate_stop_signal(int signal_number)
{
    feed.stopped = true;
    handle_stop_signal(signal_number);
}

// Every request the stream holds, in order: each ends at the first pair of
// adjacent newlines after the end of the one before.
std::vector<std::string> model_requests(const unsigned char *stream, size_t size)
{
    std::vector<std::string> requests;
    size_t start = 0;
    for (size_t i = 0; i + 1 < size; i++) {
        if (stream[i] == '\n' && stream[i + 1] == '\n') {
            requests.emplace_back(reinterpret_cast<const char *>(stream) + start,
                                  i + 2 - start);
            start = i + 2;
            i++;
        }
    }
    return requests;
}

// Offset of the value of the first line "name=..." of a request, or -1;
// the scan stops at the empty line that ends the request.
long model_lookup(const std::string &request, const char *name)
{
    size_t length = strlen(name);
    size_t line = 0;
    while (line < request.size() && request[line] != '\n') {
        size_t newline = request.find('\n', line);
        if (newline - line > length && request.compare(line, length, name) == 0 &&
            request[line + length] == '=')
            return static_cast<long>(line + length + 1);
        line = newline + 1;
    }
    return -1;
}

// The value at `offset` up to its newline.
std::string value_at(const std::string &request, long offset)
{
    return request.substr(offset, request.find('\n', offset) - offset);
}

bool value_is(const std::string &request, long offset, const char *word)
{
    return offset >= 0 && value_at(request, offset) == word;
}

// look_up - policy_attribute(name), checked against the model.
char *look_up(const std::string &request, const char *name)
{
    char *value = policy_attribute(name);
    long expected = model_lookup(request, name);
    if (expected < 0) {
        fuzz_check(value == nullptr);
    } else {
        fuzz_check(value == request_buf + expected);
    }
    return value;
}

// screen - main's screening of one request, then the key when it applies.
void screen(const std::string &request)
{
    char *name = look_up(request, "protocol_name");
    char *state = name ? look_up(request, "protocol_state") : nullptr;
    if (!name || !state)
        return;
    long name_at = name - request_buf, state_at = state - request_buf;
    if (!(value_is(request, name_at, "SMTP") || value_is(request, name_at, "ESMTP")) ||
        !value_is(request, state_at, "RCPT"))
        return;
    char *client = look_up(request, "client_address");
    char *sender = look_up(request, "sender");
    char *recipient = look_up(request, "recipient");
    if (!client || !sender || !recipient)
        return;

    fuzz_check(build_triplet_key(client, sender, recipient) == 0);
    // The newline that ended client_address for the parse is back in place.
    fuzz_check(memcmp(request_buf, request.data(), request.size()) == 0);
    std::string key(static_cast<const char *>(dbkey.data), dbkey.size);
    fuzz_check(key == model_triplet_key(value_at(request, client - request_buf),
                                        value_at(request, sender - request_buf),
                                        value_at(request, recipient - request_buf),
                                        settings.network_prefix,
                                        settings.network6_prefix));
}

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void *buffer, size_t count)
{
    if (fd != feed.fd || feed.fd < 0)
        return __real_read(fd, buffer, count);
    unsigned char event = next_event();
    if (event == event_wait_interrupted) {
        simulate_stop_signal(SIGTERM);
        errno = EINTR;
        return -1;
    }
    if (event == event_read_error) {
        feed.failed = true;
        errno = EIO;
        return -1;
    }
    size_t piece = event < 0x80 ? event + 1u : (event - 0x7Fu) * 97u;
    size_t left = feed.stream_size - feed.stream_next;
    if (piece > left)
        piece = left;
    if (piece > count)
        piece = count;
    memcpy(buffer, feed.stream + feed.stream_next, piece);
    feed.stream_next += piece;
    if (event == event_signal_in_read)
        simulate_stop_signal(SIGINT);
    return static_cast<ssize_t>(piece);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (feed.fd < 0) {
        // Always readable, so the reader's wait returns at once and the
        // wrapped read decides what arrives.
        feed.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        fuzz_check(feed.fd >= 0);
    }
    size_t k = data[0] & 0x0F;
    if (k > size - 1)
        k = size - 1;
    settings.debug = (data[0] & 0x10) != 0;
    feed.schedule = data + 1;
    feed.schedule_size = k;
    feed.schedule_next = 0;
    feed.stream = data + 1 + k;
    feed.stream_size = size - 1 - k;
    feed.stream_next = 0;
    feed.stopped = feed.failed = false;

    std::vector<std::string> expected = model_requests(feed.stream, feed.stream_size);
    size_t delivered = 0;
    while (!stop_requested()) {
        if (peek_event() == event_signal_at_loop_head) {
            next_event();
            simulate_stop_signal(SIGHUP);
        }
        char *request = read_policy_request(feed.fd);
        if (request == nullptr)
            break;
        fuzz_check(request == request_buf);
        char *end = find_request_end(request_buf, request_buf + request_len);
        fuzz_check(end != nullptr);
        fuzz_check(delivered < expected.size());
        std::string got(request_buf, end - request_buf);
        fuzz_check(got == expected[delivered]);
        delivered++;
        screen(got);
    }
    if (!feed.stopped && !feed.failed)
        fuzz_check(delivered == expected.size());

    // Back to a process that has seen no signal and holds no input.
    log_signal_notices();
    stop_reason = nullptr;
    exit_status = 0;
    free_request_buffer();
    return 0;
}
