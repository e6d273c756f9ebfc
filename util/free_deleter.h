// The owner's deleter for blocks from the malloc family: used where an
// allocation failure must come back as a result, or a block grows in place
// with realloc.
#pragma once

#include <cstdlib>

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
