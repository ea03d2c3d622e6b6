/* A malloc counter to preload into the interpreter (LD_PRELOAD), so that
 * bench/run.py can count the C heap allocations of a call, which tracemalloc
 * does not see: C++ operator new, std::string and std::vector all end in
 * malloc. Python's small objects come from its own arenas and reach malloc
 * only for a new arena or an object over 512 bytes.
 *
 *     cc -O2 -shared -fPIC -o malloc_count.so malloc_count.c -ldl
 *
 * Counting is off until mc_start(); the counters are read with mc_calls()
 * and mc_bytes() (through ctypes.CDLL(None)).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

static void *(*real_malloc)(size_t);
static void *(*real_realloc)(void *, size_t);
static int counting;
static size_t calls, bytes;

__attribute__((constructor)) static void
mc_init(void)
{
    real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
}

void *
malloc(size_t n)
{
    if (real_malloc == NULL) {
        mc_init();
    }
    if (counting) {
        calls++;
        bytes += n;
    }
    return real_malloc(n);
}

void *
realloc(void *p, size_t n)
{
    if (real_realloc == NULL) {
        mc_init();
    }
    if (counting) {
        calls++;
        bytes += n;
    }
    return real_realloc(p, n);
}

void
mc_start(void)
{
    calls = bytes = 0;
    counting = 1;
}

void
mc_stop(void)
{
    counting = 0;
}

size_t
mc_calls(void)
{
    return calls;
}

size_t
mc_bytes(void)
{
    return bytes;
}
