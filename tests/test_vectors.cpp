#include "vectors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Reports the lanes of double of the copy that ran.
template <vec::Width Widest>
struct LanesProbe {
    static constexpr vec::Width kWidest = Widest;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(int& calls) {
        ++calls;
        return vec::kLanes<vec::Doubles<W>>;
    }
};

// sqrt(|x|) of every whole vector of x, through the helpers of width W.
struct RootOfMagnitude {
    static constexpr vec::Width kWidest = vec::Width::Avx512;
    template <vec::Width W>
    [[gnu::always_inline]] static inline int run(const double* x, double* out, int n) {
        using V = vec::Doubles<W>;
        int k = 0;
        for (; k + vec::kLanes<V> <= n; k += vec::kLanes<V>) {
            V v;
            vec::load(v, x + k);
            vec::clear_signs(v);
            vec::take_sqrt(v);
            vec::store(out + k, v);
        }
        return k;
    }
};

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

TEST(VectorWidth, SupportedWidthsAndTheLimit) {
    const std::vector<vec::Width> widths = vec::supported_widths();
    ASSERT_FALSE(widths.empty());
    EXPECT_EQ(widths.front(), vec::Width::Sse2);
    EXPECT_EQ(widths.back(), vec::widest_supported());
    EXPECT_EQ(vec::active_width(), vec::widest_supported());
    {
        vec::WidthLimit outer(vec::Width::Avx);
        EXPECT_EQ(vec::active_width(), std::min(vec::Width::Avx, vec::widest_supported()));
        {
            vec::WidthLimit inner(vec::Width::Sse2);
            EXPECT_EQ(vec::active_width(), vec::Width::Sse2);
        }
        EXPECT_EQ(vec::active_width(), std::min(vec::Width::Avx, vec::widest_supported()));
    }
    EXPECT_EQ(vec::active_width(), vec::widest_supported());
}

TEST(VectorWidth, DispatchRunsTheWidthAskedForUpToTheKernelsWidest) {
    for (vec::Width w : vec::supported_widths()) {
        int calls = 0;
        EXPECT_EQ(vec::dispatch<LanesProbe<vec::Width::Avx512>>(w, calls), static_cast<int>(w));
        EXPECT_EQ(vec::dispatch<LanesProbe<vec::Width::Avx>>(w, calls),
                  static_cast<int>(std::min(w, vec::Width::Avx)));
        EXPECT_EQ(vec::dispatch<LanesProbe<vec::Width::Sse2>>(w, calls), 2);
        EXPECT_EQ(calls, 3);
    }
}

TEST(VectorHelpers, EveryWidthGivesTheScalarValuesBitForBit) {
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {0.0, -0.0, 1.0, -2.0, 0.25, 1e-310, -1e-310, 3e300, -inf, inf,
                             std::nan(""), 2.0, 1e-20, 7.5, -0.5, 123456.789};
    const int n = sizeof values / sizeof values[0];
    for (vec::Width w : vec::supported_widths()) {
        std::vector<double> out(n, -1.0);
        const int done = vec::dispatch<RootOfMagnitude>(w, values, out.data(), n);
        EXPECT_EQ(done, n - n % static_cast<int>(w));
        for (int i = 0; i < done; ++i)
            EXPECT_EQ(bits(out[i]), bits(std::sqrt(std::fabs(values[i]))))
                << "width " << static_cast<int>(w) << ", value " << values[i];
    }
}
