// SPDX-License-Identifier: BSD-2-Clause
// listener_test.cc - the server's addresses, its unix socket and the sockets
// a supervisor hands over.
#include "daemon/listener.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "run_daemon.h"

namespace {

struct address_case {
    const char *text;
    bool valid;
    bool is_unix;
    const char *host_or_path;
    const char *port;
};

void PrintTo(const address_case &c, std::ostream *os) { *os << c.text; }

const address_case address_cases[] = {
    {"inet:127.0.0.1:10023", true, false, "127.0.0.1", "10023"},
    {"inet:[::1]:10023", true, false, "::1", "10023"},
    {"inet:localhost:10023", true, false, "localhost", "10023"},
    {"unix:/var/spool/postfix/private/murvane", true, true,
     "/var/spool/postfix/private/murvane", nullptr},
    {"unix:relative/socket", true, true, "relative/socket", nullptr},
    // A bare IPv6 address is ambiguous about where its port starts.
    {"inet:::1:10023", false, false, nullptr, nullptr},
    {"inet:127.0.0.1", false, false, nullptr, nullptr},
    {"inet:127.0.0.1:", false, false, nullptr, nullptr},
    {"inet::10023", false, false, nullptr, nullptr},
    {"inet:127.0.0.1:smtp", false, false, nullptr, nullptr},
    {"inet:[::1]10023", false, false, nullptr, nullptr},
    {"inet:[::1:10023", false, false, nullptr, nullptr},
    {"unix:", false, false, nullptr, nullptr},
    {"tcp:127.0.0.1:10023", false, false, nullptr, nullptr},
    {"127.0.0.1:10023", false, false, nullptr, nullptr},
    {"", false, false, nullptr, nullptr},
};

class ListenAddress : public ::testing::TestWithParam<address_case> {};

TEST_P(ListenAddress, ReadInTheMailServersNotation)
{
    const address_case &c = GetParam();
    listen_address address;
    ASSERT_EQ(c.valid, parse_listen_address(c.text, &address));
    if (!c.valid)
        return;
    EXPECT_EQ(c.is_unix, address.is_unix);
    if (c.is_unix) {
        EXPECT_STREQ(c.host_or_path, address.path);
    } else {
        EXPECT_STREQ(c.host_or_path, address.host);
        EXPECT_STREQ(c.port, address.port);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ListenAddress, ::testing::ValuesIn(address_cases));

TEST(ListenAddress, PathLongerThanASocketAddressHoldsIsRefused)
{
    std::string text = "unix:/" + std::string(sizeof(sockaddr_un::sun_path), 'a');
    listen_address address;
    EXPECT_FALSE(parse_listen_address(text.c_str(), &address));
}

int unix_listeners(const std::string &path, unsigned mode, int fds[max_listeners])
{
    listen_address address;
    std::string text = "unix:" + path;
    if (!parse_listen_address(text.c_str(), &address))
        return -1;
    return open_listeners(address, mode, nullptr, fds);
}

bool connects(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
    close(fd);
    return ok;
}

// The socket gets the mode asked for whatever the umask; a stale socket is
// replaced; one a live server listens on, or a path that is no socket, is
// left alone.
TEST(UnixListener, ModeStaleSocketAndLiveServer)
{
    temp_dir dir;
    std::string path = dir.file("policy");
    mode_t old_mask = umask(077);
    int fds[max_listeners];
    ASSERT_EQ(1, unix_listeners(path, 0660, fds));
    umask(old_mask);
    struct stat made;
    ASSERT_EQ(0, stat(path.c_str(), &made));
    EXPECT_TRUE(S_ISSOCK(made.st_mode));
    EXPECT_EQ(0660u, made.st_mode & 0777);
    EXPECT_TRUE(connects(path));

    int second[max_listeners];
    EXPECT_EQ(0, unix_listeners(path, 0660, second)) << "took a live server's socket";
    close(fds[0]);  // its server is gone; the file stays behind
    ASSERT_EQ(1, unix_listeners(path, 0600, second));
    EXPECT_TRUE(connects(path));
    close(second[0]);

    std::string plain = dir.file("plain");
    FILE *f = fopen(plain.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
    EXPECT_EQ(0, unix_listeners(plain, 0660, second));
    struct stat kept;
    ASSERT_EQ(0, stat(plain.c_str(), &kept));
    EXPECT_TRUE(S_ISREG(kept.st_mode));
}

TEST(HandedOverSockets, OnlyThoseMeantForThisProcess)
{
    int fds[max_listeners];
    setenv("LISTEN_PID", std::to_string(getpid() + 1).c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
    EXPECT_EQ(0, handed_over_sockets(fds)) << "took another process's sockets";
    EXPECT_NE(nullptr, getenv("LISTEN_FDS"));
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", "0", 1);
    EXPECT_EQ(0, handed_over_sockets(fds));
    EXPECT_EQ(nullptr, getenv("LISTEN_FDS")) << "left the variables to a child";
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
}

}  // namespace
