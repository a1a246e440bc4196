// A GoogleTest suite with one fresh SM2 key pair for all its cases (our EC_KEY and the
// crypto library's own key of the same pair) and reproducible random messages.
#ifndef MV_TESTS_SM2_KEY_FIXTURE_H
#define MV_TESTS_SM2_KEY_FIXTURE_H

#include <gtest/gtest.h>

#include <random>

#include "sm2_test_support.h"
#include "vector_file.h"

namespace mvtest {

class Sm2KeySuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { keys = new Sm2KeyPair(Sm2KeyPair::generate()); }
    static void TearDownTestSuite()
    {
        delete keys;
        keys = nullptr;
    }
    static EC_KEY *key() { return keys->ec.get(); }

    static Bytes message(size_t n, unsigned seed = 1)
    {
        Bytes m(n);
        std::mt19937 g(seed);
        for (auto &b : m)
            b = static_cast<unsigned char>(g());
        return m;
    }

    static inline Sm2KeyPair *keys = nullptr;
};

} // namespace mvtest

#endif
