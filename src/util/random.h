// Random numbers: MT19937 with the multiplier-69069 seeding, and rand32 from the C library.
#pragma once

// Next 32-bit output of the generator; an unseeded generator first seeds itself with 4357.
unsigned genrand();
// Seeds the generator: mt[0] = seed, mt[i] = 69069 * mt[i-1] (32-bit).
void sgenrand(unsigned seed);
// Forgets the seeding, as when the module is loaded afresh.
void genrandReset();
// (rand() << 16) | rand(), the second value unmasked.
unsigned rand32();
