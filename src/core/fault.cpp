#include "core/fault.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vexo {

namespace {

// Set until the first report of the process has been written; only that one adds the note.
std::atomic<bool> first_fault{true};

// Held while a report is written. A report that fits the buffer goes out in one write,
// but a longer one takes several, the note and a backtrace follow in writes of their own,
// and a pipe splits any write above PIPE_BUF: without the lock, reports of threads that
// fault at once could interleave.
std::mutex report_mutex;

constexpr std::size_t report_buffer_size = 512;
constexpr int backtrace_depth = 64;

void write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size);
        if (written <= 0) return;  // stderr is gone; nothing better to do with a report
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

bool backtrace_requested() noexcept {
    // Frozen: see docs/compatibility.md.
    const char* value = std::getenv("VEXO_BACKTRACE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

void write_backtrace() noexcept {
    std::array<void*, backtrace_depth> frames{};
    const int depth = ::backtrace(frames.data(), backtrace_depth);
    static constexpr char header[] = "stack backtrace:\n";
    write_all(header, sizeof header - 1);
    ::backtrace_symbols_fd(frames.data(), depth, STDERR_FILENO);
}

}  // namespace

FaultLocation::FaultLocation(std::source_location where) noexcept
    : file(source_unit(where.file_name())), line(where.line()), column(where.column()) {}

// Frozen: see docs/compatibility.md.
const char* source_unit(const char* path) noexcept {
    const char* unit = path;
    for (const char* at = std::strstr(path, "src/"); at != nullptr; at = std::strstr(at + 1, "src/")) {
        if (at == path || at[-1] == '/') unit = at;
    }
    return unit;
}

void write_fault_report(std::string_view message, const FaultLocation& where) noexcept {
    // Thread names: the module never names a thread, so every report says "<unnamed>".
    const long tid = static_cast<long>(::gettid());
    const std::lock_guard<std::mutex> hold(report_mutex);
    std::array<char, report_buffer_size> buffer{};
    // Frozen: see docs/compatibility.md.
    const int length = std::snprintf(buffer.data(), buffer.size(), "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n%.*s\n", tid,
                                     where.file, static_cast<unsigned>(where.line), static_cast<unsigned>(where.column),
                                     static_cast<int>(message.size()), message.data());
    if (length >= 0 && static_cast<std::size_t>(length) < buffer.size()) {
        write_all(buffer.data(), static_cast<std::size_t>(length));
    } else {
        // Frozen: see docs/compatibility.md.
        const int head = std::snprintf(buffer.data(), buffer.size(), "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n", tid, where.file,
                                       static_cast<unsigned>(where.line), static_cast<unsigned>(where.column));
        if (head > 0) write_all(buffer.data(), std::min(static_cast<std::size_t>(head), buffer.size() - 1));
        write_all(message.data(), message.size());
        write_all("\n", 1);
    }
    const bool first = first_fault.exchange(false);
    if (backtrace_requested()) {
        write_backtrace();
    } else if (first) {
        static constexpr char note[] = "note: run with `VEXO_BACKTRACE=1` environment variable to display a backtrace\n";
        write_all(note, sizeof note - 1);
    }
}

void raise_fault(std::string message, FaultLocation where) {
    write_fault_report(message, where);
    throw InternalFault(std::move(message), where);
}

void raise_reported_fault(std::string message, FaultLocation where) { throw InternalFault(std::move(message), where); }

}  // namespace vexo
