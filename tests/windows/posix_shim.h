// The POSIX calls that the shared unit tests use and the Windows C library lacks, declared for
// the Windows build (included ahead of every test source there).
#pragma once
#include <cstdlib>

char *mkdtemp(char *tmpl);
int setenv(const char *name, const char *value, int overwrite);
int unsetenv(const char *name);
