// Turns a fuzz input into the NUL-terminated text the program's readers expect.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Returns a heap copy of the size bytes at data with a NUL after them, or null without memory.
inline char *fuzz_text(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(malloc(size + 1));
    if (text) {
        memcpy(text, data, size);
        text[size] = '\0';
    }
    return text;
}
