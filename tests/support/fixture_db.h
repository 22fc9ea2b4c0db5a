// SPDX-License-Identifier: BSD-2-Clause
// fixture_db.h - databases written and read back through the library itself.
//
// Fixtures are real environments: records back-dated by writing their times,
// v0 databases, values of the wrong size. The helpers open the environment
// with the daemon's own flags and close it again before the daemon runs.
#ifndef MURVANE_TESTS_FIXTURE_DB_H
#define MURVANE_TESTS_FIXTURE_DB_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using record_list = std::vector<std::pair<std::string, std::string>>;

// record_value - the 32 stored bytes of a triplet record.
std::string record_value(time_t create_time, time_t access_time,
                         uint64_t block_count, uint64_t pass_count);

struct record_fields {
    time_t create_time;
    time_t access_time;
    uint64_t block_count;
    uint64_t pass_count;
    bool operator==(const record_fields &) const = default;
};
// decode_record - the fields of a 32-byte value.
record_fields decode_record(const std::string &value);

// ipv4_key / text_key - triplet keys in the stored layout.
std::string ipv4_key(const std::string &dotted, const std::string &sender,
                     const std::string &recipient);
std::string ipv6_key(const std::string &text, const std::string &sender,
                     const std::string &recipient);
std::string text_key(const std::string &address, const std::string &sender,
                     const std::string &recipient);
// domain_key - the key of an SPF-authorised domain (tag 3).
std::string domain_key(const std::string &domain, const std::string &sender,
                       const std::string &recipient);

// client_value - the 32 stored bytes of a client record (clients-1.db).
std::string client_value(time_t first_seen, time_t last_seen, uint64_t proven,
                         uint64_t listed);
// ipv4_client_key - the client key of an IPv4 address: a triplet key's tag
// and address part, cut to no prefix.
std::string ipv4_client_key(const std::string &dotted);
// reply_value - the stored bytes of a reply pair's record (replies-1.db).
std::string reply_value(time_t first_written, time_t last_written, uint64_t replies);

// put_records - store key/value pairs in a B-tree `file` of the environment
// at `home` (created when missing).
void put_records(const std::string &home, const std::string &file,
                 const record_list &records);

// put_generated - store the `count` records make(0) ... make(count - 1) the
// same way, committing every few hundred records: databases larger than one
// transaction could lock on the library's default lock table.
void put_generated(const std::string &home, const std::string &file, size_t count,
                   const std::function<std::pair<std::string, std::string>(size_t)> &make);

// read_records - every key/value pair of `file`, in key order.
record_list read_records(const std::string &home,
                         const std::string &file = "triplets-1.db");

// A policy request of the kind the mail server sends for one recipient.
std::string rcpt_request(const std::string &client_address, const std::string &sender,
                         const std::string &recipient,
                         const std::string &protocol = "ESMTP");

// Bytes shown as hex pairs ("01 c0 00 02 4d"), for readable failures.
std::string hex(const std::string &bytes);

#endif
