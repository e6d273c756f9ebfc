#include <csignal>

#include "driver/pelmorin.h"

int main(int argc, char **argv)
{
    // Over a file size limit a write should fail, so that the page file cut
    // short is removed, rather than the signal ending the run half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    return pelmorin_main(argc, argv);
}
