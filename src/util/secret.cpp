// Constant-time password comparison: every byte of the given text is looked at, whatever matches.
#include "util/secret.h"

#include <cstring>

int secret_equal(const char *given, const char *secret)
{
    size_t gl = strlen(given), sl = strlen(secret);
    unsigned diff = gl == sl ? 0u : 1u;
    // Compare against the secret's bytes cyclically so the loop's length is the given text's
    // alone; a length mismatch has already decided the result.
    for (size_t i = 0; i < gl; i++)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(given[i]) ^
                                      static_cast<unsigned char>(secret[sl ? i % sl : 0]));
    return diff == 0;
}
