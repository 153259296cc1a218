// The action handlers; each writes one complete response for its action.
#pragma once
#include "request.h"

void do_list(const Request *r);
void do_search(const Request *r);
void do_get(const Request *r);
void do_save(const Request *r);
void do_delete(const Request *r);
void do_pin(const Request *r);
void do_render(const Request *r);
void do_trash(const Request *r);
void do_restore(const Request *r);
void do_export(const Request *r);
void do_import(const Request *r);

// Writes the editor page: its header block and the template with both theme assets in place.
void page_write(void);

// Writes the list body (after the header block) for all notes, or those matching filter.
void emit_list(const char *filter);
