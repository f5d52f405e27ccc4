// Vector code of corlune: the lane types, their load/store helpers and the
// one run-time choice of vector width (AVX-512, AVX or SSE2) that every
// vectorised loop of the program goes through. No other file holds an
// intrinsic, a processor test or an architecture #if.
//
// A lane computes bit for bit what scalar code computes: every operation on
// these types is the IEEE operation of each lane on its own (the build never
// contracts to FMA), and division, square root, products and sums are
// correctly rounded at every width. So the width changes the speed, never a
// result.
//
// A loop is written once, as a kernel: a struct with its widest useful width
// and a member template run<W>() that uses the lane types of width W. It is
// called through vec::dispatch, which runs it compiled for the instruction
// set of the width chosen (at most the kernel's widest):
//
//     struct Halve {
//         static constexpr vec::Width kWidest = vec::Width::Avx512;
//         template <vec::Width W>
//         [[gnu::always_inline]] static inline int run(const double* a, double* out, int n) {
//             using V = vec::Doubles<W>;
//             V half;
//             vec::set_all(half, 0.5);
//             int k = 0;
//             for (; k + vec::kLanes<V> <= n; k += vec::kLanes<V>) {
//                 V v;
//                 vec::load(v, a + k);
//                 vec::store(out + k, V(v * half));
//             }
//             return k;  // the first element not done; the caller finishes in scalar code
//         }
//     };
//     int done = vec::dispatch<Halve>(vec::active_width(), a, out, n);
//
// Tests run every width the processor supports:
//
//     for (vec::Width w : vec::supported_widths()) {
//         vec::WidthLimit limit(w);  // until the end of the scope
//         ...
//     }
//
// Kernels take and return vectors by reference only: a wide vector passed by
// value follows a different calling convention with and without AVX. Vectors
// kept in memory between calls (a member, a heap object) are declared
// alignas(vec::kAlign): code compiled without AVX aligns a 256-bit vector
// type to only 16 bytes, while the kernel's AVX copy may assume 32.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#define CORLUNE_VECTORS_X86 1
#include <immintrin.h>
#endif
#if defined(__clang__) && defined(__has_builtin)
#if __has_builtin(__builtin_elementwise_sqrt)
#define CORLUNE_VECTORS_ELEMENTWISE_SQRT 1
#endif
#endif

namespace vec {

// Lane types: 128-, 256- and 512-bit vectors of floats and doubles.
typedef float f32x4 __attribute__((vector_size(16)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef float f32x16 __attribute__((vector_size(64)));
typedef double f64x2 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));
typedef double f64x8 __attribute__((vector_size(64)));

// Alignment, in bytes, of vectors kept in memory: that of the widest vectors.
constexpr size_t kAlign = 64;

// Vector widths by the doubles a vector holds: SSE2 (every x86-64 processor;
// elsewhere the compiler's generic 128-bit vectors), AVX and AVX-512.
enum class Width { Sse2 = 2, Avx = 4, Avx512 = 8 };

namespace detail {
template <Width W> struct LaneTypes;
template <> struct LaneTypes<Width::Sse2> { using f32 = f32x4; using f64 = f64x2; };
template <> struct LaneTypes<Width::Avx> { using f32 = f32x8; using f64 = f64x4; };
template <> struct LaneTypes<Width::Avx512> { using f32 = f32x16; using f64 = f64x8; };
}  // namespace detail

// The vectors of width W: W lanes of double, or twice as many of float.
template <Width W> using Doubles = typename detail::LaneTypes<W>::f64;
template <Width W> using Floats = typename detail::LaneTypes<W>::f32;

// The lane type and count of a vector type, and the mask type that lane
// comparisons give (all ones in a lane where true).
template <typename V> using Lane = std::remove_cv_t<std::remove_reference_t<decltype(V{}[0])>>;
template <typename V> constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(Lane<V>));
template <typename V> using Mask = decltype(V{} < V{});

namespace detail {
template <typename V> struct FloatsLike {
    typedef float type __attribute__((vector_size(sizeof(float) * kLanes<V>)));
};
}  // namespace detail

// Floats in as many lanes as the vector V has (half its size for doubles).
template <typename V> using FloatsLike = typename detail::FloatsLike<V>::type;

// ---------------------------------------------------------------------------
// Helpers, usable in kernels of every width.

template <typename V, typename T>
[[gnu::always_inline]] inline void load(V& v, const T* p) {
    static_assert(std::is_same_v<Lane<V>, T>, "lanes of the element type");
    std::memcpy(&v, p, sizeof v);
}
template <typename T, typename V>
[[gnu::always_inline]] inline void store(T* p, const V& v) {
    static_assert(std::is_same_v<Lane<V>, T>, "lanes of the element type");
    std::memcpy(p, &v, sizeof v);
}

// Every lane of v set to x. (Not V{} + x, which turns -0.0 into +0.0.)
template <typename V>
[[gnu::always_inline]] inline void set_all(V& v, Lane<V> x) {
    for (int i = 0; i < kLanes<V>; ++i) v[i] = x;
}

// Each lane of from converted to the lane type of To (double to float rounds
// to nearest, as a scalar conversion does).
template <typename To, typename From>
[[gnu::always_inline]] inline void convert(const From& from, To& to) {
    static_assert(kLanes<To> == kLanes<From>, "same lane count");
    to = __builtin_convertvector(from, To);
}

// The lanes' sign bits cleared, as fabs does (NaN stays NaN).
template <typename V>
[[gnu::always_inline]] inline void clear_signs(V& v) {
    V negativeZero;
    set_all(negativeZero, Lane<V>(-0.0));
    v = (V)((Mask<V>)v & ~(Mask<V>)negativeZero);
}

// The correctly rounded square root of each lane, in place.
[[gnu::always_inline]] inline void take_sqrt(f64x2& v) {
#if defined(CORLUNE_VECTORS_X86)
    v = (f64x2)_mm_sqrt_pd((__m128d)v);  // SSE2: every x86-64 processor has it
#else
    for (int i = 0; i < 2; ++i) v[i] = std::sqrt(v[i]);
#endif
}

template <typename V>
[[gnu::always_inline]] inline void take_sqrt(V& v) {
#if defined(CORLUNE_VECTORS_ELEMENTWISE_SQRT)
    v = __builtin_elementwise_sqrt(v);
#elif defined(CORLUNE_VECTORS_X86) && !defined(__clang__)
    // GCC checks a target builtin where it is expanded: in the kernel's
    // AVX or AVX-512 copy, into which this helper is always inlined. (The
    // builtin is no call, so the ABI of wide return values does not apply.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
    if constexpr (std::is_same_v<V, f64x4>) {
        v = (f64x4)__builtin_ia32_sqrtpd256((__v4df)v);
    } else {
        static_assert(std::is_same_v<V, f64x8>, "square roots of doubles");
        v = (f64x8)__builtin_ia32_sqrtpd512_mask((__v8df)v, (__v8df)v, (__mmask8)-1,
                                                 _MM_FROUND_CUR_DIRECTION);
    }
#pragma GCC diagnostic pop
#else
    // Clang without the generic builtin checks target builtins in the
    // function that names them, so the wide lanes take scalar roots (the
    // same values).
    for (int i = 0; i < kLanes<V>; ++i) v[i] = std::sqrt(v[i]);
#endif
}

// ---------------------------------------------------------------------------
// The run-time choice of width.

// The widest width the processor (and its operating system) supports.
inline Width widest_supported() {
#if defined(CORLUNE_VECTORS_X86)
    static const Width widest = __builtin_cpu_supports("avx512f") ? Width::Avx512
                                : __builtin_cpu_supports("avx")   ? Width::Avx
                                                                  : Width::Sse2;
    return widest;
#else
    return Width::Sse2;
#endif
}

// Every supported width, narrowest first.
inline std::vector<Width> supported_widths() {
    std::vector<Width> widths;
    for (Width w : {Width::Sse2, Width::Avx, Width::Avx512})
        if (w <= widest_supported()) widths.push_back(w);
    return widths;
}

namespace detail {
inline std::atomic<Width>& width_limit() {
    static std::atomic<Width> limit{Width::Avx512};
    return limit;
}
}  // namespace detail

// The width vectorised loops use: the widest supported one, or narrower
// while a WidthLimit is in force.
inline Width active_width() {
    return std::min(widest_supported(), detail::width_limit().load(std::memory_order_relaxed));
}

// Keeps the whole process at most at width w for its lifetime, then restores
// the previous limit. Meant for tests and measurements; results are the same
// at every width.
class WidthLimit {
public:
    explicit WidthLimit(Width w) : previous_(detail::width_limit().exchange(w)) {}
    ~WidthLimit() { detail::width_limit().store(previous_); }
    WidthLimit(const WidthLimit&) = delete;
    WidthLimit& operator=(const WidthLimit&) = delete;

private:
    Width previous_;
};

// ---------------------------------------------------------------------------
// Dispatch: Kernel::run<W> compiled for the instruction set of W.

namespace detail {
#if defined(CORLUNE_VECTORS_X86)
template <typename Kernel, typename... Args>
__attribute__((target("avx512f"))) decltype(auto) run_avx512(Args&&... args) {
    return Kernel::template run<Width::Avx512>(std::forward<Args>(args)...);
}
template <typename Kernel, typename... Args>
__attribute__((target("avx"))) decltype(auto) run_avx(Args&&... args) {
    return Kernel::template run<Width::Avx>(std::forward<Args>(args)...);
}
#endif
}  // namespace detail

// Runs Kernel::run<W>(args...) for the widest W allowed by both width and
// Kernel::kWidest.
template <typename Kernel, typename... Args>
decltype(auto) dispatch(Width width, Args&&... args) {
#if defined(CORLUNE_VECTORS_X86)
    if constexpr (Kernel::kWidest >= Width::Avx512) {
        if (width >= Width::Avx512)
            return detail::run_avx512<Kernel>(std::forward<Args>(args)...);
    }
    if constexpr (Kernel::kWidest >= Width::Avx) {
        if (width >= Width::Avx) return detail::run_avx<Kernel>(std::forward<Args>(args)...);
    }
#else
    (void)width;
#endif
    return Kernel::template run<Width::Sse2>(std::forward<Args>(args)...);
}

}  // namespace vec
