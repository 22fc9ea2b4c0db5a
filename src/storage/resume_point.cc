// SPDX-License-Identifier: BSD-2-Clause
// resume_point.cc - resuming a walk over a database in key order.
#include "storage/resume_point.h"

#include <cstring>

#include "common/xrealloc.h"

void remember(resume_point *resume, const DBT &key)
{
    if (key.data == resume->data)  // the resume key itself, found again
        return;
    if (resume->capacity < key.size || resume->data == nullptr) {
        resume->data = xrealloc(resume->data, key.size ? key.size : 1);
        resume->capacity = key.size ? key.size : 1;
    }
    if (key.size)
        memcpy(resume->data, key.data, key.size);
    resume->size = key.size;
    resume->set = true;
}

int next_record(DBC *dbcp, DBT *key, DBT *value, u_int32_t flags, bool first,
                const resume_point &resume)
{
    if (!first || !resume.set)
        return dbcp->c_get(dbcp, key, value, DB_NEXT | flags);
    *key = DBT{};
    key->data = resume.data;
    key->size = resume.size;
    int ret = dbcp->c_get(dbcp, key, value, DB_SET_RANGE | flags);
    if (ret == 0 && key->size == resume.size &&
        (resume.size == 0 || memcmp(key->data, resume.data, resume.size) == 0))
        ret = dbcp->c_get(dbcp, key, value, DB_NEXT | flags);
    return ret;
}
