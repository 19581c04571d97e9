// Cases for the pseudo-random module, built once per combination of platform
// functions: HAVE_A4R and HAVE_A4U say whether this executable supplies test
// doubles for arc4random and arc4random_uniform, or links a module whose
// references to them were renamed away (absent).
//
// Without arguments it runs every case in a process of its own, so each
// starts from a fresh state word; with a case name it runs that case.

#include "UserPseudoRand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifndef HAVE_A4R
#define HAVE_A4R 0
#endif
#ifndef HAVE_A4U
#define HAVE_A4U 0
#endif

namespace
{

// What the doubles saw and what they answer.
time_t fake_now = 1;
unsigned clock_reads;
unsigned a4r_calls, a4u_calls;
std::vector<uint32_t> a4r_script; // answered first, in order
size_t a4r_next;
uint32_t a4u_last_bound;
uint32_t a4u_answer; // reduced modulo the bound when the bound is not 0

} // namespace

#ifdef _WIN32
// MinGW's time() calls _time64 through the import table: fill its slot.
static __time64_t
fake_time64(__time64_t *t)
{
    clock_reads++;
    if (t != NULL)
        *t = fake_now;
    return fake_now;
}
extern "C" {
__time64_t (*__imp__time64)(__time64_t *) = fake_time64;
}
#else
extern "C" time_t
time(time_t *t) noexcept
{
    clock_reads++;
    if (t != NULL)
        *t = fake_now;
    return fake_now;
}
#endif

#if HAVE_A4R
static uint32_t mix = 0x12345678u;

// A generator unrelated to the module's, for doubles that run unscripted.
static uint32_t
splitmix32()
{
    uint32_t z = (mix += 0x9E3779B9u);
    z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
    z = (z ^ (z >> 13)) * 0xC2B2AE35u;
    return z ^ (z >> 16);
}

extern "C" uint32_t
arc4random(void) noexcept
{
    a4r_calls++;
    if (a4r_next < a4r_script.size())
        return a4r_script[a4r_next++];
    return splitmix32();
}
#endif

#if HAVE_A4U
extern "C" uint32_t
arc4random_uniform(uint32_t bound) noexcept
{
    a4u_calls++;
    a4u_last_bound = bound;
    return bound != 0 ? a4u_answer % bound : a4u_answer;
}
#endif

namespace
{

const char warning[] = "Warning: arc4random is not available!\n";
const bool a4r = HAVE_A4R, a4u = HAVE_A4U;
int failures;

#define CHECK_EQ(got, want)                                                    \
    check_eq(static_cast<uint64_t>(got), static_cast<uint64_t>(want), #got,    \
             __LINE__)

void
check_eq(uint64_t got, uint64_t want, const char *what, int line)
{
    if (got != want) {
        printf("  line %d: %s is %llu, expected %llu\n", line, what,
               static_cast<unsigned long long>(got),
               static_cast<unsigned long long>(want));
        failures++;
    }
}

uint32_t
step(uint32_t s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// Draws from the fallback generator seeded with seed, as the module must.
struct Ref {
    uint32_t s;
    uint32_t next()
    {
        return s = step(s);
    }
};

// Pearson's chi-square statistic of counts against a uniform spread.
double
chi_square(const std::vector<unsigned> &counts, unsigned n)
{
    const double want =
        static_cast<double>(n) / static_cast<double>(counts.size());
    double x = 0;
    for (unsigned c : counts)
        x += (c - want) * (c - want) / want;
    return x;
}

// Each case returns how many warnings it expects the module to have printed.

unsigned
sequence_from_seed_1()
{
    CHECK_EQ(step(1), 270369u); // the reference itself
    fake_now = 1;
    uint32_t v[3] = {pseudo_random(), pseudo_random(), pseudo_random()};
    if (a4r) {
        CHECK_EQ(a4r_calls, 3u);
        CHECK_EQ(clock_reads, 0u);
        return 0;
    }
    CHECK_EQ(v[0], 270369u);
    CHECK_EQ(v[1], 67634689u);
    CHECK_EQ(v[2], 2647435461u);
    CHECK_EQ(clock_reads, 1u);
    return 1;
}

// Dice from a fresh process with the clock at 1: T = 4 accepts each draw.
unsigned
dice_from_seed_1()
{
    if (a4r || a4u)
        return 0;
    fake_now = 1;
    CHECK_EQ(pseudo_random_between(1, 6), 4u);
    CHECK_EQ(pseudo_random_between(1, 6), 2u);
    return 1;
}

unsigned
threshold_above_half_rejects_twice()
{
    if (a4r || a4u)
        return 0;
    fake_now = 1;
    CHECK_EQ(pseudo_random_between(0, 0x80000000u), 499951812u);
    CHECK_EQ(pseudo_random(), 307599695u); // the state held 2647435461
    CHECK_EQ(clock_reads, 1u);
    return 1;
}

unsigned
wrapping_interval()
{
    if (a4u) {
        a4u_answer = 0xFFFFFFF0u;
        CHECK_EQ(pseudo_random_between(10, 5), 0xFFFFFFF0u % 4294967292u + 10);
        CHECK_EQ(a4u_last_bound, 4294967292u);
        return 0;
    }
    if (a4r)
        return 0;
    fake_now = 1;
    CHECK_EQ(pseudo_random_between(10, 5), 270379u);
    return 1;
}

// A single value draws nothing, unless the platform's bounded draw is there.
unsigned
single_values()
{
    a4u_answer = 0;
    CHECK_EQ(pseudo_random_between(7, 7), 7u);
    CHECK_EQ(pseudo_random_between(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFu);
    CHECK_EQ(a4r_calls, 0u);
    CHECK_EQ(clock_reads, 0u);
    CHECK_EQ(a4u_calls, a4u ? 2u : 0u);
    if (a4u)
        CHECK_EQ(a4u_last_bound, 1u);
    if (!a4r) { // the state is still unseeded: the next draw seeds it
        fake_now = 1;
        CHECK_EQ(pseudo_random(), 270369u);
        return 1;
    }
    return 0;
}

// The full span gives a full-width value from pseudo_random, by any source.
unsigned
full_span()
{
    a4r_script = {0xDEADBEEFu, 0x01234567u};
    fake_now = 1;
    const uint32_t v0 = pseudo_random_between(0, 0xFFFFFFFFu);
    const uint32_t v1 = pseudo_random_between(0x80000000u, 0x7FFFFFFFu);
    CHECK_EQ(a4u_calls, 0u);
    if (a4r) {
        CHECK_EQ(v0, 0xDEADBEEFu);
        CHECK_EQ(v1, 0x01234567u);
        return 0;
    }
    CHECK_EQ(v0, 270369u);
    CHECK_EQ(v1, 67634689u);
    return 1;
}

// Which source each operation takes.
unsigned
sources()
{
    a4r_script = {1234567u};
    a4u_answer = 3;
    fake_now = 1;
    const uint32_t r = pseudo_random();
    CHECK_EQ(r, a4r ? 1234567u : 270369u);
    CHECK_EQ(a4r_calls, a4r ? 1u : 0u);
    const uint32_t b = pseudo_random_between(1, 6);
    CHECK_EQ(a4u_calls, a4u ? 1u : 0u);
    if (a4u) {
        CHECK_EQ(a4u_last_bound, 6u);
        CHECK_EQ(b, 4u);
        CHECK_EQ(a4r_calls, a4r ? 1u : 0u);
    } else if (a4r) {
        CHECK_EQ(a4r_calls, 2u);
    } else {
        CHECK_EQ(b, 1 + 67634689u % 6);
    }
    CHECK_EQ(clock_reads, a4r ? 0u : 1u);
    return a4r ? 0 : 1;
}

// arc4random feeds the rejection loop: values below T are drawn again.
unsigned
thresholds_by_range()
{
    if (!a4r || a4u)
        return 0;
    struct {
        uint32_t range, t;
    } rows[] = {{2, 0},
                {3, 1},
                {6, 4},
                {10, 6},
                {100, 96},
                {0x80000000u, 0},
                {0x80000001u, 2147483647u},
                {0xFFFFFFFFu, 1}};
    for (auto &row : rows) {
        const uint32_t min = 5, max = min + row.range - 1;
        // T - 1 must be rejected, T accepted; with T = 0, 0 is accepted.
        a4r_script = row.t > 0 ? std::vector<uint32_t>{row.t - 1, row.t}
                               : std::vector<uint32_t>{0};
        a4r_next = 0;
        a4r_calls = 0;
        CHECK_EQ(pseudo_random_between(min, max), min + row.t % row.range);
        CHECK_EQ(a4r_calls, row.t > 0 ? 2u : 1u);
    }
    return 0;
}

unsigned
warning_once_across_many_draws()
{
    fake_now = 987654321;
    for (unsigned i = 0; i < 2000; i++) {
        pseudo_random();
        pseudo_random_between(0, i);
        pseudo_random_between(0, 0x80000000u);
    }
    CHECK_EQ(clock_reads, a4r ? 0u : 1u);
    return a4r ? 0 : 1;
}

// A clock at 0 seeds with the fixed constant 0x9E3779B9, once.
unsigned
clock_reading_zero()
{
    if (a4r)
        return 0;
    fake_now = 0;
    Ref ref = {0x9E3779B9u};
    CHECK_EQ(pseudo_random(), ref.next());
    CHECK_EQ(pseudo_random(), ref.next());
    CHECK_EQ(clock_reads, 1u);
    return 1;
}

// A clock stuck at 0 must not trap the rejection loop; nor print twice.
unsigned
clock_stuck_at_zero_in_bounded_draw()
{
    if (a4r || a4u)
        return 0;
    fake_now = static_cast<time_t>(1) << 32; // low 32 bits are 0
    Ref ref = {0x9E3779B9u};
    uint32_t r;
    do
        r = ref.next();
    while (r < 2147483647u);
    CHECK_EQ(pseudo_random_between(0, 0x80000000u), r % 2147483649u);
    CHECK_EQ(clock_reads, 1u);
    return 1;
}

unsigned
clock_error_seeds_all_ones()
{
    if (a4r)
        return 0;
    fake_now = static_cast<time_t>(-1);
    Ref ref = {0xFFFFFFFFu};
    CHECK_EQ(pseudo_random(), ref.next());
    CHECK_EQ(pseudo_random(), ref.next());
    return 1;
}

// Uniformity of the module's own loop, over its own or the platform's draws.
unsigned
chi_square_uniformity()
{
    if (a4u)
        return 0;
    fake_now = 1700000000;
    struct {
        uint32_t min, max;
        unsigned buckets, n;
        double critical; // chi-square at p = 0.001 for buckets - 1
    } rows[] = {
        {1, 6, 6, 60000, 20.52},
        {1000, 1999, 1000, 200000, 1143.9},
        // A span of 3 * 2^30 in thirds: taking r mod range without
        // rejection would put twice as many values in the first third.
        {0, 0xBFFFFFFFu, 3, 30000, 13.82},
        // The full span in sixteenths.
        {0, 0xFFFFFFFFu, 16, 32000, 37.70},
    };
    for (auto &row : rows) {
        std::vector<unsigned> counts(row.buckets);
        const uint64_t span = static_cast<uint64_t>(row.max - row.min) + 1;
        for (unsigned i = 0; i < row.n; i++) {
            const uint32_t v = pseudo_random_between(row.min, row.max);
            if (v - row.min > row.max - row.min) {
                printf("  %u out of [%u, %u]\n", v, row.min, row.max);
                failures++;
                return 0;
            }
            counts[static_cast<uint64_t>(v - row.min) * row.buckets / span]++;
        }
        const double x = chi_square(counts, row.n);
        if (!(x < row.critical)) {
            printf("  [%u, %u]: chi-square %.1f, critical %.1f\n", row.min,
                   row.max, x, row.critical);
            failures++;
        }
    }
    return a4r ? 0 : 1;
}

struct Case {
    const char *name;
    unsigned (*run)();
};

const Case cases[] = {
    {"sequence_from_seed_1", sequence_from_seed_1},
    {"dice_from_seed_1", dice_from_seed_1},
    {"threshold_above_half_rejects_twice", threshold_above_half_rejects_twice},
    {"wrapping_interval", wrapping_interval},
    {"single_values", single_values},
    {"full_span", full_span},
    {"sources", sources},
    {"thresholds_by_range", thresholds_by_range},
    {"warning_once_across_many_draws", warning_once_across_many_draws},
    {"clock_reading_zero", clock_reading_zero},
    {"clock_stuck_at_zero_in_bounded_draw",
     clock_stuck_at_zero_in_bounded_draw},
    {"clock_error_seeds_all_ones", clock_error_seeds_all_ones},
    {"chi_square_uniformity", chi_square_uniformity},
};

// Runs one case with standard error caught in errfile; returns 0 if it held.
int
run_case(const Case &c, const char *errfile)
{
    if (freopen(errfile, "w+", stderr) == NULL) {
        printf("  cannot catch standard error in %s\n", errfile);
        return 1;
    }
    const unsigned warnings = c.run();
    fflush(stderr);
    rewind(stderr);
    std::string err;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stderr)) > 0)
        err.append(buf, n);
    std::string want;
    for (unsigned i = 0; i < warnings; i++)
        want += warning;
    if (err != want) {
        printf("  standard error was \"%s\", expected %u warning(s)\n",
               err.c_str(), warnings);
        failures++;
    }
    return failures != 0;
}

// Runs the case in a new process of this program; returns its exit status.
int
spawn(const char *self, const char *name)
{
#ifdef _WIN32
    const char *argv[] = {self, name, NULL};
    return static_cast<int>(_spawnv(_P_WAIT, self, argv));
#else
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execl(self, self, name, static_cast<char *>(NULL));
        _exit(127);
    }
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

} // namespace

int
main(int argc, char *argv[])
{
    if (argc == 2) {
        for (const Case &c : cases)
            if (strcmp(c.name, argv[1]) == 0) {
                const std::string errfile = std::string(argv[1]) + ".err";
                const int rc = run_case(c, errfile.c_str());
                remove(errfile.c_str());
                return rc;
            }
        printf("no case %s\n", argv[1]);
        return 2;
    }

    unsigned passed = 0, failed = 0;
    printf("arc4random %s, arc4random_uniform %s\n", a4r ? "present" : "absent",
           a4u ? "present" : "absent");
    for (const Case &c : cases) {
        const int rc = spawn(argv[0], c.name);
        printf("%s %s\n", rc == 0 ? "ok  " : "FAIL", c.name);
        (rc == 0 ? passed : failed)++;
    }
    printf("%u passed, %u failed\n", passed, failed);
    return failed != 0;
}
