// The editor page: a fixed header block, then the page template with its head marker (byte 1)
// replaced by the theme head block and its body marker (byte 2) by the theme bridge script.
#include <cstring>

#include "actions/actions.h"
#include "assets.h"
#include "util/response.h"

static const char k_page_header[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
    "base-uri 'none'\r\n"
    "\r\n";

void page_write(void)
{
    out_write(k_page_header, sizeof k_page_header - 1);
    const char *p = k_asset_page;
    const char *end = k_asset_page + k_asset_page_len;
    while (p < end) {
        const char *run = p;
        while (p < end && *p != '\1' && *p != '\2')
            p++;
        out_write(run, static_cast<size_t>(p - run));
        if (p == end)
            break;
        if (*p == '\1')
            out_write(k_asset_theme_head, k_asset_theme_head_len);
        else
            out_write(k_asset_theme_bridge, k_asset_theme_bridge_len);
        p++;
    }
}
