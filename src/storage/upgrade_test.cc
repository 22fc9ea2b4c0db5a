// SPDX-License-Identifier: BSD-2-Clause
// upgrade_test.cc - converting v0 keys, and the conversion's outcomes.
//
// v0 keys are handed over in heap blocks of exactly their size, so that the
// sanitizer build catches a read beyond a key that lacks its NULs.
#include "storage/upgrade.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fixture_db.h"
#include "run_daemon.h"
#include "storage/environment.h"

namespace {

const std::string sender = "s@example.com";     // 13 bytes
const std::string recipient = "r@example.org";  // 13 bytes

std::string v0_key(const std::string &address, const std::string &s = sender,
                   const std::string &r = recipient)
{
    return address + std::string(1, '\0') + s + std::string(1, '\0') + r;
}

// The converted key: tag and address part as given, then the tail.
std::string converted_key(const std::string &tag_and_address,
                          const std::string &s = sender, const std::string &r = recipient)
{
    return tag_and_address + s + std::string(1, '\0') + r;
}

std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

struct conversion {
    int code;
    std::string key;
};

// convert - one key through convert_v0_key, from an exact-size block.
conversion convert(const std::string &key, v0_buffers *buffers)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[key.size()]);
    memcpy(block.get(), key.data(), key.size());
    DBT out{};
    int code = convert_v0_key(block.get(), key.size(), buffers, &out);
    if (code != 0)
        return {code, ""};
    return {0, std::string(static_cast<char *>(out.data), out.size)};
}

// --- convert_v0_key -------------------------------------------------------

struct address_case {
    const char *name;
    std::string text;        // the v0 address text
    std::string converted;   // tag and address part; empty on failure
    int code;
};

class ConvertAddress : public ::testing::TestWithParam<address_case> {};

TEST_P(ConvertAddress, GivesTheTagAndAddressPart)
{
    const address_case &c = GetParam();
    v0_buffers buffers{};
    conversion result = convert(v0_key(c.text), &buffers);
    free_v0_buffers(&buffers);
    EXPECT_EQ(c.code, result.code) << c.text;
    if (c.code == 0) {
        EXPECT_EQ(hex(converted_key(c.converted)), hex(result.key)) << c.text;
    }
}

const address_case address_cases[] = {
    {"dotted_quad", "192.0.2.77", bytes({1, 0xc0, 0x00, 0x02, 0x4d}), 0},
    {"two_dots", "192.0.2", bytes({1, 0xc0, 0x00, 0x02, 0x00}), 0},
    {"one_dot", "10.1", bytes({1, 0x0a, 0x01, 0x00, 0x00}), 0},
    {"ipv6", "2001:db8::1",
     bytes({2, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}), 0},
    // Without a dot and not IPv6: the text itself, a lone number included.
    {"dotless_name", "localhost", std::string(1, '\0') + "localhost" + std::string(1, '\0'),
     0},
    {"dotless_number", "10", std::string(1, '\0') + "10" + std::string(1, '\0'), 0},
    {"empty_text", "", std::string(2, '\0'), 0},
    // Dotted, but no IPv4 address even after the ".0" padding.
    {"mapped_ipv6", "::ffff:192.0.2.1", "", EINVAL},
    {"host_name", "mail.example.com", "", EINVAL},
    {"five_parts", "1.2.3.4.5", "", EINVAL},
    {"byte_out_of_range", "192.0.2.256", "", EINVAL},
    {"trailing_dot", "10.", "", EINVAL},
};

INSTANTIATE_TEST_SUITE_P(Addresses, ConvertAddress, ::testing::ValuesIn(address_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ConvertV0Key, ThirtyFiveByteKeyBecomesThirtyTwoBytes)
{
    std::string key = v0_key("192.0.2");
    ASSERT_EQ(35u, key.size());
    v0_buffers buffers{};
    conversion result = convert(key, &buffers);
    ASSERT_EQ(0, result.code);
    EXPECT_EQ(32u, result.key.size());
    EXPECT_EQ(hex(bytes({1, 0xc0, 0x00, 0x02, 0x00}) + sender + std::string(1, '\0') +
                  recipient),
              hex(result.key));
    // Room for the key with 16 bytes behind the tag: 1 + 16 + 13 + 1 + 13.
    EXPECT_EQ(44u, buffers.key_cap);
    free_v0_buffers(&buffers);
}

// Only the first two NULs split the key; whatever follows is the recipient.
TEST(ConvertV0Key, RecipientKeepsItsBytesUpToTheKeysEnd)
{
    v0_buffers buffers{};
    std::string tail = std::string("r@example.org\0", 14);
    conversion result = convert(v0_key("192.0.2.1", "", tail), &buffers);
    free_v0_buffers(&buffers);
    ASSERT_EQ(0, result.code);
    EXPECT_EQ(hex(bytes({1, 0xc0, 0x00, 0x02, 0x01, 0}) + tail), hex(result.key));
}

struct broken_case {
    const char *name;
    std::string key;
};

class ConvertBrokenKey : public ::testing::TestWithParam<broken_case> {};

// The address text and the sender must both end within the key; the check
// reads no byte past the key's size.
TEST_P(ConvertBrokenKey, FailsWithEinval)
{
    v0_buffers buffers{};
    conversion result = convert(GetParam().key, &buffers);
    free_v0_buffers(&buffers);
    EXPECT_EQ(EINVAL, result.code) << hex(GetParam().key);
}

const broken_case broken_cases[] = {
    {"empty", ""},
    {"no_nul", "192.0.2.1"},
    {"no_sender_nul", std::string("192.0.2.1\0s@example.com", 23)},
    {"one_nul_only", std::string(1, '\0')},
};

INSTANTIATE_TEST_SUITE_P(Keys, ConvertBrokenKey, ::testing::ValuesIn(broken_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The library hands out an empty v0 key with no data at all: it is refused
// before anything is searched (memchr on a null pointer is undefined).
TEST(ConvertV0Key, EmptyKeyWithoutDataIsRefused)
{
    v0_buffers buffers{};
    DBT out{};
    EXPECT_EQ(EINVAL, convert_v0_key(nullptr, 0, &buffers, &out));
    EXPECT_EQ(nullptr, out.data);
    free_v0_buffers(&buffers);
}

TEST(ConvertV0Key, ShortestKeyHoldsTwoNulsOnly)
{
    v0_buffers buffers{};
    conversion result = convert(std::string(2, '\0'), &buffers);
    free_v0_buffers(&buffers);
    ASSERT_EQ(0, result.code);
    EXPECT_EQ(std::string(3, '\0'), result.key);
}

// The scratch buffers only grow: a short key after a long one is converted
// from its own bytes alone.
TEST(ConvertV0Key, BuffersServeKeysOfEverySize)
{
    v0_buffers buffers{};
    const std::string long_text(300, 'x');
    conversion first =
        convert(v0_key(long_text + ".example", std::string(200, 's'), "r"), &buffers);
    EXPECT_EQ(EINVAL, first.code);
    conversion second = convert(v0_key(long_text, std::string(200, 's'), "r"), &buffers);
    ASSERT_EQ(0, second.code);
    EXPECT_EQ(std::string(1, '\0') + long_text + std::string(1, '\0') +
                  std::string(200, 's') + std::string(1, '\0') + "r",
              second.key);
    size_t cap = buffers.key_cap;
    conversion third = convert(v0_key("10.1", "", ""), &buffers);
    ASSERT_EQ(0, third.code);
    EXPECT_EQ(hex(bytes({1, 0x0a, 0x01, 0x00, 0x00, 0})), hex(third.key));
    EXPECT_EQ(cap, buffers.key_cap);
    free_v0_buffers(&buffers);
    EXPECT_EQ(nullptr, buffers.key);
    EXPECT_EQ(nullptr, buffers.address);
}

// --- upgrade_from_v0 ------------------------------------------------------

const std::string record = record_value(1700000000, 1700000600, 2, 0);

struct upgrade_case {
    const char *name;
    bool v0_file;             // whether triplets.db exists at all
    record_list v0;           // its records
    bool new_file;            // whether triplets-1.db exists beforehand
    int code;                 // what the conversion returns
    record_list converted;    // triplets-1.db afterwards (when it exists)
    std::vector<std::string> log;  // what the conversion logs
};

class UpgradeFromV0 : public ::testing::TestWithParam<upgrade_case> {
protected:
    void SetUp() override
    {
        log_path = home.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
        settings.db_home = home.path.c_str();
    }
    void TearDown() override
    {
        cleanup();
        unsetenv("MURVANE_SYSLOG_FILE");
    }
    temp_dir home;
    std::string log_path;
};

TEST_P(UpgradeFromV0, ConvertsAllOrNothing)
{
    const upgrade_case &c = GetParam();
    if (c.v0_file)
        put_records(home.path, "triplets.db", c.v0);
    if (c.new_file)
        put_records(home.path, "triplets-1.db", {});
    DB_ENV *env;
    ASSERT_EQ(0, get_dbenv(&env));
    int code = upgrade_from_v0(env);
    EXPECT_EQ(c.code, code) << db_strerror(code);
    EXPECT_EQ(c.log, read_log_file(log_path));
    cleanup();

    // With triplets-1.db there already, another process converted first:
    // nothing is converted, and triplets.db is left alone.
    bool converted = c.code == 0 && c.v0_file && !c.new_file;
    EXPECT_EQ(c.v0_file && !converted, std::filesystem::exists(home.file("triplets.db")));
    EXPECT_EQ(converted || c.new_file, std::filesystem::exists(home.file("triplets-1.db")));
    if (c.v0_file && !converted) {
        EXPECT_EQ(c.v0, read_records(home.path, "triplets.db")) << "v0 database changed";
    }
    if (converted) {
        EXPECT_EQ(c.converted, read_records(home.path));
    }
}

const std::string warning = "warning\tUpgrading from database format v0";

const upgrade_case upgrade_cases[] = {
    {"nothing_to_convert", false, {}, false, 0, {}, {}},
    {"empty_v0", true, {}, false, 0, {}, {warning}},
    // Values are carried over byte for byte, whatever their length.
    {"records",
     true,
     {{v0_key("192.0.2.77"), record},
      {v0_key("2001:db8::1"), std::string(10, '\x5a')},
      {v0_key("localhost"), record + "tail"}},
     false,
     0,
     {{converted_key(std::string(1, '\0') + "localhost" + std::string(1, '\0')),
       record + "tail"},
      {converted_key(bytes({1, 0xc0, 0x00, 0x02, 0x4d})), record},
      {converted_key(bytes({2, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})),
       std::string(10, '\x5a')}},
     {warning}},
    {"same_converted_key",
     true,
     {{v0_key("192.0.2"), record}, {v0_key("192.0.2.0"), record}},
     false,
     DB_KEYEXIST,
     {},
     {warning, std::string("err\tupgrade_from_v0 db1->put: ") + db_strerror(DB_KEYEXIST)}},
    {"bad_address_after_good_ones",
     true,
     {{v0_key("192.0.2.1"), record}, {v0_key("mail.example.com"), record}},
     false,
     EINVAL,
     {},
     {warning}},
    {"broken_key", true, {{v0_key("192.0.2.1"), record}, {"no-nul-at-all", record}}, false,
     EINVAL, {}, {warning}},
    // Another process converted while this one waited for its first open.
    {"new_file_exists", true, {{v0_key("192.0.2.1"), record}}, true, 0, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Databases, UpgradeFromV0, ::testing::ValuesIn(upgrade_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
