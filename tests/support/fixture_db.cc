// SPDX-License-Identifier: BSD-2-Clause
// fixture_db.cc - fixture databases through the Berkeley DB C API.
#include "fixture_db.h"

#include <arpa/inet.h>
#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/stored_client.h"
#include "storage/stored_reply.h"

namespace {

[[noreturn]] void fixture_failed(const char *what, int ret)
{
    fprintf(stderr, "fixture: %s: %s\n", what, db_strerror(ret));
    abort();
}

DB_ENV *open_env(const std::string &home)
{
    DB_ENV *env;
    int ret;
    if ((ret = db_env_create(&env, 0)) != 0)
        fixture_failed("db_env_create", ret);
    if ((ret = env->open(env, home.c_str(),
                         DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG |
                             DB_INIT_MPOOL | DB_INIT_TXN | DB_REGISTER,
                         0)) != 0)
        fixture_failed("dbenv->open", ret);
    return env;
}

DBT bytes_dbt(const std::string &bytes)
{
    DBT d{};
    d.data = const_cast<char *>(bytes.data());
    d.size = static_cast<u_int32_t>(bytes.size());
    return d;
}

std::string with_tail(std::string head, const std::string &sender,
                      const std::string &recipient)
{
    head += sender;
    head.push_back('\0');
    head += recipient;
    return head;
}

}  // namespace

std::string record_value(time_t create_time, time_t access_time,
                         uint64_t block_count, uint64_t pass_count)
{
    std::string value(32, '\0');
    memcpy(&value[0], &create_time, 8);
    memcpy(&value[8], &access_time, 8);
    memcpy(&value[16], &block_count, 8);
    memcpy(&value[24], &pass_count, 8);
    return value;
}

record_fields decode_record(const std::string &value)
{
    record_fields f{};
    if (value.size() != 32) {
        fprintf(stderr, "fixture: value of %zu bytes is no record\n", value.size());
        abort();
    }
    memcpy(&f.create_time, &value[0], 8);
    memcpy(&f.access_time, &value[8], 8);
    memcpy(&f.block_count, &value[16], 8);
    memcpy(&f.pass_count, &value[24], 8);
    return f;
}

std::string ipv4_key(const std::string &dotted, const std::string &sender,
                     const std::string &recipient)
{
    unsigned char address[4];
    if (inet_pton(AF_INET, dotted.c_str(), address) != 1)
        abort();
    return with_tail(std::string(1, '\1') + std::string(reinterpret_cast<char *>(address), 4),
                     sender, recipient);
}

std::string ipv6_key(const std::string &text, const std::string &sender,
                     const std::string &recipient)
{
    unsigned char address[16];
    if (inet_pton(AF_INET6, text.c_str(), address) != 1)
        abort();
    return with_tail(std::string(1, '\2') + std::string(reinterpret_cast<char *>(address), 16),
                     sender, recipient);
}

std::string text_key(const std::string &address, const std::string &sender,
                     const std::string &recipient)
{
    return with_tail(std::string(1, '\0') + address + std::string(1, '\0'), sender,
                     recipient);
}

std::string domain_key(const std::string &domain, const std::string &sender,
                       const std::string &recipient)
{
    return with_tail(std::string(1, '\3') + domain + std::string(1, '\0'), sender,
                     recipient);
}

void put_records(const std::string &home, const std::string &file,
                 const record_list &records)
{
    put_generated(home, file, records.size(), [&](size_t i) { return records[i]; });
}

void put_generated(const std::string &home, const std::string &file, size_t count,
                   const std::function<std::pair<std::string, std::string>(size_t)> &make)
{
    // Small steps: each one write-locks the leaf pages it touches.
    constexpr size_t step = 200;
    DB_ENV *env = open_env(home);
    DB *database;
    DB_TXN *txn = nullptr;
    int ret;
    if ((ret = db_create(&database, env, 0)) != 0)
        fixture_failed("db_create", ret);
    if ((ret = database->open(database, nullptr, file.c_str(), nullptr, DB_BTREE,
                              DB_AUTO_COMMIT | DB_CREATE, 0644)) != 0)
        fixture_failed("db->open", ret);
    if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0)
        fixture_failed("txn_begin", ret);
    for (size_t i = 0; i < count; i++) {
        if (i > 0 && i % step == 0) {
            // Only the last commit must reach the disk: it flushes the log
            // of the earlier ones with it.
            if ((ret = txn->commit(txn, DB_TXN_NOSYNC)) != 0)
                fixture_failed("commit", ret);
            if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0)
                fixture_failed("txn_begin", ret);
        }
        auto [key, value] = make(i);
        DBT k = bytes_dbt(key), v = bytes_dbt(value);
        if ((ret = database->put(database, txn, &k, &v, 0)) != 0)
            fixture_failed("db->put", ret);
    }
    if ((ret = txn->commit(txn, 0)) != 0)
        fixture_failed("commit", ret);
    database->close(database, 0);
    env->close(env, 0);
}

record_list read_records(const std::string &home, const std::string &file)
{
    record_list records;
    DB_ENV *env = open_env(home);
    DB *database;
    DBC *cursor;
    int ret;
    if ((ret = db_create(&database, env, 0)) != 0)
        fixture_failed("db_create", ret);
    if ((ret = database->open(database, nullptr, file.c_str(), nullptr, DB_UNKNOWN,
                              DB_AUTO_COMMIT, 0)) != 0) {
        database->close(database, 0);
        env->close(env, 0);
        return records;  // no such database: no records
    }
    if ((ret = database->cursor(database, nullptr, &cursor, 0)) != 0)
        fixture_failed("db->cursor", ret);
    DBT k{}, v{};
    while ((ret = cursor->get(cursor, &k, &v, DB_NEXT)) == 0)
        records.emplace_back(std::string(static_cast<char *>(k.data), k.size),
                             std::string(static_cast<char *>(v.data), v.size));
    if (ret != DB_NOTFOUND)
        fixture_failed("cursor->get", ret);
    cursor->close(cursor);
    database->close(database, 0);
    env->close(env, 0);
    return records;
}

std::string rcpt_request(const std::string &client_address, const std::string &sender,
                         const std::string &recipient, const std::string &protocol)
{
    return "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=" +
           protocol + "\nclient_address=" + client_address +
           "\nclient_name=mail.example.net\nhelo_name=mail.example.net\nsender=" +
           sender + "\nrecipient=" + recipient + "\nqueue_id=\ninstance=1a2b.3c4d.0\n\n";
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char pair[4];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof pair, out.empty() ? "%02x" : " %02x", c);
        out += pair;
    }
    return out;
}

std::string client_value(time_t first_seen, time_t last_seen, uint64_t proven,
                         uint64_t listed)
{
    client_data_t record{first_seen, last_seen, proven, listed};
    return std::string(reinterpret_cast<const char *>(&record), sizeof record);
}

std::string ipv4_client_key(const std::string &dotted)
{
    std::string triplet = ipv4_key(dotted, "", "");
    return triplet.substr(0, client_key_length(triplet.data(), triplet.size()));
}

std::string reply_value(time_t first_written, time_t last_written, uint64_t replies)
{
    reply_data_t record{first_written, last_written, replies};
    return std::string(reinterpret_cast<const char *>(&record), sizeof record);
}
