// SPDX-License-Identifier: BSD-2-Clause
// resume_point.h - resuming a walk over a database in key order.
//
// A walk that must not keep a cursor open for long (the expiry pass commits
// its batches, the dump never writes while positioned) closes its cursor
// between batches and opens a new one for the next. The cursor's memory for
// the last key read dies with it, so the walk keeps its own copy and
// resumes from there with DB_SET_RANGE. Records written by other processes
// between two batches may or may not be met.
#ifndef MURVANE_STORAGE_RESUME_POINT_H
#define MURVANE_STORAGE_RESUME_POINT_H

#include <db.h>

#include <cstddef>

// Where the next batch resumes: a copy of the last key the previous batch
// read. Zero-initialize it before the first batch; free(data) at the end.
struct resume_point {
    void *data;       // grows to the longest key seen, freed at the walk's end
    size_t capacity;
    u_int32_t size;
    bool set;         // false before the first batch
};

// remember - copy the key just read as the point to resume from.
void remember(resume_point *resume, const DBT &key);

// next_record - the batch's next record under the cursor, read with
// `flags` added to the move. The first read of a batch after the first finds
// the first key past `resume`; that key itself, if it is still there, was
// handled by the previous batch. Returns the library's code (DB_NOTFOUND at
// the end of the database).
int next_record(DBC *dbcp, DBT *key, DBT *value, u_int32_t flags, bool first,
                const resume_point &resume);

#endif
