// SPDX-License-Identifier: BSD-2-Clause
// xrealloc.h - heap growth that cannot fail quietly.
#ifndef MURVANE_COMMON_XREALLOC_H
#define MURVANE_COMMON_XREALLOC_H

#include <cstddef>

// xrealloc - resize block to size bytes; when the system has no memory left,
// log "fatal: out of memory in xrealloc: <reason>" and abort.
void *xrealloc(void *block, size_t size);

#endif
