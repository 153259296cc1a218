// The generated folding table of smart search (scripts/gen_unifold.py writes its source at build
// time from the Unicode data files).
#pragma once

// A folded text is at most this many times as long as the text it came from.
constexpr unsigned UNIFOLD_GROWTH = 3;

// Block of each 256 code points (code point >> 8) into stage 2.
extern const unsigned short k_unifold_stage1[0x1100];
// Per code point of a block: 0 when it folds to itself, else an offset into the pool, where a
// length byte is followed by that many bytes of UTF-8 (length 0: the code point is dropped).
extern const unsigned short k_unifold_stage2[];
extern const unsigned char k_unifold_pool[];
