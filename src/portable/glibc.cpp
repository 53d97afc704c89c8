// Linked into the module only with the C++ runtime linked in statically (VEXO_STATIC_RUNTIME).
// The static libstdc++ was compiled against this build machine's glibc, and a few of its
// units call functions that only recent glibc releases have: __isoc23_strtoul (2.38; the
// C23 strtoul that glibc's headers pick) and arc4random (2.36). Defined here, privately to
// the module, they bind within it at link time, so the module asks glibc for nothing newer
// than 2.34 and loads on Ubuntu 22.04, RHEL 9 and their peers.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

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

}  // extern "C"
