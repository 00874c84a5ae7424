// The project's sort against the GNU library's std::sort (when built with
// it): the same order of equal keys on arrays full of ties, of every size
// around the insertion runs, and on the heapsort that a too-deep partition
// falls back to. With any library, a digest of the orders must equal the one
// recorded from the GNU build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/intro_sort.hpp"

namespace {

using qorv_test::expect;
using Item = std::pair<int, int>;  // key, original position

bool key_less(const Item& a, const Item& b) { return a.first < b.first; }

std::vector<Item> tied(std::mt19937_64& rng, int n, int keys) {
  std::vector<Item> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = {int(rng() % keys), i};
  return v;
}

bool sorted_permutation(const std::vector<Item>& v, std::size_t n) {
  std::vector<char> seen(n, 0);
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i && v[i].first < v[i - 1].first) return false;
    seen[static_cast<std::size_t>(v[i].second)] = 1;
  }
  return std::all_of(seen.begin(), seen.end(), [](char c) { return c != 0; });
}

}  // namespace

void test_intro_sort() {
  std::mt19937_64 rng(2026);
  std::uint64_t digest = 1469598103934665603ull;
  bool same_as_gnu = true, ordered = true;
  for (int n : {0, 1, 2, 3, 15, 16, 17, 18, 25, 31, 32, 33, 64, 100, 257, 1000, 5000})
    for (int keys : {1, 2, 3, 7, 40, 1 << 20})
      for (int rep = 0; rep < 4; ++rep) {
        std::vector<Item> v = tied(rng, n, keys);
        std::vector<Item> ours = v;
        qorv::intro_sort(ours.begin(), ours.end(), key_less);
        ordered = ordered && sorted_permutation(ours, v.size());
        for (const Item& it : ours)
          digest = (digest ^ static_cast<std::uint64_t>(it.second)) * 1099511628211ull;
#if defined(__GLIBCXX__)
        std::vector<Item> theirs = v;
        std::sort(theirs.begin(), theirs.end(), key_less);
        same_as_gnu = same_as_gnu && ours == theirs;
        // the fallback: the GNU partial_sort of the whole range is its heapsort
        std::vector<Item> heap = v, gnu_heap = v;
        auto less = key_less;
        qorv::intro_sort_detail::heap_sort(heap.begin(), heap.end(), less);
        std::partial_sort(gnu_heap.begin(), gnu_heap.end(), gnu_heap.end(), key_less);
        same_as_gnu = same_as_gnu && heap == gnu_heap;
#endif
      }
  expect(ordered, "intro_sort: a sorted permutation");
  expect(same_as_gnu, "intro_sort: the order of GNU std::sort and its heapsort");
  const std::uint64_t recorded = 11354612900877327983ull;  // from the GNU build
  if (!expect(digest == recorded, "intro_sort: the digest recorded from the GNU build"))
    std::printf("  digest %llu\n", static_cast<unsigned long long>(digest));
}
