// The fault report, the contract check and the allocation helper: the places every
// failure goes through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/assert.hpp"
#include "core/fault.hpp"
#include "core/scratch.hpp"

// Let the huge allocation below fail with null, as malloc does, instead of the sanitizer's
// own report. The runtimes look these up dynamically, hence the default visibility.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace vexo {
namespace {

// The report's format (thread id, location, message, the one-time note) is pinned through
// the module by the Python tests.

// Reports of several threads never interleave, also those too long for one write.
TEST(FaultReport, ConcurrentReportsDoNotInterleave) {
    constexpr int threads = 8;
    constexpr int faults_each = 50;
    const auto message_of = [](int t, int i) {
        return "fault of thread " + std::to_string(t) + std::string(i % 5 == 0 ? 2000 : 200, static_cast<char>('a' + t));
    };
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, &message_of] {
            for (int i = 0; i < faults_each; ++i) write_fault_report(message_of(t, i), FaultLocation{});
        });
    }
    for (auto& thread : pool) thread.join();
    const std::string report = ::testing::internal::GetCapturedStderr();
    // Every report is "\nthread ... panicked at ...:\n<message>\n": split on the header and
    // check that each message line is whole and belongs to one thread.
    int whole = 0;
    for (std::size_t at = report.find("panicked at "); at != std::string::npos; at = report.find("panicked at ", at + 1)) {
        const std::size_t line = report.find(":\n", at) + 2;
        const std::string message = report.substr(line, report.find('\n', line) - line);
        const int t = message[16] - '0';
        ASSERT_TRUE(message == message_of(t, 0) || message == message_of(t, 1)) << message.substr(0, 40);
        ++whole;
    }
    EXPECT_EQ(whole, threads * faults_each);
}

TEST(FaultReport, ReportedFaultThrowsSilently) {
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(raise_reported_fault("again"), InternalFault);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(SourceUnit, StripsToProjectRelativePath) {
    EXPECT_STREQ(source_unit("/build/x/src/algorithms/heap.cpp"), "src/algorithms/heap.cpp");
    EXPECT_STREQ(source_unit("/a/src/b/src/parallel/pool.cpp"), "src/parallel/pool.cpp");
    EXPECT_STREQ(source_unit("plain.cpp"), "plain.cpp");
}

using ScratchDeathTest = ::testing::Test;

TEST_F(ScratchDeathTest, FailedAllocationWritesTheLineAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::size_t count = std::size_t{1} << 60;  // 8 EiB: no machine grants it
    EXPECT_DEATH({ Scratch<std::int64_t> huge(count); }, "memory allocation of 9223372036854775808 bytes failed\n$");
    EXPECT_DEATH(
        { Scratch<std::int64_t> huge(count, Scratch<std::int64_t>::Fill::zeroed); },
        "memory allocation of 9223372036854775808 bytes failed\n$");
}

#ifdef VEXO_CHECKED
// A broken contract of a checked build is reported like a fault, then ends the process.
using ContractDeathTest = ::testing::Test;

TEST_F(ContractDeathTest, BrokenContractReportsTheConditionAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::size_t n = 3;
    EXPECT_DEATH(VEXO_ASSERT(n < 3), "panicked at .*test_core.cpp:[0-9]+:[0-9]+:\ncontract broken: n < 3\n");
}
#endif

}  // namespace
}  // namespace vexo
