#include "core/scratch.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <new>

namespace vexo {

void allocation_failed(std::size_t bytes) noexcept {
    char line[80];
    // Frozen: see docs/compatibility.md.
    const int length = std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", bytes);
    if (length > 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<std::size_t>(length));
    }
    std::abort();
}

namespace {

// Buffers of this size and more ask the kernel for huge pages (2 MiB on x86-64 and most
// aarch64 kernels), where it gives them only on request (transparent huge pages in
// "madvise" mode, as on the development machines). A large buffer comes fresh from mmap
// on every call, and touching it first costs one fault per page: a sort of 10^7
// elements through 4 KiB pages paid more for those faults than for a merge pass.
constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
constexpr std::size_t huge_pages_from = 2 * huge_page;

// The whole huge pages inside [p, p + bytes); a hint the kernel may ignore.
void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    if (bytes < huge_pages_from) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + huge_page - 1) & ~(huge_page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge_page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(p);
    static_cast<void>(bytes);
#endif
}

}  // namespace

void* allocate_bytes(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    advise_huge_pages(p, bytes);
    return p;
}

void* allocate_zeroed_bytes(std::size_t count, std::size_t size) noexcept {
    void* p = std::calloc(count == 0 ? 1 : count, size);
    if (p == nullptr) {
        const std::size_t bytes = size != 0 && count > static_cast<std::size_t>(-1) / size ? static_cast<std::size_t>(-1) : count * size;
        allocation_failed(bytes);
    }
    advise_huge_pages(p, count * size);
    return p;
}

}  // namespace vexo
