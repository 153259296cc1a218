// The pin action: sets, clears or toggles a note's pinned flag and refreshes its update time.
#include <cstdio>
#include <cstdlib>

#include "actions/actions.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/query.h"
#include "util/response.h"

void do_pin(const Request *r)
{
    int want = -1;
    NoteRef ref;
    if (!note_lookup(r, 0, &ref))
        return;
    int i = ref.i;
    if (!json_find_int(g_body, "pin", &want)) {
        char q[16];
        if (get_query_val(r->query, "pin", q, sizeof q))
            want = atoi(q);
    }
    if (want < 0)
        want = g_meta[i].pinned == 0 ? 1 : 0;
    g_meta[i].pinned = want ? 1 : 0;
    iso_now(g_meta[i].updated);
    sort_meta();
    if (!save_index()) {
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    i = meta_find(r->id);
    char out[128];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"id\":\"%s\",\"pinned\":%d}\n", r->id, g_meta[i].pinned);
    json_header();
    out_write(out, static_cast<size_t>(n));
}
