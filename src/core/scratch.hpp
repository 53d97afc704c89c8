// The one way the module obtains scratch memory. A failed allocation is not an error a
// caller could handle: it writes "memory allocation of N bytes failed" and aborts, so no
// sort ever runs on half its buffers.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>

namespace vexo {

[[noreturn]] void allocation_failed(std::size_t bytes) noexcept;

// malloc/calloc that never return null: they abort through allocation_failed instead.
void* allocate_bytes(std::size_t bytes) noexcept;
void* allocate_zeroed_bytes(std::size_t count, std::size_t size) noexcept;

// An owned, fixed-size buffer of trivially copyable elements, released on every path
// (faults included) by its destructor.
template <class T>
class Scratch {
    static_assert(std::is_trivially_copyable_v<T>, "scratch holds raw elements only");

public:
    enum class Fill { uninitialised, zeroed };

    explicit Scratch(std::size_t count, Fill fill = Fill::uninitialised) : count_(count) {
        if (count == 0) return;
        if (fill == Fill::zeroed) {
            data_.reset(static_cast<T*>(allocate_zeroed_bytes(count, sizeof(T))));
        } else {
            if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) allocation_failed(std::numeric_limits<std::size_t>::max());
            data_.reset(static_cast<T*>(allocate_bytes(count * sizeof(T))));
        }
    }

    T* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return count_; }
    std::span<T> span() const noexcept { return {data_.get(), count_}; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t count_;
};

// A standard-library allocator over the same helper, for the containers the module keeps
// (the analysis's hash set, the pool's queues), so their allocation failures end the same
// way as a scratch buffer's. (Replacing the global operator new instead would not do: the
// C++ runtime shared library keeps its own, and memory would cross between the two.)
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) allocation_failed(std::numeric_limits<std::size_t>::max());
        return static_cast<T*>(allocate_bytes(count * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace vexo
