// A small deterministic generator (xorshift64*), so a --seed repeats a run.
#include "sim.h"

static unsigned long long gState = 0x9E3779B97F4A7C15ull;

void rngSeed(unsigned long seed) {
    gState = 0x9E3779B97F4A7C15ull ^ ((unsigned long long)seed * 0xD1B54A32D192ED03ull);
    if (gState == 0) gState = 1;
}

unsigned long rngNext() {
    gState ^= gState >> 12;
    gState ^= gState << 25;
    gState ^= gState >> 27;
    return (unsigned long)((gState * 0x2545F4914F6CDD1Dull) >> 11);
}

double rngUniform() { return (double)(rngNext() & ((1ul << 52) - 1)) / (double)(1ul << 52); }
