// The shapes every API answer shares: the JSON header block, the error response and raw output.
#pragma once
#include <cstddef>

// Writes n bytes to standard output; the result of the write is deliberately ignored.
void out_write(const char *data, size_t n);

// Writes a NUL-terminated string to standard output.
void out_puts(const char *s);

// Writes s (n bytes) escaped as the inside of a JSON string literal, without the quotes, so a
// long text can go out piece by piece.
void out_json_part(const char *s, size_t n);

// Gives standard output a large buffer so big answers leave in few writes.
void out_init(void);

// Writes the JSON header block (content type, no-store, nosniff, empty line).
void json_header(void);

// Writes a whole error response: status line (for 400/403/404/405/409/413/500/503), header
// block, envelope.
void json_err(int status, const char *reason, const char *message);

// As json_err, with extra header lines (each ending in CR LF, may be null) after the status line.
void json_err_headers(int status, const char *reason, const char *headers, const char *message);

// Writes the fixed 401 response of the password gate.
void json_unauthorized(void);
