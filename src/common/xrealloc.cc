// SPDX-License-Identifier: BSD-2-Clause
// xrealloc.cc - heap growth for the request and key buffers.
#include "common/xrealloc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

void *xrealloc(void *block, size_t size)
{
    void *grown = realloc(block, size);
    if (grown == nullptr && size != 0) {
        log_msg(LOG_ERR, "fatal: out of memory in xrealloc: %s", strerror(errno));
        fatal_abort();
    }
    return grown;
}
