// The prologue that the actions naming one note share: the id checked, the note found, or the
// request answered 400 or 404.
#include "actions/actions.h"
#include "store/index.h"
#include "store/meta.h"
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
