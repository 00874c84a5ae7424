// intro_sort(first, last, less): sorts [first, last) by `less` (a strict weak
// ordering) in exactly the order that GNU libstdc++'s std::sort gives, on
// every C++ library. std::sort leaves the order of equal elements to the
// library; the search ranks chains by energy, where ties are common (the
// energies are hit counts), and which of tied chains comes first decides the
// elite. So the order is fixed here, once: introsort (median-of-three
// partitions down to runs of 16, heapsort past a depth of 2 floor(log2 n)),
// then one insertion sort over the whole range.
//
// Random-access iterators; elements move-constructible and move-assignable.
// Throws only what moving an element or `less` throws.
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>

namespace qorv {
namespace intro_sort_detail {

constexpr std::ptrdiff_t kRun = 16;

template <class It, class Less>
void move_median_to_first(It result, It a, It b, It c, Less& less) {
  using std::iter_swap;
  if (less(*a, *b)) {
    if (less(*b, *c)) iter_swap(result, b);
    else if (less(*a, *c)) iter_swap(result, c);
    else iter_swap(result, a);
  } else if (less(*a, *c)) {
    iter_swap(result, a);
  } else if (less(*b, *c)) {
    iter_swap(result, c);
  } else {
    iter_swap(result, b);
  }
}

// Partition around *pivot, which stays put; needs an element on each side to
// stop the scans (the median-of-three guarantees it).
template <class It, class Less>
It unguarded_partition(It first, It last, It pivot, Less& less) {
  while (true) {
    while (less(*first, *pivot)) ++first;
    --last;
    while (less(*pivot, *last)) --last;
    if (!(first < last)) return first;
    std::iter_swap(first, last);
    ++first;
  }
}

template <class It, class Less>
void push_heap(It first, std::ptrdiff_t hole, std::ptrdiff_t top,
               typename std::iterator_traits<It>::value_type value, Less& less) {
  std::ptrdiff_t parent = (hole - 1) / 2;
  while (hole > top && less(*(first + parent), value)) {
    *(first + hole) = std::move(*(first + parent));
    hole = parent;
    parent = (hole - 1) / 2;
  }
  *(first + hole) = std::move(value);
}

template <class It, class Less>
void adjust_heap(It first, std::ptrdiff_t hole, std::ptrdiff_t len,
                 typename std::iterator_traits<It>::value_type value, Less& less) {
  const std::ptrdiff_t top = hole;
  std::ptrdiff_t child = hole;
  while (child < (len - 1) / 2) {
    child = 2 * (child + 1);
    if (less(*(first + child), *(first + (child - 1)))) --child;
    *(first + hole) = std::move(*(first + child));
    hole = child;
  }
  if ((len & 1) == 0 && child == (len - 2) / 2) {
    child = 2 * (child + 1);
    *(first + hole) = std::move(*(first + (child - 1)));
    hole = child - 1;
  }
  push_heap(first, hole, top, std::move(value), less);
}

template <class It, class Less>
void heap_sort(It first, It last, Less& less) {
  const std::ptrdiff_t len = last - first;
  if (len < 2) return;
  for (std::ptrdiff_t parent = (len - 2) / 2;; --parent) {
    adjust_heap(first, parent, len, std::move(*(first + parent)), less);
    if (parent == 0) break;
  }
  while (last - first > 1) {
    --last;
    auto value = std::move(*last);
    *last = std::move(*first);
    adjust_heap(first, 0, last - first, std::move(value), less);
  }
}

template <class It, class Less>
void introsort_loop(It first, It last, int depth, Less& less) {
  while (last - first > kRun) {
    if (depth == 0) {
      heap_sort(first, last, less);
      return;
    }
    --depth;
    const It mid = first + (last - first) / 2;
    move_median_to_first(first, first + 1, mid, last - 1, less);
    const It cut = unguarded_partition(first + 1, last, first, less);
    introsort_loop(cut, last, depth, less);
    last = cut;
  }
}

// Insert *last into the sorted run before it, which holds an element not
// greater than it (so the scan needs no bound).
template <class It, class Less>
void unguarded_linear_insert(It last, Less& less) {
  auto value = std::move(*last);
  It next = last;
  --next;
  while (less(value, *next)) {
    *last = std::move(*next);
    last = next;
    --next;
  }
  *last = std::move(value);
}

template <class It, class Less>
void insertion_sort(It first, It last, Less& less) {
  if (first == last) return;
  for (It i = first + 1; i != last; ++i) {
    if (less(*i, *first)) {
      auto value = std::move(*i);
      std::move_backward(first, i, i + 1);
      *first = std::move(value);
    } else {
      unguarded_linear_insert(i, less);
    }
  }
}

inline int floor_log2(std::ptrdiff_t n) {
  int k = 0;
  while (n > 1) {
    n >>= 1;
    ++k;
  }
  return k;
}

}  // namespace intro_sort_detail

template <class It, class Less>
void intro_sort(It first, It last, Less less) {
  namespace d = intro_sort_detail;
  if (first == last) return;
  d::introsort_loop(first, last, 2 * d::floor_log2(last - first), less);
  if (last - first > d::kRun) {
    d::insertion_sort(first, first + d::kRun, less);
    for (It i = first + d::kRun; i != last; ++i) d::unguarded_linear_insert(i, less);
  } else {
    d::insertion_sort(first, last, less);
  }
}

}  // namespace qorv
