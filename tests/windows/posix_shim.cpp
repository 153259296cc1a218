// Windows versions of mkdtemp, setenv and unsetenv for the shared unit tests.
#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

char *mkdtemp(char *tmpl)
{
    size_t n = strlen(tmpl);
    if (n < 6 || strcmp(tmpl + n - 6, "XXXXXX") != 0)
        return nullptr;
    static const char k_letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned state = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; attempt++) {
        for (size_t i = n - 6; i < n; i++) {
            state = state * 1103515245u + 12345u;
            tmpl[i] = k_letters[(state >> 16) % 36];
        }
        if (_mkdir(tmpl) == 0)
            return tmpl;
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

int setenv(const char *name, const char *value, int overwrite)
{
    if (!overwrite && getenv(name))
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

int unsetenv(const char *name)
{
    // An empty value removes the variable on Windows.
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
