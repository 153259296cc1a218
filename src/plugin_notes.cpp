// Process entry of the notes plug-in: one CGI request (or one command-line probe) per process.
#include "request.h"
#include "util/response.h"

int main(int argc, char **argv)
{
    out_init();
    return request_main(argc, argv);
}
