// Shared by the SM2 benchmarks: one SM2 key pair for the whole run (our EC_KEY and the
// crypto library's own key of the same pair) and a fixed message pattern.
#ifndef MV_TESTS_SM2_BENCH_SUPPORT_H
#define MV_TESTS_SM2_BENCH_SUPPORT_H

#include <cstddef>
#include <vector>

#include "../sm2_test_support.h"

namespace mvbench {

inline mvtest::Sm2KeyPair &keys()
{
    static mvtest::Sm2KeyPair kp = mvtest::Sm2KeyPair::generate();
    return kp;
}

inline std::vector<unsigned char> message(size_t n)
{
    std::vector<unsigned char> m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = static_cast<unsigned char>(i * 7 + 3);
    return m;
}

} // namespace mvbench

#endif
