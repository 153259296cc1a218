// Test helper of the Windows build: takes the notes directory lock on the folder named by its
// argument through the platform layer, says "locked", and holds it until its input ends or it
// is killed. The end-to-end tests under wine start it beside the program.
#include <cstdio>

#include "platform/platform.h"

int main(int argc, char **argv)
{
    if (argc < 2 || !plat_lock_dir(argv[1], 60000)) {
        puts("not locked");
        return 1;
    }
    puts("locked");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    plat_unlock_dir();
    return 0;
}
