// Process entry of the notes plug-in: one CGI request (or one command-line probe) per process.
#include "request.h"

int main(int argc, char **argv)
{
    return request_main(argc, argv);
}
