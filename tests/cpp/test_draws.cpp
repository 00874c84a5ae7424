// The search's own uniform and normal draws against the GNU library's
// distributions (when built with it): the same values, bit for bit, over
// millions of draws from seeded engines, interleaved as the search
// interleaves them, and on hand-picked engine outputs at every rounding edge
// (ties, values that round up to 1, rejected and degenerate polar pairs).
// With any library, a digest of the streams must equal the one recorded
// from the GNU build.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "search/draws.hpp"

namespace {

using qorv_test::expect;
using qorv_test::same_bits;

// An engine that replays given outputs (then zeros).
struct Replay {
  using result_type = std::uint64_t;
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return std::numeric_limits<std::uint64_t>::max(); }
  std::vector<std::uint64_t> out;
  std::size_t next = 0;
  result_type operator()() { return next < out.size() ? out[next++] : 0; }
};

std::uint64_t bits_of(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// FNV-1a over the bit patterns.
struct Digest {
  std::uint64_t h = 1469598103934665603ull;
  void add(double v) {
    std::uint64_t b = bits_of(v);
    for (int i = 0; i < 8; ++i, b >>= 8) h = (h ^ (b & 0xffu)) * 1099511628211ull;
  }
};

// Engine outputs at the rounding edges of the canonical construction.
std::vector<std::uint64_t> edge_outputs() {
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> v = {0, 1, 2, 3, (1ull << 53) - 1, 1ull << 53, (1ull << 53) + 1,
                                  (1ull << 54) - 1, (1ull << 54) + 1, (1ull << 54) + 3,
                                  1ull << 63, (1ull << 63) + 1024, (1ull << 63) + 1025,
                                  (1ull << 63) + 3072, top, top - 1, top - 1023, top - 1024,
                                  top - 1025, top - 2047, top - 2048, top - 3071};
  std::mt19937_64 rng(77);
  for (int shift = 1; shift <= 11; ++shift)
    for (int r = 0; r < 200; ++r) {
      const std::uint64_t q = (rng() >> shift) | (1ull << (63 - shift));  // top bit set
      const std::uint64_t base = q << shift;
      const std::uint64_t half = 1ull << (shift - 1);
      for (std::uint64_t low : {half - 1, half, half + 1})
        v.push_back(base | (low & ((1ull << shift) - 1)));
    }
  return v;
}

// The draws the search makes: normals of two spreads from their own
// streams and uniforms, interleaved by a fixed pattern.
template <class Next>
void interleaved(std::uint64_t seed, long count, Next&& next) {
  std::mt19937_64 engine(seed);
  qorv::NormalStream a{0.0, 0.5}, b{0.0, 0.015};
  std::minstd_rand pattern(static_cast<std::uint32_t>(seed) + 1u);
  for (long i = 0; i < count; ++i) {
    switch (pattern() % 4) {
      case 0: next(0, qorv::normal_draw(a, engine)); break;
      case 1: next(1, qorv::normal_draw(b, engine)); break;
      case 2: next(2, qorv::uniform_draw(engine, 0.0, 1.0)); break;
      default: next(3, qorv::uniform_draw(engine, -2.5, 7.0)); break;
    }
  }
}

#if defined(__GLIBCXX__)
constexpr long kDraws = 4000000;

void against_the_gnu_distributions() {
  for (std::uint64_t seed : {0ull, 42ull, 18446744073709551615ull}) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> a(0.0, 0.5), b(0.0, 0.015);
    std::uniform_real_distribution<double> u(0.0, 1.0), w(-2.5, 7.0);
    long mismatches = 0;
    interleaved(seed, kDraws, [&](int which, double mine) {
      double theirs = which == 0 ? a(engine) : which == 1 ? b(engine)
                    : which == 2 ? u(engine) : w(engine);
      mismatches += !same_bits(mine, theirs);
    });
    expect(mismatches == 0, "interleaved draws equal the GNU distributions'");
    std::printf("  seed %llu: %ld draws compared, %ld differ\n",
                static_cast<unsigned long long>(seed), kDraws, mismatches);
  }

  const std::vector<std::uint64_t> edges = edge_outputs();
  long mismatches = 0;
  for (std::uint64_t x : edges) {
    Replay r{{x}};
    mismatches += !same_bits(qorv::unit_from_bits(x), std::generate_canonical<double, 53>(r));
  }
  expect(mismatches == 0, "canonical construction at the rounding edges");

  // Polar pairs from edge outputs: 2^63 gives u = 0.5, hence x or y = 0;
  // 0 gives -1; the top outputs give u just below 1 (r2 up to 2, rejected).
  Replay mine_engine{edges}, std_engine{edges};
  for (std::uint64_t x : {1ull << 63, 1ull << 63, 0ull, 1ull << 63}) {
    mine_engine.out.insert(mine_engine.out.begin(), x);
    std_engine.out.insert(std_engine.out.begin(), x);
  }
  qorv::NormalStream mine{1.5, 2.0};
  std::normal_distribution<double> theirs(1.5, 2.0);
  mismatches = 0;
  while (mine_engine.next < mine_engine.out.size())
    mismatches += !same_bits(qorv::normal_draw(mine, mine_engine), theirs(std_engine));
  expect(mismatches == 0 && std_engine.next == mine_engine.next,
         "polar method on edge outputs (rejections, r2 = 0, r2 = 1)");
}
#endif

// Recorded from the GNU build (interleaved(seed = 42, 1e6) and the edges).
constexpr std::uint64_t kStreamDigest = 0x90411140d9b1b950ull;
constexpr std::uint64_t kEdgeDigest = 0xa66231b54aba3378ull;

void against_the_recorded_digest() {
  Digest stream;
  interleaved(42, 1000000, [&](int, double v) { stream.add(v); });
  Digest edge;
  for (std::uint64_t x : edge_outputs()) edge.add(qorv::unit_from_bits(x));
  std::printf("  digests %016llx %016llx\n", static_cast<unsigned long long>(stream.h),
              static_cast<unsigned long long>(edge.h));
  expect(stream.h == kStreamDigest, "digest of the interleaved stream");
  expect(edge.h == kEdgeDigest, "digest of the edge values");
}

}  // namespace

void test_draws() {
#if defined(__GLIBCXX__)
  against_the_gnu_distributions();
#endif
  against_the_recorded_digest();
}
