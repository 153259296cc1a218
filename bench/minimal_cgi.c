/* Baseline CGI for server throughput: a fixed small JSON answer, nothing read from disk. */
#include <stdio.h>

int main(void)
{
    fputs("Content-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
          "X-Content-Type-Options: nosniff\r\n\r\n{\"ok\":true,\"count\":0,\"notes\":[]}\n",
          stdout);
    return 0;
}
