// Prints every pattern of patterns.hpp for one seed and the sizes given, one line each:
// the name, the size, then the values. tests/python/test_bench.py compiles and runs it to
// hold the C++ recipes against vexo.patterns.
//
//   print_patterns SEED N [N...]
#include <cstdio>
#include <cstdlib>

#include "patterns.hpp"

int main(int argc, char** argv) {
    using namespace vexo::testing;
    if (argc < 3) {
        std::fprintf(stderr, "usage: print_patterns SEED N [N...]\n");
        return 2;
    }
    const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    for (Pattern pattern : all_patterns) {
        for (int arg = 2; arg < argc; ++arg) {
            const std::size_t n = std::strtoull(argv[arg], nullptr, 10);
            std::printf("%.*s %zu", static_cast<int>(name_of(pattern).size()), name_of(pattern).data(), n);
            for (std::int64_t x : make_pattern(pattern, n, seed)) std::printf(" %lld", static_cast<long long>(x));
            std::printf("\n");
        }
    }
    return 0;
}
