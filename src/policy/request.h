// SPDX-License-Identifier: BSD-2-Clause
// request.h - the policy request reader.
//
// One growing buffer holds the input from the mail server. After
// read_policy_request() the current request stands at the start of the buffer
// and ends at the first two adjacent newlines; what follows is input already
// received for the next requests. Values are handed out as positions inside
// the buffer, ended by their newline and never NUL-terminated.
#ifndef MURVANE_POLICY_REQUEST_H
#define MURVANE_POLICY_REQUEST_H

#include <cstddef>

extern thread_local char *request_buf;     // the heap block, null until the first read
extern thread_local size_t request_len;    // input bytes held, from the start of the block
extern thread_local size_t request_cap;    // size of the block: 0, 1024, then doubling

// read_policy_request - discard the previous request and make the next
// complete one stand at the start of the buffer. Returns the buffer, or null
// at the end of input, after a failed read, or on a stop request that left no
// complete unanswered request in the buffer.
char *read_policy_request(int input_fd);

// input_wait - how a thread waits for input on `fd`: 1 when input (or its
// end) is there, 0 when a stop was requested, -1 with errno set on a failure
// (logged by the reader), -2 when the reading must end quietly (the waiter
// logged why).
using input_wait = int (*)(int fd);

// set_connection_reading - the calling thread reads a connection of the
// resident server: it waits through `wait`, and a request that would need
// more than `bound` bytes ends the reading (logged at LOG_WARNING). The
// spawned daemon never calls it: it waits for its standard input or a stop
// signal, without a bound.
void set_connection_reading(input_wait wait, size_t bound);

// find_request_end - the position just past the first pair of adjacent
// newlines wholly inside [begin, end), or null.
char *find_request_end(char *begin, char *end);

// policy_attribute - the value of the first line "attribute=..." of the
// current request, or null. Never looks past the request's empty line.
char *policy_attribute(const char *attribute);

// attribute_text - a value (ended by its newline) copied into `out` as a C
// string. False when it holds a NUL or needs more than `room` bytes with its
// terminating NUL; `out` then holds nothing usable.
bool attribute_text(const char *value, char *out, size_t room);

// ip_address_bytes - the NUL-ended `text` as the client address it names:
// 4 bytes of an IPv4 address, or 16 of an IPv6 one, into `out`; an
// IPv4-mapped IPv6 address is the IPv4 address it carries. Returns the size,
// or 0 for text that is no address.
size_t ip_address_bytes(const char *text, unsigned char out[16]);

// free_request_buffer - release the block at the end of the run.
void free_request_buffer();

#endif
