#include <csignal>

#include "driver/pelmorin.h"
#include "util/fdio.h"

int main(int argc, char **argv)
{
    // A closed standard descriptor would be taken by the input or a page
    // file, and messages would be written into it.
    if (!fd_open_standard_descriptors())
        return 1;
    // Over a file size limit a write should fail, so that the page file cut
    // short is removed, rather than the signal ending the run half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    return pelmorin_main(argc, argv);
}
