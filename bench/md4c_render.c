/* Baseline renderer process: reads Markdown on standard input and writes md4c's HTML. */
#include <md4c-html.h>
#include <stdio.h>
#include <stdlib.h>

static void emit(const MD_CHAR *text, MD_SIZE size, void *userdata)
{
    (void)userdata;
    fwrite(text, 1, size, stdout);
}

int main(void)
{
    size_t cap = 1 << 20, len = 0, n;
    char *buf = malloc(cap);
    while (buf && (n = fread(buf + len, 1, cap - len, stdin)) > 0) {
        len += n;
        if (len == cap)
            buf = realloc(buf, cap *= 2);
    }
    if (!buf)
        return 1;
    int rc = md_html(buf, (MD_SIZE)len, emit, NULL, 0, 0);
    free(buf);
    return rc == 0 ? 0 : 1;
}
