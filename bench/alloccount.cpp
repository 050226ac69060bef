// LD_PRELOAD library: counts the heap allocations a program makes and writes
// "allocs=<n> allocbytes=<total>" at its exit to the file named by BENCH_ALLOC_OUT.
// Counts malloc, calloc, realloc and the aligned variants (operator new ends
// in malloc); frees are not counted.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}

static std::atomic<unsigned long> gCount{0};
static std::atomic<unsigned long> gBytes{0};

static void note(size_t n) {
    gCount.fetch_add(1, std::memory_order_relaxed);
    gBytes.fetch_add(n, std::memory_order_relaxed);
}

extern "C" void *malloc(size_t n) {
    note(n);
    return __libc_malloc(n);
}

extern "C" void *calloc(size_t n, size_t m) {
    note(n * m);
    return __libc_calloc(n, m);
}

extern "C" void *realloc(void *p, size_t n) {
    note(n);
    return __libc_realloc(p, n);
}

extern "C" void *memalign(size_t a, size_t n) {
    note(n);
    return __libc_memalign(a, n);
}

extern "C" void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }

extern "C" int posix_memalign(void **out, size_t a, size_t n) {
    void *p = memalign(a, n);
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}

__attribute__((destructor)) static void report() {
    const char *path = getenv("BENCH_ALLOC_OUT");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char line[96];
    int n = snprintf(line, sizeof line, "allocs=%lu allocbytes=%lu\n", gCount.load(), gBytes.load());
    if (n > 0) (void)!write(fd, line, (size_t)n);
    close(fd);
}
