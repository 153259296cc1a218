// A zip archive written to standard output as it is made: entries deflated by zlib, each one's
// CRC-32 and sizes in a descriptor after its data, zip64 records where the archive's size or
// entry count needs them.
#pragma once
#include <cstddef>
#include <cstdint>

// Starts an archive. Returns 1, or 0 when zlib could not be set up (nothing written).
int zip_begin(void);

// Starts an entry named name (UTF-8, '/' between folders), modified at mtime (seconds since
// 1970, UTC); an entry holds less than 4 GiB. Returns 1, or 0 when the name is empty or too
// long, or the archive is not open.
int zip_entry_begin(const char *name, int64_t mtime);

// Adds n bytes to the open entry. Returns 1, or 0 when zlib failed (the archive is then unusable).
int zip_entry_data(const char *data, size_t n);

// Ends the open entry with its descriptor and keeps its central record. Returns 1, or 0 on failure.
int zip_entry_end(void);

// Writes the central directory and the end records and releases everything. Returns 1, or 0
// when an entry failed or the directory could not be kept (no end records are then written, so
// no reader takes the archive for whole).
int zip_finish(void);

// Releases what zip_begin took without writing the end records (an archive given up).
void zip_abandon(void);
