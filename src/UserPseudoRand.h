/*
 * Process-wide pseudo-random numbers: the platform's arc4random family where
 * present, otherwise a clock-seeded xorshift generator. Not thread-safe.
 */
#ifndef USER_PSEUDO_RAND_H
#define USER_PSEUDO_RAND_H

#include <stdint.h>

uint32_t pseudo_random(void);
uint32_t pseudo_random_between(uint32_t min, uint32_t max);

#endif
