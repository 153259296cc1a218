// The prologues that the actions naming one note or one trash entry share: the id checked, the
// note or entry found, or the request answered 400, 404 or 409.
#include <cstring>

#include "actions/actions.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
#include "util/query.h"
#include "util/response.h"

int action_valid_id(const Request *r)
{
    if (valid_id(r->id))
        return 1;
    json_err(400, "Bad Request", "invalid id");
    return 0;
}

int note_lookup(const Request *r, int want_rec, NoteRef *ref)
{
    ref->i = -1;
    ref->rec = nullptr;
    ref->rec_len = 0;
    if (!action_valid_id(r))
        return 0;
    // A read-only action answers from a plain index's record text; any other index is read into
    // the table (a changing action has it filled already).
    int total;
    if (want_rec && index_plain(&total)) {
        ref->rec = index_plain_find(r->id, &ref->rec_len);
    } else {
        if (want_rec)
            index_fill();
        ref->i = meta_find(r->id);
    }
    if (ref->rec || ref->i >= 0)
        return 1;
    json_err(404, "Not Found", "note not found");
    return 0;
}

// Returns the copy number of the "copy" parameter, TRASH_LATEST when it is absent or empty, or
// -3 when it is not a plain decimal number within the copy range.
static int query_copy(const char *query)
{
    char q[16];
    if (!get_query_val(query, "copy", q, sizeof q) || !q[0])
        return TRASH_LATEST;
    int k = 0;
    for (const char *p = q; *p; p++) {
        if (*p < '0' || *p > '9' || k > TRASH_COPY_MAX)
            return -3;
        k = k * 10 + (*p - '0');
    }
    return k <= TRASH_COPY_MAX ? k : -3;
}

int trash_lookup(const Request *r, TrashEntry *e)
{
    int copy = query_copy(r->query);
    if (copy != -3 && trash_find(r->id, copy, e))
        return 1;
    json_err(404, "Not Found", "note not found");
    return 0;
}

int trash_unchanged(const Request *r, const TrashEntry *e)
{
    char deleted[32];
    if (!get_query_val(r->query, "deleted", deleted, sizeof deleted) || strcmp(deleted, e->deleted) == 0)
        return 1;
    json_err(409, "Conflict", "trash entry changed");
    return 0;
}
