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
