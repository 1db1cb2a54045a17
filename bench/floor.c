/* The floor of a region's life: only the system calls one locked region
 * costs (mmap, two guard mprotects, mlock, madvise, getentropy, munlock,
 * munmap), for comparison with SecretBox.random(32) + release. */
#include <stddef.h>
#include <sys/mman.h>
#include <unistd.h>

int region_life(size_t len) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t data = (len + 8 + page - 1) / page * page;
    const size_t total = data + 2 * page;
    unsigned char *base = mmap(NULL, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return -1;
    mprotect(base, page, PROT_NONE);
    mprotect(base + page + data, page, PROT_NONE);
    mlock(base + page, data);
#ifdef MADV_DONTDUMP
    madvise(base + page, data, MADV_DONTDUMP);
#endif
#ifdef MADV_WIPEONFORK
    madvise(base + page, data, MADV_WIPEONFORK);
#endif
    if (getentropy(base + page + 8, len) != 0) return -1;
    munlock(base + page, data);
    return munmap(base, total);
}
