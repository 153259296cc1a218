/* Baseline for process start: the least a statically linked program can do, print one line. */
#include <stdio.h>

int main(void)
{
    fputs("plugin_notes 1.0.0\n", stdout);
    return 0;
}
