#include "UserPseudoRand.h"

#include <cstdio>
#include <ctime>

#if defined(__GNUC__) && !defined(_WIN32)
/*
 * Weak references, under private names so that the C library's own
 * declarations (noexcept in C++) do not clash: null where the platform lacks
 * the function, which selects the fallback. The assembler names carry the
 * platform's prefix for C symbols ("_" on Mach-O, none on ELF).
 */
#define STRINGIFY(x) #x
#define PREFIXED(prefix, name) STRINGIFY(prefix) name
#define C_NAME(name) PREFIXED(__USER_LABEL_PREFIX__, name)
extern "C" uint32_t platform_arc4random(void) __asm__(C_NAME("arc4random"))
    __attribute__((weak));
extern "C" uint32_t platform_arc4random_uniform(uint32_t bound) __asm__(
    C_NAME("arc4random_uniform")) __attribute__((weak));
#else
/* No weak references on this toolchain: both count as absent. */
static uint32_t (*const platform_arc4random)(void) = nullptr;
static uint32_t (*const platform_arc4random_uniform)(uint32_t) = nullptr;
#endif

/* The fallback generator's state; zero until its first draw seeds it. */
static uint32_t pseudo_random_state;

/*
 * Seed used when the clock's low 32 bits read 0, which would otherwise leave
 * the state at zero forever: 0x9E3779B9, 2^32 divided by the golden ratio.
 */
static const uint32_t zero_clock_seed = 0x9E3779B9u;

/* One step of Marsaglia's xorshift32 with the triple 13, 17, 5. */
static uint32_t
xorshift32(uint32_t s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

/*
 * Seed the fallback generator from the clock, with the warning that the
 * platform's generator is missing, and return the seed: never zero.
 */
static uint32_t
clock_seed(void)
{
    fprintf(stderr, "Warning: arc4random is not available!\n");
    const uint32_t seed = static_cast<uint32_t>(time(NULL));
    return seed != 0 ? seed : zero_clock_seed;
}

/*
 * Advance the fallback generator, seeding it first if it is not, and return
 * its new state.
 */
static uint32_t
fallback_draw(void)
{
    uint32_t s = pseudo_random_state;
    if (s == 0)
        s = clock_seed();
    s = xorshift32(s);
    pseudo_random_state = s;
    return s;
}

/* One full-width draw, from the platform's generator where it is present. */
static inline uint32_t
draw(void)
{
    return platform_arc4random != nullptr ? platform_arc4random()
                                          : fallback_draw();
}

/*
 * Return r, or as many draws after it as it takes to reach one at or above
 * the threshold 2^32 mod range, so that every result of r mod range is
 * equally likely. Both forms of the threshold stay within 32 bits.
 */
static uint32_t
redraw_below_threshold(uint32_t r, uint32_t range)
{
    const uint32_t threshold =
        range > 0x80000000u ? 0u - range : (0u - 2u * range) % range;
    while (r < threshold)
        r = draw();
    return r;
}

/* Return a pseudo-random 32-bit value. */
uint32_t
pseudo_random(void)
{
    return draw();
}

/*
 * Return a value drawn uniformly from min up to max inclusive, wrapping past
 * 4294967295 to 0 when max is below min.
 */
uint32_t
pseudo_random_between(uint32_t min, uint32_t max)
{
    const uint32_t range = max - min + 1;
    if (range == 0) /* the full 32-bit span */
        return pseudo_random();
    if (platform_arc4random_uniform != nullptr)
        return min + platform_arc4random_uniform(range);
    if (range == 1)
        return min;

    /* Every draw at or above range is at or above the threshold. */
    uint32_t r = draw();
    if (r < range)
        r = redraw_below_threshold(r, range);
    return min + r % range;
}
