// Instruction-set paths of the kernels: the one condition under which they
// get AVX2 and AVX-512 versions chosen at load time, and the one set of
// vector types they are written in.
//
// Every path gives the same bits: a vector lane does exactly one entry's
// scalar arithmetic, and a product is fused with its sum only where a kernel
// says so (then on every path). The condition therefore changes the speed
// only, and every build takes the same decision in every file: GCC or
// Clang, any standard library, with or without sanitizers (which then check
// the code that runs in production), on x86-64 unless the build asks for
// the baseline only. Other processors run the baseline path.
#pragma once

#include <cstring>

// The kernels use GNU vector extensions, function target attributes and
// __builtin_cpu_supports; a compiler without them would need its own
// kernels.
#if !defined(__GNUC__) && !defined(__clang__)
#error "qorv's native core needs GCC or Clang (GNU vector extensions)"
#endif

#if defined(__x86_64__) && !defined(QORV_BASELINE_ONLY)
#define QORV_WIDE_KERNELS 1
#include <immintrin.h>
#endif

// Vector values never cross a function boundary that another translation
// unit sees, so the note about the AVX value ABI is moot in every kernel
// file.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace qorv {

// Doubles: 2 lanes (one SSE2 register), 4 (AVX2, or two SSE2 registers on
// the baseline), 8 (AVX-512).
typedef double lane2 __attribute__((vector_size(16)));
typedef double lane4 __attribute__((vector_size(32)));
typedef double lane8 __attribute__((vector_size(64)));
// Floats: 8 lanes (AVX2, or two SSE2 registers), 16 (AVX-512).
typedef float flane8 __attribute__((vector_size(32)));
typedef float flane16 __attribute__((vector_size(64)));

// Per-lane comparison results: all bits set (-1) where true.
using mask4 = decltype(lane4{} < lane4{});

// Vectors wider than two doubles go between functions by reference only:
// a kernel built for AVX2 or AVX-512 and a helper built for the baseline
// pass such a value in different registers (Clang refuses the call).

// Unaligned load of one vector V of T's from p into v.
template <class V, class T>
inline __attribute__((always_inline)) void load_lanes(V& v, const T* p) {
  std::memcpy(&v, p, sizeof v);
}

}  // namespace qorv
