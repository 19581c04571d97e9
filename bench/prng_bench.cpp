// Nanoseconds per call of the pseudo-random module on its fallback path and
// on the platform's path, beside a bare xorshift32 step and glibc's own
// arc4random and arc4random_uniform.
//
// The module is linked twice, from two renamed copies: one whose references
// to the platform functions name nothing (fallback), one bound to glibc's.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>

extern "C" uint32_t fallback_pseudo_random(void);
extern "C" uint32_t fallback_pseudo_random_between(uint32_t, uint32_t);
extern "C" uint32_t platform_pseudo_random(void);
extern "C" uint32_t platform_pseudo_random_between(uint32_t, uint32_t);

static uint32_t bare_state = 2463534242u;

// The floor: one xorshift32 step on a process-wide word, behind a call.
__attribute__((noinline)) static uint32_t
bare_xorshift32(void)
{
    uint32_t s = bare_state;
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    bare_state = s;
    return s;
}

static void
BM_bare_xorshift32(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bare_xorshift32());
}

static void
BM_fallback_pseudo_random(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(fallback_pseudo_random());
}

static void
BM_fallback_between_1_6(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(fallback_pseudo_random_between(1, 6));
}

static void
BM_platform_pseudo_random(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform_pseudo_random());
}

static void
BM_platform_between_1_6(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform_pseudo_random_between(1, 6));
}

static void
BM_glibc_arc4random(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(arc4random());
}

static void
BM_glibc_arc4random_uniform_6(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(arc4random_uniform(6));
}

BENCHMARK(BM_bare_xorshift32);
BENCHMARK(BM_fallback_pseudo_random);
BENCHMARK(BM_fallback_between_1_6);
BENCHMARK(BM_platform_pseudo_random);
BENCHMARK(BM_platform_between_1_6);
BENCHMARK(BM_glibc_arc4random);
BENCHMARK(BM_glibc_arc4random_uniform_6);

BENCHMARK_MAIN();
