#include "core/scratch.hpp"

#include <unistd.h>

#include <cstdio>
#include <new>

namespace vexo {

void allocation_failed(std::size_t bytes) noexcept {
    char line[80];
    const int length = std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", bytes);
    if (length > 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<std::size_t>(length));
    }
    std::abort();
}

void* allocate_bytes(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    return p;
}

void* allocate_zeroed_bytes(std::size_t count, std::size_t size) noexcept {
    void* p = std::calloc(count == 0 ? 1 : count, size);
    if (p == nullptr) {
        const std::size_t bytes = size != 0 && count > static_cast<std::size_t>(-1) / size ? static_cast<std::size_t>(-1) : count * size;
        allocation_failed(bytes);
    }
    return p;
}

}  // namespace vexo

// The standard containers the module uses (the hash set of the input analysis, the pool's
// queues) allocate through operator new. Routing it through the same helper keeps one
// behaviour for every allocation failure instead of a std::bad_alloc that would surface as
// an unexplained fault. The module is linked with hidden visibility, so this replacement
// applies to vexo's own code only, never to the interpreter or other extensions.
void* operator new(std::size_t bytes) { return vexo::allocate_bytes(bytes); }
void* operator new[](std::size_t bytes) { return vexo::allocate_bytes(bytes); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The nothrow forms must come from the same allocator as the deletes above: the standard
// library pairs them (std::stable_sort's temporary buffer is taken with nothrow new and
// given back with sized delete), and under a sanitizer the unreplaced forms would be its
// allocator while the delete is free. They keep their contract: null on failure, so such
// callers can still fall back to working without the buffer.
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
