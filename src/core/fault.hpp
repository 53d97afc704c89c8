// Internal faults: broken internal expectations that travel as C++ exceptions to the call
// boundary, the only place that catches them. Python-free, so worker threads and the C++
// tests can raise them too.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace vexo {

// Where a fault was raised, named by the source unit relative to the project root
// ("src/algorithms/bubble.cpp") so that reports do not depend on the build machine.
struct FaultLocation {
    const char* file;
    std::uint_least32_t line;
    std::uint_least32_t column;

    // Implicit on purpose: a defaulted std::source_location parameter converts at the
    // call site, which is the place the report should name.
    FaultLocation(std::source_location where = std::source_location::current()) noexcept;
};

class InternalFault final : public std::exception {
public:
    InternalFault(std::string message, FaultLocation where) : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const FaultLocation& where() const noexcept { return where_; }

private:
    std::string message_;
    FaultLocation where_;
};

// Writes the fault report for `message` on this thread, then throws the fault. The report
// is written here, where the fault arises, and never again when the fault is rethrown on
// another thread.
[[noreturn]] void raise_fault(std::string message, FaultLocation where = {});

// Throws without a report, for a fault whose story has already been told on stderr.
[[noreturn]] void raise_reported_fault(std::string message, FaultLocation where = {});

// The report alone: "\nthread '<unnamed>' (TID) panicked at FILE:LINE:COL:\nMESSAGE\n",
// written in one piece, followed by a one-time note on how to get a backtrace.
void write_fault_report(std::string_view message, const FaultLocation& where) noexcept;

// The project-relative unit name of a compiler-given path: from its last "src/" on.
const char* source_unit(const char* path) noexcept;

}  // namespace vexo
