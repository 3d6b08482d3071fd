// Whole-array statistics for the closing report: value range, and distinct
// values with their counts. Each is one pass over the array, whatever its
// layout (views are read through their strides); large arrays are split
// across the workers of a pool.
#pragma once

#include <cstdint>
#include <vector>

#include "vexil/array.hpp"

namespace vexil::conversion {

// `threads` = 0 chooses by size (auto_threads). Any other value forces that
// many workers (at most one per element).

// Minimum and maximum over all elements. Bool reads as 0/1 (any non-zero
// byte is true). Complex values compare as NumPy does: real part first, then
// imaginary part. `nan` is set when any element is NaN (a complex one when
// either part is); min and max then hold the extremes of the other elements.
template <class T>
struct MinMax {
  std::int64_t count = 0;  // elements seen; 0 for an empty array (min, max unset)
  bool nan = false;
  std::uint64_t nan_count = 0;  // NaN elements (a complex one when either part is)
  std::uint64_t excluded = 0;   // elements equal to the excluded value
  bool have = false;            // min and max hold a value: some element was neither
  T min{};
  T max{};
};

// With `exclude`, elements equal to it (a declared fill value) are left out
// of min and max and counted in `excluded`.
template <class T>
MinMax<T> min_max(const NDArray& a, unsigned threads = 0, const T* exclude = nullptr);

// Adds `part`'s statistics to `into`, as if min_max() had seen the elements
// of both (each taken with the same excluded value).
template <class T>
void merge_min_max(MinMax<T>& into, const MinMax<T>& part);

// One distinct value and how many elements equal it.
template <class T>
struct ValueCount {
  T value;
  std::uint64_t count;
};

// Distinct values sorted ascending, as numpy.unique gives them, each with the
// number of elements that compare equal to it. Floating types: 0.0 and -0.0
// are one entry (shown as -0.0 only when no +0.0 occurs); all NaNs form one
// trailing entry whose count is 0, because NaN compares unequal to itself
// (numpy.sum(a == nan)); the true NaN count is returned in `nan_elements`.
// Bool values are false/true (any non-zero byte is true).
template <class T>
struct Counts {
  std::vector<ValueCount<T>> classes;
  std::uint64_t nan_elements = 0;
};

template <class T>
Counts<T> value_counts(const NDArray& a, unsigned threads = 0);

// Workers worth using for an array of this many bytes: one up to 64 MiB,
// else `budget` (0: the CPUs this process may use).
unsigned auto_threads(std::uint64_t nbytes, int budget = 0);

}  // namespace vexil::conversion
