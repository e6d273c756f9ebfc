// Exact replica of glibc's srand/rand (random_r TYPE_3: degree 31,
// separation 3), so scrambled pages come out the same on every platform.
#pragma once

#include <cstdint>

struct glibc_random_state {
    uint32_t table[31];
    int front;  // the glibc fptr, as an index
    int rear;   // the glibc rptr
};
void glibc_srand(glibc_random_state *state, uint32_t seed);
int32_t glibc_rand(glibc_random_state *state);
