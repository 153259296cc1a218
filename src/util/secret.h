// Comparison of a given password with the node password in time that does not depend on
// where the two first differ.
#pragma once

// Returns 1 when the two strings are equal byte for byte, else 0.
int secret_equal(const char *given, const char *secret);
