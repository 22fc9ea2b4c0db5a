// SPDX-License-Identifier: BSD-2-Clause
// request_test.cc - the request reader and attribute lookup, in process.
//
// The reader's state is process-wide (request_buf, request_len, request_cap,
// stop_reason, settings.debug), so every test starts from an empty buffer and
// no stop request. Lookups run on buffers that end at an unreadable page, so
// a read past the bytes held faults in every build, not only under ASan.
#include "policy/request.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "run_daemon.h"

namespace {

using namespace std::string_literals;

// Bytes placed so that the last one is the last readable byte of a page.
class guarded_bytes {
public:
    explicit guarded_bytes(const std::string &bytes)
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t pages = (bytes.size() + page_ - 1) / page_ + 1;
        if (bytes.empty())
            pages = 2;
        length_ = pages * page_;
        void *map = mmap(nullptr, length_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            abort();
        base_ = static_cast<char *>(map);
        char *guard = base_ + length_ - page_;
        if (mprotect(guard, page_, PROT_NONE) != 0)
            abort();
        data_ = guard - bytes.size();
        memcpy(data_, bytes.data(), bytes.size());
    }
    ~guarded_bytes() { munmap(base_, length_); }
    guarded_bytes(const guarded_bytes &) = delete;
    guarded_bytes &operator=(const guarded_bytes &) = delete;
    char *data() const { return data_; }

private:
    size_t page_ = 0, length_ = 0;
    char *base_ = nullptr, *data_ = nullptr;
};

// The bytes of a value as policy_attribute hands it out: up to its newline,
// or to the end of the held bytes should a value lack one.
std::string value_text(const char *value)
{
    const char *end = request_buf + request_len;
    const char *newline = static_cast<const char *>(memchr(value, '\n', end - value));
    return std::string(value, newline ? newline : end);
}

// The current request, from the buffer's start through its empty line.
std::string current_request()
{
    char *end = find_request_end(request_buf, request_buf + request_len);
    if (end == nullptr)
        return "(no complete request)";
    return std::string(request_buf, end);
}

void write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0) << strerror(errno);
        done += static_cast<size_t>(n);
    }
}

// A request of exactly `size` bytes: one attribute padded with 'x'.
std::string request_of_size(size_t size)
{
    std::string request = "a=";
    request.append(size - request.size() - 2, 'x');
    return request + "\n\n";
}

class RequestReader : public testing::Test {
protected:
    void SetUp() override
    {
        free_request_buffer();
        stop_reason = nullptr;
        exit_status = 0;
        settings.debug = 0;
        log_path_ = log_dir_.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path_.c_str(), 1);
    }

    void TearDown() override
    {
        unsetenv("MURVANE_SYSLOG_FILE");
        // A guarded buffer is not the reader's to free.
        if (guarded_) {
            request_buf = nullptr;
            request_len = request_cap = 0;
        }
        free_request_buffer();
        stop_reason = nullptr;
        exit_status = 0;
        settings.debug = 0;
        for (int fd : fds_)
            close(fd);
    }

    // hold - make `bytes` the reader's buffer, ending at an unreadable page.
    void hold(const guarded_bytes &bytes, size_t length)
    {
        free_request_buffer();
        guarded_ = true;
        request_buf = bytes.data();
        request_len = request_cap = length;
    }

    // A pipe whose read end the test hands to the reader.
    void make_pipe(int *read_end, int *write_end)
    {
        int p[2];
        ASSERT_EQ(0, pipe(p));
        fds_.push_back(p[0]);
        fds_.push_back(p[1]);
        *read_end = p[0];
        *write_end = p[1];
    }

    // A socket pair that keeps the writer's messages apart: each read()
    // returns one message, so the test decides how the input is cut.
    void make_packet_pair(int *read_end, int *write_end)
    {
        int s[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, s));
        fds_.push_back(s[0]);
        fds_.push_back(s[1]);
        *read_end = s[0];
        *write_end = s[1];
    }

    void close_fd(int fd)
    {
        for (auto &f : fds_)
            if (f == fd)
                f = -1;
        close(fd);
    }

    std::vector<std::string> log() const { return read_log_file(log_path_); }

    temp_dir log_dir_;
    std::string log_path_;
    bool guarded_ = false;
    std::vector<int> fds_;
};

// find_request_end

struct end_case {
    const char *name;
    std::string bytes;
    long expected;                      // offset of the end, -1 for none
    size_t limit = std::string::npos;   // stretch length when shorter than bytes
};

std::ostream &operator<<(std::ostream &os, const end_case &c) { return os << c.name; }

class FindRequestEnd : public RequestReader,
                       public testing::WithParamInterface<end_case> {};

TEST_P(FindRequestEnd, FindsFirstPairOfNewlines)
{
    const end_case &c = GetParam();
    size_t length = std::min(c.limit, c.bytes.size());
    guarded_bytes bytes(c.bytes.substr(0, length));
    char *end = find_request_end(bytes.data(), bytes.data() + length);
    long offset = end ? static_cast<long>(end - bytes.data()) : -1;
    EXPECT_EQ(c.expected, offset);
}

const end_case end_cases[] = {
    {"Empty", "", -1},
    {"SingleNewline", "\n", -1},
    {"TwoNewlines", "\n\n", 2},
    {"ThreeNewlines", "\n\n\n", 2},
    {"OneAttribute", "a=1\n\n", 5},
    {"TwoAttributes", "a=1\nb=2\n\n", 9},
    {"FirstOfTwoRequests", "a=1\n\nb=2\n\n", 5},
    {"NewlineIsLastByte", "a=1\n", -1},
    {"NoSecondNewline", "a=1\nb", -1},
    {"LeadingNewlineJoinsNextRequest", "\na=1\n", -1},
    {"LeadingNewlineThenRequest", "\na=1\n\n", 6},
    {"CarriageReturnsEndNothing", "a=1\r\n\r\n", -1},
    {"NulBytesDoNotStopTheSearch", "a=\0\0\n\nb"s, 6},
    {"PairCutByStretchEnd", "a=1\n\n", -1, 4},
    {"EmptyStretchOfLongerBuffer", "\n\n", -1, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, FindRequestEnd, testing::ValuesIn(end_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestReader, FindRequestEndWithBeginPastEndFindsNothing)
{
    guarded_bytes bytes("a\n\n");
    EXPECT_EQ(nullptr, find_request_end(bytes.data() + 3, bytes.data()));
}

// policy_attribute

struct attribute_case {
    const char *name;
    std::string held;     // the buffer's bytes
    const char *attribute;
    std::optional<std::string> value;
};

std::ostream &operator<<(std::ostream &os, const attribute_case &c) { return os << c.name; }

class PolicyAttribute : public RequestReader,
                        public testing::WithParamInterface<attribute_case> {};

TEST_P(PolicyAttribute, FindsValueInsideCurrentRequest)
{
    const attribute_case &c = GetParam();
    guarded_bytes bytes(c.held);
    hold(bytes, c.held.size());
    char *value = policy_attribute(c.attribute);
    if (!c.value) {
        EXPECT_EQ(nullptr, value) << "found \"" << value_text(value) << "\"";
        return;
    }
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(*c.value, value_text(value));
    // The value is a position inside the buffer, never a copy.
    EXPECT_GE(value, request_buf);
    EXPECT_LT(value, request_buf + request_len);
}

const attribute_case attribute_cases[] = {
    {"FirstLine", "sender=a@example.org\nrecipient=b@example.net\n\n", "sender",
     "a@example.org"},
    {"LaterLine", "sender=a@example.org\nrecipient=b@example.net\n\n", "recipient",
     "b@example.net"},
    {"Missing", "sender=a@example.org\n\n", "recipient", std::nullopt},
    {"FirstOfTwoLinesWins", "sender=first\nsender=second\n\n", "sender", "first"},
    {"NameIsCaseSensitive", "Sender=a@example.org\n\n", "sender", std::nullopt},
    {"LongerNameDoesNotMatch", "senders=x\nsender_x=y\n\n", "sender", std::nullopt},
    {"LongerNameBeforeExactOne", "senders=x\nsender=y\n\n", "sender", "y"},
    {"ShorterLineDoesNotMatch", "send\nsender=y\n\n", "sender", "y"},
    {"NameWithoutEquals", "sender\n\n", "sender", std::nullopt},
    {"EmptyValueIsPresent", "sender=\nrecipient=b\n\n", "sender", ""},
    {"EqualsSignsBelongToValue", "recipient=a=b==c@example.net\n\n", "recipient",
     "a=b==c@example.net"},
    {"CarriageReturnKept", "protocol_name=ESMTP\r\n\n", "protocol_name", "ESMTP\r"},
    {"EmptyFirstLineEndsLookup", "\nsender=a\n\n", "sender", std::nullopt},
    {"StopsAtEndOfRequest", "a=1\n\nsender=next\n\n", "sender", std::nullopt},
    {"NulInNameDoesNotMatch", "sen\0der=x\nsender=y\n\n"s, "sender", "y"},
    {"NulInValueKept", "sender=a\0b\nrecipient=c\n\n"s, "sender", "a\0b"s},
    {"NulInValueDoesNotEndLine", "x=\0sender=no\nsender=yes\n\n"s, "sender", "yes"},
    {"NulOnlyRequest", "\0\0\n\n"s, "sender", std::nullopt},
    // Held bytes that are no complete request: the lookup still stays inside.
    {"HeldBytesEndInsideName", "a=1\nsend", "sender", std::nullopt},
    {"HeldBytesEndAtName", "a=1\nsender", "sender", std::nullopt},
    {"HeldBytesEndAfterLine", "a=1\n", "sender", std::nullopt},
    {"NothingHeld", "", "sender", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, PolicyAttribute, testing::ValuesIn(attribute_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// read_policy_request

TEST_F(RequestReader, PipelinedRequestsAreServedWithoutFurtherReads)
{
    int in, out;
    make_pipe(&in, &out);
    write_all(out, "a=1\n\nb=2\nc=3\n\nd=4\n");
    // The write end is closed: a read in a later call would find the end of
    // input and return null instead of the request already held.
    close_fd(out);

    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ("a=1\n\n", current_request());
    EXPECT_EQ(18u, request_len) << "the first read took all that was there";

    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ("b=2\nc=3\n\n", current_request());
    ASSERT_NE(nullptr, policy_attribute("c"));
    EXPECT_EQ("3", value_text(policy_attribute("c")));
    EXPECT_EQ(nullptr, policy_attribute("a")) << "the first request was discarded";

    // Only an incomplete request is left: the input ends in it.
    EXPECT_EQ(nullptr, read_policy_request(in));
}

struct pieces_case {
    const char *name;
    std::vector<std::string> pieces;     // one read() each
    std::vector<std::string> requests;   // delivered in order, then null
};

std::ostream &operator<<(std::ostream &os, const pieces_case &c) { return os << c.name; }

class RequestPieces : public RequestReader,
                      public testing::WithParamInterface<pieces_case> {};

TEST_P(RequestPieces, DeliversEachRequestOnceComplete)
{
    const pieces_case &c = GetParam();
    int in, out;
    make_packet_pair(&in, &out);
    for (const auto &piece : c.pieces)
        ASSERT_EQ(static_cast<ssize_t>(piece.size()),
                  send(out, piece.data(), piece.size(), 0));
    shutdown(out, SHUT_WR);

    for (const auto &expected : c.requests) {
        ASSERT_EQ(request_buf, read_policy_request(in)) << "waiting for " << expected;
        EXPECT_EQ(expected, current_request());
    }
    EXPECT_EQ(nullptr, read_policy_request(in));
    for (const auto &line : log())
        ADD_FAILURE() << "logged: " << line;
}

const pieces_case pieces_cases[] = {
    {"RequestInLines", {"protocol_name=SMTP\n", "sender=a\n", "\n"},
     {"protocol_name=SMTP\nsender=a\n\n"}},
    {"PairOfNewlinesSplit", {"a=1\n", "\n", "b=2\n", "\nc=", "3\n\n"},
     {"a=1\n\n", "b=2\n\n", "c=3\n\n"}},
    {"SecondRequestStartsInFirstsPiece", {"a=1\n\nb=", "2\n\n"},
     {"a=1\n\n", "b=2\n\n"}},
    {"EndOfInputRightAfterRequest", {"a=1\n\n"}, {"a=1\n\n"}},
    {"EndOfInputMidRequest", {"a=1\n\n", "b=2\n", "c=3\n"}, {"a=1\n\n"}},
    {"EndOfInputAfterSingleNewline", {"a=1\n\n", "\n"}, {"a=1\n\n"}},
    {"LeadingNewlineJoinsRequest", {"\n", "a=1\n\n"}, {"\na=1\n\n"}},
    {"TwoNewlinesAreARequest", {"\n\n", "a=1\n\n"}, {"\n\n", "a=1\n\n"}},
    {"NoInput", {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Table, RequestPieces, testing::ValuesIn(pieces_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestReader, ByteByByteRequestIsDeliveredAtItsEmptyLineAndNotBefore)
{
    int in, out;
    make_packet_pair(&in, &out);
    const std::string request = "protocol_state=RCPT\nsender=\n\n";
    const std::string next = "a=1\n\n";
    for (char byte : request + next)
        ASSERT_EQ(1, send(out, &byte, 1, 0));
    shutdown(out, SHUT_WR);

    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ(request, current_request());
    // One read per byte, and none after the empty line had come.
    EXPECT_EQ(request.size(), request_len);
    ASSERT_NE(nullptr, policy_attribute("sender"));
    EXPECT_EQ("", value_text(policy_attribute("sender")));

    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ(next, current_request());
    EXPECT_EQ(nullptr, read_policy_request(in));
}

struct growth_case {
    const char *name;
    size_t request_size;
    size_t capacity;                      // after the request was read
    std::vector<std::string> allocations; // the debug lines, in order
};

std::ostream &operator<<(std::ostream &os, const growth_case &c) { return os << c.name; }

class BufferGrowth : public RequestReader,
                     public testing::WithParamInterface<growth_case> {};

TEST_P(BufferGrowth, StartsAt1024AndDoublesWhenFull)
{
    const growth_case &c = GetParam();
    settings.debug = 1;
    int in, out;
    make_pipe(&in, &out);
    const std::string request = request_of_size(c.request_size);
    write_all(out, request + "z=1\n\n");
    close_fd(out);

    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ(request, current_request());
    EXPECT_EQ(c.capacity, request_cap);

    // A small request after a large one leaves the block as it is.
    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ("z=1\n\n", current_request());
    EXPECT_EQ(c.capacity, request_cap);
    EXPECT_EQ(nullptr, read_policy_request(in));

    std::vector<std::string> expected;
    for (const auto &size : c.allocations)
        expected.push_back("debug\tallocate " + size + " bytes for request buffer");
    EXPECT_EQ(expected, log());
}

const growth_case growth_cases[] = {
    {"SmallRequest", 5, 1024, {"1024"}},
    {"ExactlyFillsFirstBlock", 1024, 1024, {"1024"}},
    {"OneByteMore", 1025, 2048, {"1024", "2048"}},
    {"ExactlyFillsSecondBlock", 2048, 2048, {"1024", "2048"}},
    {"SeveralDoublings", 5000, 8192, {"1024", "2048", "4096", "8192"}},
};

INSTANTIATE_TEST_SUITE_P(Table, BufferGrowth, testing::ValuesIn(growth_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(RequestReader, NoAllocationLineWithoutDebug)
{
    int in, out;
    make_pipe(&in, &out);
    write_all(out, request_of_size(3000));
    close_fd(out);
    ASSERT_EQ(request_buf, read_policy_request(in));
    EXPECT_EQ(4096u, request_cap);
    EXPECT_EQ(std::vector<std::string>{}, log());
}

TEST_F(RequestReader, FailedReadIsLoggedAndEndsInput)
{
    // A directory is always readable to poll() and fails every read().
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    fds_.push_back(dir);
    EXPECT_EQ(nullptr, read_policy_request(dir));
    EXPECT_EQ(std::vector<std::string>{"err\tread_policy_request failed (-1): " +
                                       std::string(strerror(EISDIR))},
              log());
}

// Stop requests: the reader hands back only a complete request that has not
// been answered yet, or null, and reads nothing more once the stop is known.

struct stop_case {
    const char *name;
    std::string first_read;    // arrives with the first (answered) request
    std::string still_queued;  // waits in the pipe when the stop comes
    std::optional<std::string> delivered;
};

std::ostream &operator<<(std::ostream &os, const stop_case &c) { return os << c.name; }

class StopRequest : public RequestReader,
                    public testing::WithParamInterface<stop_case> {};

TEST_P(StopRequest, HandsBackCompleteUnansweredRequestOrNothing)
{
    const stop_case &c = GetParam();
    int in, out;
    make_pipe(&in, &out);
    write_all(out, c.first_read);
    ASSERT_EQ(request_buf, read_policy_request(in));
    ASSERT_EQ("a=1\n\n", current_request());
    write_all(out, c.still_queued);

    stop_reason = "signal received";
    char *got = read_policy_request(in);
    if (c.delivered) {
        ASSERT_EQ(request_buf, got);
        EXPECT_EQ(*c.delivered, current_request());
    } else {
        EXPECT_EQ(nullptr, got) << "handed back: " << current_request();
    }

    // Whatever waited in the pipe is still there: the stop was not a read.
    std::string left(c.still_queued.size() + 1, '\0');
    fcntl(in, F_SETFL, O_NONBLOCK);
    ssize_t n = read(in, left.data(), left.size());
    EXPECT_EQ(c.still_queued, std::string(left.data(), n > 0 ? n : 0));
}

const stop_case stop_cases[] = {
    {"CompleteRequestWaitingInBuffer", "a=1\n\nb=2\n\n", "c=3\n\n", "b=2\n\n"},
    {"PartialRequestInBuffer", "a=1\n\nb=2\n", "\n", std::nullopt},
    {"OnlyTheAnsweredRequest", "a=1\n\n", "b=2\n\n", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, StopRequest, testing::ValuesIn(stop_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A stop signal while the reader waits for input ends the wait: the read
// fails with EINTR, which is logged after the signal's notice.
TEST_F(RequestReader, StopSignalWhileWaitingEndsTheWait)
{
    struct sigaction action {}, previous {};
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ASSERT_EQ(0, sigaction(SIGTERM, &action, &previous));
    void (*previous_hook)() = log_pending_hook;
    log_pending_hook = log_signal_notices;

    int in, out;
    make_pipe(&in, &out);
    pid_t reader_tid = static_cast<pid_t>(syscall(SYS_gettid));
    pthread_t reader = pthread_self();
    std::atomic<bool> saw_wait{false};
    std::thread signaller([&] {
        // Send the signal once the reader blocks in ppoll(), or after the
        // bound in any case, so that the test cannot hang.
        std::string path = "/proc/self/task/" + std::to_string(reader_tid) + "/syscall";
        for (int i = 0; i < 15000 && !saw_wait; i++) {
            std::ifstream in_syscall(path);
            long number = -1;
            in_syscall >> number;
            if (number == SYS_ppoll)
                saw_wait = true;
            else {
                struct timespec pause = {0, 2 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
        }
        pthread_kill(reader, SIGTERM);
    });

    char *got = read_policy_request(in);
    signaller.join();
    sigaction(SIGTERM, &previous, nullptr);
    log_pending_hook = previous_hook;

    ASSERT_TRUE(saw_wait) << "the reader never waited for input";
    EXPECT_EQ(nullptr, got);
    EXPECT_NE(nullptr, stop_reason);
    EXPECT_EQ(1, exit_status);
    EXPECT_EQ((std::vector<std::string>{
                  "notice\tReceived signal 15",
                  "err\tread_policy_request failed (-1): " + std::string(strerror(EINTR)),
              }),
              log());
}

}  // namespace
