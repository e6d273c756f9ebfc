// glibc's TYPE_3 additive feedback generator.
#include "driver/glibc_random.h"

void glibc_srand(glibc_random_state *state, uint32_t seed)
{
    if (seed == 0)
        seed = 1;
    // glibc keeps the seed in an int32_t and spreads it with 16807 * word
    // mod (2^31 - 1), computed by Schrage's method so nothing overflows.
    // Unrolled, slot k of the table is value k of the sequence v[k] =
    // v[k - 31] + v[k - 3] (from k = 34; v[31..33] repeat v[0..2]), and the
    // first 310 draws, discarded, are v[34..343]. Each line of a scrambled
    // page seeds twice, so they are computed straight along the sequence.
    uint32_t v[344];
    int32_t word = static_cast<int32_t>(seed);
    v[0] = seed;
    for (int i = 1; i < 31; ++i) {
        int32_t hi = word / 127773;
        int32_t lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0)
            word += 2147483647;
        v[i] = static_cast<uint32_t>(word);
    }
    for (int i = 31; i < 34; ++i)
        v[i] = v[i - 31];
    for (int i = 34; i < 344; ++i)
        v[i] = v[i - 31] + v[i - 3];
    // After 310 = 10 x 31 draws the table's cursors are back at 3 and 0,
    // and slot (3 + j) mod 31 holds the last value written there.
    for (int j = 0; j < 31; ++j)
        state->table[(3 + j) % 31] = v[313 + j];
    state->front = 3;
    state->rear = 0;
}

int32_t glibc_rand(glibc_random_state *state)
{
    uint32_t value = state->table[state->front] += state->table[state->rear];
    state->front = (state->front + 1) % 31;
    state->rear = (state->rear + 1) % 31;
    return static_cast<int32_t>(value >> 1);
}
