#include <gtest/gtest.h>
#include "util/textbuf.h"
TEST(TextBuf, FirstAppend) { TextBuf b = {}; buf_puts(&b, "abc"); EXPECT_EQ(b.capacity, 1024u); buf_free(&b); }
