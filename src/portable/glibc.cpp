// Linked into the module only with the C++ runtime linked in statically (VEXO_STATIC_RUNTIME).
// The static libstdc++ and libgcc were compiled against this build machine's glibc, and a
// few of their units call functions that only recent glibc releases have: __isoc23_strtoul
// (2.38; the C23 strtoul that glibc's headers pick), arc4random (2.36) and _dl_find_object
// (2.35; the unwinder's lookup of a code address). Defined here, privately to the module,
// they bind within it at link time, so the module asks glibc for nothing newer than 2.34
// and loads on Ubuntu 22.04, RHEL 9 and their peers.
#include <dlfcn.h>
#include <link.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

// Only a glibc of 2.35 or later declares dl_find_object, and only a runtime built against
// one calls it: an older toolchain needs no stand-in.
#ifdef DLFO_STRUCT_HAS_EH_DBASE
namespace {

struct CodeSearch {
    std::uintptr_t address;
    dl_find_object* result;
    bool found;
};

// dl_iterate_phdr's callback: stops at the loaded object one of whose segments holds the
// address, and describes it the way _dl_find_object does.
int describe_if_holding(dl_phdr_info* info, std::size_t, void* data) noexcept {
    auto& search = *static_cast<CodeSearch*>(data);
    std::uintptr_t low = UINTPTR_MAX;
    std::uintptr_t high = 0;
    bool holds = false;
    void* eh_frame = nullptr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) & segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD) {
            low = std::min(low, start);
            high = std::max(high, start + segment.p_memsz);
            holds = holds || (search.address >= start && search.address - start < segment.p_memsz);
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            eh_frame = reinterpret_cast<void*>(start);
        }
    }
    if (!holds) return 0;
    // Zeroed first: the fields the unwinder reads beyond these (eh_dbase on the targets that
    // have one; not x86-64 or aarch64) stay null.
    *search.result = dl_find_object{};
    search.result->dlfo_map_start = reinterpret_cast<void*>(low);
    search.result->dlfo_map_end = reinterpret_cast<void*>(high);
    search.result->dlfo_eh_frame = eh_frame;
    search.found = true;
    return 1;
}

}  // namespace
#endif

// The strtoul every glibc has; the header's C23 redirection does not reach an asm name.
extern "C" unsigned long vexo_strtoul(const char* text, char** end, int base) noexcept __asm__("strtoul");

extern "C" {

// C23 adds "0b" prefixes, which the library's callers (number parsing of its tunables
// environment) never hand it.
__attribute__((visibility("hidden"))) unsigned long __isoc23_strtoul(const char* text, char** end, int base) noexcept {
    return vexo_strtoul(text, end, base);
}

// The kernel's random bytes (getrandom, glibc 2.25); the clock, should the call fail for
// good (a kernel older than 3.17), since the callers need variety, not secrecy.
__attribute__((visibility("hidden"))) std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    for (;;) {
        const ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == static_cast<ssize_t>(sizeof value)) return value;
        if (got < 0 && errno != EINTR) break;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec * 2654435761U);
}

#ifdef DLFO_STRUCT_HAS_EH_DBASE
// What glibc 2.35 added for the unwinder, answered by walking the loaded objects as
// unwinders did before it (dlfo_link_map is left null: the unwinder does not read it).
__attribute__((visibility("hidden"))) int _dl_find_object(void* address, dl_find_object* result) noexcept {
    CodeSearch search{reinterpret_cast<std::uintptr_t>(address), result, false};
    dl_iterate_phdr(describe_if_holding, &search);
    return search.found ? 0 : -1;
}
#endif

}  // extern "C"
