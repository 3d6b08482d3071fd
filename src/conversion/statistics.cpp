#include "conversion/statistics.hpp"

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/cpu_budget.hpp"
#include "core/worker_pool.hpp"
#include "io/mapped_file.hpp"

namespace vexil::conversion {
namespace {

// The array as a set of runs: min/max and counts do not depend on the order
// elements are visited in, so axes are reordered freely (largest stride
// outside, merged where they are contiguous together). A transposed view of a
// contiguous cube becomes one contiguous run again; a cropped one becomes
// rows of contiguous (width x bands) runs.
struct Layout {
  const std::byte* base = nullptr;
  const io::MappedFile* file = nullptr;  // the storage, when a mapped file
  std::int64_t item = 1;
  std::vector<std::int64_t> ext;  // outer axes, outermost first
  std::vector<std::int64_t> str;
  std::int64_t inner_n = 1;
  std::int64_t inner_stride = 0;
  std::int64_t total = 0;
};

Layout make_layout(const NDArray& a) {
  Layout L;
  L.base = a.data();
  L.file = io::MappedFile::of(a.keep_alive());
  L.item = static_cast<std::int64_t>(a.itemsize());
  L.total = a.size();
  struct Axis {
    std::int64_t n, s;
  };
  std::vector<Axis> axes;
  for (int d = 0; d < a.ndim(); ++d) {
    std::int64_t n = a.shape()[d], s = a.strides()[d];
    if (n == 1) continue;
    if (s < 0) {  // visit backwards-strided axes forwards from their far end
      L.base += (n - 1) * s;
      s = -s;
    }
    axes.push_back({n, s});
  }
  // Broadcast (stride 0) axes go outermost so the inner run walks memory.
  std::stable_sort(axes.begin(), axes.end(), [](const Axis& p, const Axis& q) {
    const auto key = [](std::int64_t s) { return s == 0 ? std::numeric_limits<std::int64_t>::max() : s; };
    return key(p.s) > key(q.s);
  });
  std::vector<Axis> merged;
  for (const Axis& ax : axes) {
    if (!merged.empty()) {
      // Not coalescing into a stride-0 axis: that would repeat, not continue.
      Axis& prev = merged.back();
      if (ax.s != 0 && prev.s == ax.s * ax.n) {
        prev.n *= ax.n;
        prev.s = ax.s;
        continue;
      }
    }
    merged.push_back(ax);
  }
  if (merged.empty()) {
    L.inner_n = 1;
    L.inner_stride = static_cast<std::int64_t>(a.itemsize());
    return L;
  }
  L.inner_n = merged.back().n;
  L.inner_stride = merged.back().s;
  merged.pop_back();
  for (const Axis& ax : merged) {
    L.ext.push_back(ax.n);
    L.str.push_back(ax.s);
  }
  return L;
}

// Calls f(pointer, count, stride) for a run, or for its pieces read from
// the file into a per-thread buffer when it is a contiguous run of a mapped
// file (cheaper than touching the mapping, see io/mapped_file.hpp).
template <class F>
void visit_run(const Layout& L, const std::byte* p, std::int64_t n, std::int64_t stride, F&& f) {
  constexpr std::int64_t kPiece = 1 << 20;
  if (!L.file || stride <= 0 || stride > 2 * L.item || n * stride < kPiece) return f(p, n, stride);
  const std::int64_t per = kPiece / stride;
  for (std::int64_t i = 0; i < n; i += per) {
    const std::int64_t k = std::min(per, n - i);
    const auto bytes = static_cast<std::size_t>(k * stride);
    // Zeros where the file lost its bytes, as the mapping would show.
    const std::byte* piece = L.file->stage(p + i * stride, 1, bytes, bytes);
    f(piece ? piece : p + i * stride, k, stride);
  }
}

// Calls f(pointer, count, stride) for the pieces of runs that make up the
// elements [eb, ee) of the layout's visiting order.
template <class F>
void for_range(const Layout& L, std::int64_t eb, std::int64_t ee, F&& f) {
  if (eb >= ee) return;
  const int no = static_cast<int>(L.ext.size());
  std::vector<std::int64_t> idx(no, 0);
  std::int64_t run = eb / L.inner_n;
  std::int64_t off = eb % L.inner_n;
  const std::byte* p = L.base;
  for (int d = no - 1; d >= 0; --d) {
    idx[d] = run % L.ext[d];
    run /= L.ext[d];
    p += idx[d] * L.str[d];
  }
  while (eb < ee) {
    const std::int64_t n = std::min(L.inner_n - off, ee - eb);
    visit_run(L, p + off * L.inner_stride, n, L.inner_stride, f);
    eb += n;
    off = 0;
    for (int d = no - 1; d >= 0; --d) {
      if (++idx[d] < L.ext[d]) {
        p += L.str[d];
        break;
      }
      p -= (L.ext[d] - 1) * L.str[d];
      idx[d] = 0;
    }
  }
}

// Runs work(range_index, eb, ee) over `nt` equal element ranges, on a pool
// of `nt` workers.
template <class W>
void parallel_ranges(std::int64_t total, unsigned nt, W&& work) {
  const auto bound = [&](std::size_t t) {
    return static_cast<std::int64_t>(static_cast<__int128>(total) * static_cast<__int128>(t) / nt);
  };
  core::WorkerPool pool(static_cast<int>(nt));
  pool.for_each(nt, [&](std::size_t t, int) { work(static_cast<unsigned>(t), bound(t), bound(t + 1)); });
}

unsigned pick_threads(const NDArray& a, unsigned threads) {
  unsigned nt = threads == 0 ? auto_threads(a.nbytes()) : threads;
  const std::int64_t n = a.size();
  if (n < static_cast<std::int64_t>(nt)) nt = static_cast<unsigned>(std::max<std::int64_t>(n, 1));
  return std::max(nt, 1u);
}

template <class T>
inline T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
constexpr bool is_cplx = false;
template <class T>
constexpr bool is_cplx<std::complex<T>> = true;

// ---------------------------------------------------------------- min/max

template <class T>
struct MinMaxAcc {
  bool have = false;
  bool nan = false;
  T mn{}, mx{};

  static bool less(const T& a, const T& b) {
    if constexpr (is_cplx<T>)
      return a.real() < b.real() || (a.real() == b.real() && a.imag() < b.imag());
    else
      return a < b;
  }
  static bool isnan(const T& v) {
    if constexpr (is_cplx<T>)
      return v.real() != v.real() || v.imag() != v.imag();
    else if constexpr (std::is_floating_point_v<T>)
      return v != v;
    else
      return false;
  }
  void add(const T& v) {
    if (isnan(v)) {
      nan = true;
      return;
    }
    if (!have) {
      mn = mx = v;
      have = true;
      return;
    }
    if (less(v, mn)) mn = v;
    if (less(mx, v)) mx = v;
  }
  void merge(const MinMaxAcc& o) {
    nan = nan || o.nan;
    if (o.have) {
      add(o.mn);
      add(o.mx);
    }
  }
};

// 16-byte vectors (every x86-64 and ARM64 target has them), four chains
// side by side; wider generic vectors make GCC scalarise float compares.
template <class T>
struct Vec16 {
  typedef T type __attribute__((vector_size(16)));
};

// Built twice: AVX2 machines get native unsigned and 64-bit compares (SSE2
// emulates them in several instructions), chosen once at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VEXIL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VEXIL_VECTOR_CLONES
#endif

template <class T>
VEXIL_VECTOR_CLONES void minmax_contiguous(const std::byte* p, std::int64_t n, MinMaxAcc<T>& acc) {
  using V = typename Vec16<T>::type;
  using M = decltype(V{} != V{});
  constexpr std::int64_t L = 16 / static_cast<std::int64_t>(sizeof(T));
  constexpr int U = 4;
  constexpr std::int64_t Step = L * U;
  std::int64_t i = 0;
  if (n >= 2 * Step) {
    V mn[U], mx[U];
    M nan[U];
#pragma GCC unroll 4
    for (int u = 0; u < U; ++u) {
      std::memcpy(&mn[u], p + u * 16, 16);
      mx[u] = mn[u];
      nan[u] = mn[u] != mn[u];
    }
    for (i = Step; i + Step <= n; i += Step) {
      const std::byte* q = p + i * static_cast<std::int64_t>(sizeof(T));
#pragma GCC unroll 4
      for (int u = 0; u < U; ++u) {
        V v;
        std::memcpy(&v, q + u * 16, 16);
        mn[u] = v < mn[u] ? v : mn[u];
        mx[u] = v > mx[u] ? v : mx[u];
        // NaN never wins a comparison, so it is tracked on the side; a lane
        // that started as NaN stays NaN and has set the flag.
        if constexpr (std::is_floating_point_v<T>) nan[u] |= v != v;
      }
    }
    for (int u = 0; u < U; ++u)
      for (std::int64_t j = 0; j < L; ++j) {
        if constexpr (std::is_floating_point_v<T>)
          if (nan[u][j]) acc.nan = true;
        acc.add(mn[u][j]);
        acc.add(mx[u][j]);
      }
  }
  for (; i < n; ++i) acc.add(load<T>(p + i * static_cast<std::int64_t>(sizeof(T))));
}

template <class T>
void minmax_run(const std::byte* p, std::int64_t n, std::int64_t stride, MinMaxAcc<T>& acc) {
  if constexpr (std::is_arithmetic_v<T>) {
    if (stride == static_cast<std::int64_t>(sizeof(T))) return minmax_contiguous<T>(p, n, acc);
  }
  for (std::int64_t i = 0; i < n; ++i) acc.add(load<T>(p + i * stride));
}

template <class S>
MinMaxAcc<S> minmax_storage(const NDArray& a, unsigned threads) {
  const Layout L = make_layout(a);
  const unsigned nt = pick_threads(a, threads);
  std::vector<MinMaxAcc<S>> part(nt);
  parallel_ranges(L.total, nt, [&](unsigned t, std::int64_t eb, std::int64_t ee) {
    MinMaxAcc<S> acc;
    for_range(L, eb, ee, [&](const std::byte* p, std::int64_t n, std::int64_t s) { minmax_run<S>(p, n, s, acc); });
    part[t] = acc;
  });
  MinMaxAcc<S> all;
  for (const auto& q : part) all.merge(q);
  return all;
}

// Min/max leaving out one value (a declared fill value), counting it and
// NaNs on the way. Contiguous runs of arithmetic types go through vectors:
// masked compares keep the fill value out, the masks summed as counts.
template <class T>
struct ExclAcc {
  MinMaxAcc<T> mm;
  std::uint64_t excluded = 0;
  std::uint64_t nans = 0;
};

template <class T>
void excl_scalar(const std::byte* p, std::int64_t n, std::int64_t stride, const T& x, ExclAcc<T>& acc) {
  for (std::int64_t i = 0; i < n; ++i) {
    const T v = load<T>(p + i * stride);
    if (MinMaxAcc<T>::isnan(v))
      ++acc.nans;
    else if (v == x)
      ++acc.excluded;
    else
      acc.mm.add(v);
  }
}

template <class T>
VEXIL_VECTOR_CLONES void excl_contiguous(const std::byte* p, std::int64_t n, const T& x, ExclAcc<T>& acc) {
  using V = typename Vec16<T>::type;
  using M = decltype(V{} != V{});
  constexpr std::int64_t L = 16 / static_cast<std::int64_t>(sizeof(T));
  // Lane counts are as wide as T; flush them before they could overflow.
  constexpr std::int64_t kFlush = std::int64_t{1} << (8 * sizeof(T) - 2);
  V lo, hi;
  if constexpr (std::is_floating_point_v<T>) {
    lo = V{} + std::numeric_limits<T>::infinity();
    hi = V{} - std::numeric_limits<T>::infinity();
  } else {
    lo = V{} + std::numeric_limits<T>::max();
    hi = V{} + std::numeric_limits<T>::lowest();
  }
  const V xs = V{} + x;
  // Four independent chains, so the selects do not wait on each other.
  constexpr int U = 4;
  V mn[U], mx[U];
  M excl[U], nan[U];
  for (int u = 0; u < U; ++u) {
    mn[u] = lo;
    mx[u] = hi;
    excl[u] = M{};
    nan[u] = M{};
  }
  std::int64_t i = 0, since_flush = 0;
  auto flush = [&] {
    for (int u = 0; u < U; ++u) {
      for (std::int64_t j = 0; j < L; ++j) {
        acc.excluded += static_cast<std::uint64_t>(-static_cast<std::int64_t>(excl[u][j]));
        acc.nans += static_cast<std::uint64_t>(-static_cast<std::int64_t>(nan[u][j]));
      }
      excl[u] = M{};
      nan[u] = M{};
    }
    since_flush = 0;
  };
  auto step = [&](int u, const std::byte* q) {
    V v;
    std::memcpy(&v, q, 16);
    const M is_fill = v == xs;
    excl[u] += is_fill;  // true lanes are -1
    if constexpr (std::is_floating_point_v<T>) nan[u] += v != v;
    const M keep = ~is_fill;
    mn[u] = (keep & (v < mn[u])) ? v : mn[u];
    mx[u] = (keep & (v > mx[u])) ? v : mx[u];
  };
  constexpr std::int64_t sz = sizeof(T);
  for (; i + U * L <= n; i += U * L) {
#pragma GCC unroll 4
    for (int u = 0; u < U; ++u) step(u, p + (i + u * L) * sz);
    if (++since_flush == kFlush) flush();
  }
  for (; i + L <= n; i += L) {
    step(0, p + i * sz);
    if (++since_flush == kFlush) flush();
  }
  flush();
  // A lane that saw a kept value has moved its minimum or its maximum away
  // from the start value (a value equal to one start value moves the other);
  // lanes that saw none are left out.
  for (int u = 0; u < U; ++u)
    for (std::int64_t j = 0; j < L; ++j) {
      if (mn[u][j] != lo[j] || mx[u][j] != hi[j]) {
        acc.mm.add(mn[u][j]);
        acc.mm.add(mx[u][j]);
      }
    }
  excl_scalar<T>(p + i * sz, n - i, sz, x, acc);
}

template <class T>
ExclAcc<T> minmax_excluding(const NDArray& a, const T& x, unsigned threads) {
  const Layout L = make_layout(a);
  const unsigned nt = pick_threads(a, threads);
  std::vector<ExclAcc<T>> part(nt);
  parallel_ranges(L.total, nt, [&](unsigned t, std::int64_t eb, std::int64_t ee) {
    ExclAcc<T> acc;
    for_range(L, eb, ee, [&](const std::byte* p, std::int64_t n, std::int64_t s) {
      if constexpr (std::is_arithmetic_v<T> && sizeof(T) >= 2) {
        if (s == static_cast<std::int64_t>(sizeof(T))) {
          ExclAcc<T> run;
          excl_contiguous<T>(p, n, x, run);
          acc.mm.merge(run.mm);
          acc.excluded += run.excluded;
          acc.nans += run.nans;
          return;
        }
      }
      excl_scalar<T>(p, n, s, x, acc);
    });
    part[t] = acc;
  });
  ExclAcc<T> all;
  for (const auto& q : part) {
    all.mm.merge(q.mm);
    all.excluded += q.excluded;
    all.nans += q.nans;
  }
  all.mm.nan = all.nans > 0;
  return all;
}

// ------------------------------------------------------------------ counts

// Open-addressing count table keyed by a value's bit pattern.
class CountMap {
 public:
  explicit CountMap(std::size_t limit) : limit_(limit) { rehash(64); }
  // False once more than `limit` distinct keys were seen.
  bool add(std::uint64_t k, std::uint64_t c) {
    std::size_t i = slot(k);
    while (counts_[i] != 0 && keys_[i] != k) i = (i + 1) & mask_;
    if (counts_[i] != 0) {
      counts_[i] += c;
      return true;
    }
    keys_[i] = k;
    counts_[i] = c;
    if (++size_ > limit_) return false;
    if (size_ * 2 > counts_.size()) rehash(counts_.size() * 2);
    return true;
  }
  template <class F>
  void each(F&& f) const {
    for (std::size_t i = 0; i < counts_.size(); ++i)
      if (counts_[i]) f(keys_[i], counts_[i]);
  }
  std::size_t size() const { return size_; }

 private:
  std::size_t slot(std::uint64_t k) const {
    k ^= k >> 29;
    return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
  }
  void rehash(std::size_t cap) {
    std::vector<std::uint64_t> ok = std::move(keys_), oc = std::move(counts_);
    keys_.assign(cap, 0);
    counts_.assign(cap, 0);
    mask_ = cap - 1;
    for (std::size_t i = 0; i < oc.size(); ++i) {
      if (!oc[i]) continue;
      std::size_t j = slot(ok[i]);
      while (counts_[j] != 0) j = (j + 1) & mask_;
      keys_[j] = ok[i];
      counts_[j] = oc[i];
    }
  }
  std::vector<std::uint64_t> keys_, counts_;
  std::size_t mask_ = 0, size_ = 0, limit_;
};

// Unsigned index of a 1- or 2-byte value, and back.
template <class T>
using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                                std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                                   std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

// Counting table for bool and 8/16-bit integers: one increment per element.
template <class T>
Counts<T> counts_table(const NDArray& a, unsigned threads) {
  using U = Bits<T>;
  constexpr std::size_t K = std::size_t{1} << (8 * sizeof(T));
  constexpr std::size_t Ways = sizeof(T) == 1 ? 4 : 1;  // spreads repeated values over tables
  const Layout L = make_layout(a);
  const unsigned nt = pick_threads(a, threads);
  std::vector<std::vector<std::uint64_t>> part(nt);
  parallel_ranges(L.total, nt, [&](unsigned t, std::int64_t eb, std::int64_t ee) {
    std::vector<std::uint64_t> tab(K * Ways, 0);
    std::uint64_t* c = tab.data();
    for_range(L, eb, ee, [&](const std::byte* p, std::int64_t n, std::int64_t s) {
      std::int64_t i = 0;
      if (s == static_cast<std::int64_t>(sizeof(U))) {
        if constexpr (Ways == 4) {
          for (; i + 4 <= n; i += 4) {
            ++c[static_cast<U>(p[i])];
            ++c[K + static_cast<U>(p[i + 1])];
            ++c[2 * K + static_cast<U>(p[i + 2])];
            ++c[3 * K + static_cast<U>(p[i + 3])];
          }
        }
        for (; i < n; ++i) ++c[load<U>(p + i * sizeof(U))];
      } else {
        for (; i < n; ++i) ++c[load<U>(p + i * s)];
      }
    });
    for (std::size_t w = 1; w < Ways; ++w)
      for (std::size_t k = 0; k < K; ++k) tab[k] += tab[w * K + k];
    tab.resize(K);
    part[t] = std::move(tab);
  });
  std::vector<std::uint64_t> tab(K, 0);
  for (const auto& q : part)
    for (std::size_t k = 0; k < K; ++k) tab[k] += q[k];

  Counts<T> out;
  if constexpr (std::is_same_v<T, bool>) {
    std::uint64_t nonzero = 0;
    for (std::size_t k = 1; k < K; ++k) nonzero += tab[k];
    if (tab[0]) out.classes.push_back({false, tab[0]});
    if (nonzero) out.classes.push_back({true, nonzero});
  } else {
    // Walk the values in ascending order of T (signed types start at their minimum).
    const std::int64_t lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    for (std::int64_t v = lo; v <= hi; ++v) {
      const U k = static_cast<U>(static_cast<T>(v));
      if (tab[k]) out.classes.push_back({static_cast<T>(v), tab[k]});
    }
  }
  return out;
}

template <class T>
std::uint64_t key_of(T v) {
  Bits<T> b;
  std::memcpy(&b, &v, sizeof(T));
  return b;
}
template <class T>
T value_of(std::uint64_t k) {
  const Bits<T> b = static_cast<Bits<T>>(k);
  T v;
  std::memcpy(&v, &b, sizeof(T));
  return v;
}

// Adds the NaN entry and orders the classes; zeros of both signs are one
// class, shown as -0.0 only when no +0.0 occurred.
template <class T>
void finish(Counts<T>& out, std::uint64_t pos_zero, std::uint64_t neg_zero) {
  if constexpr (std::is_floating_point_v<T>) {
    if (pos_zero || neg_zero) out.classes.push_back({pos_zero ? T(0) : -T(0), pos_zero + neg_zero});
  } else {
    (void)pos_zero;
    (void)neg_zero;
  }
  std::sort(out.classes.begin(), out.classes.end(),
            [](const ValueCount<T>& p, const ValueCount<T>& q) { return MinMaxAcc<T>::less(p.value, q.value); });
  if (out.nan_elements) {
    if constexpr (is_cplx<T>) {
      using R = typename T::value_type;
      out.classes.push_back({T(std::numeric_limits<R>::quiet_NaN(), std::numeric_limits<R>::quiet_NaN()), 0});
    } else if constexpr (std::is_floating_point_v<T>) {
      out.classes.push_back({std::numeric_limits<T>::quiet_NaN(), 0});
    }
  }
}

// Sort-based counting: one copy of the array. Used for complex values and
// when the count table grows too large (many distinct values).
template <class T>
Counts<T> counts_sorted(const NDArray& a) {
  const Layout L = make_layout(a);
  std::vector<T> v;
  v.reserve(static_cast<std::size_t>(L.total));
  Counts<T> out;
  for_range(L, 0, L.total, [&](const std::byte* p, std::int64_t n, std::int64_t s) {
    for (std::int64_t i = 0; i < n; ++i) {
      const T x = load<T>(p + i * s);
      if (MinMaxAcc<T>::isnan(x))
        ++out.nan_elements;
      else
        v.push_back(x);
    }
  });
  std::sort(v.begin(), v.end(), MinMaxAcc<T>::less);
  std::uint64_t pos_zero = 0, neg_zero = 0;
  for (std::size_t i = 0; i < v.size();) {
    std::size_t j = i;
    bool any_pos_zero = false;
    while (j < v.size() && !MinMaxAcc<T>::less(v[i], v[j])) {
      if constexpr (std::is_floating_point_v<T>)
        if (v[j] == 0 && !std::signbit(v[j])) any_pos_zero = true;
      ++j;
    }
    const std::uint64_t c = j - i;
    if constexpr (std::is_floating_point_v<T>) {
      if (v[i] == 0) {
        (any_pos_zero ? pos_zero : neg_zero) = c;
        i = j;
        continue;
      }
    }
    out.classes.push_back({v[i], c});
    i = j;
  }
  finish(out, pos_zero, neg_zero);
  return out;
}

// Hash counting for 32/64-bit integers and floats. Runs of one value (the
// common case in label maps) cost one comparison per element.
template <class T>
Counts<T> counts_hashed(const NDArray& a, unsigned threads) {
  const Layout L = make_layout(a);
  const unsigned nt = pick_threads(a, threads);
  // Beyond this many distinct values a sorted copy is cheaper than the table.
  const std::size_t limit = std::max<std::size_t>(std::size_t{1} << 16, static_cast<std::size_t>(L.total / 32 / nt));
  std::atomic<bool> overflow{false};
  struct Part {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    std::uint64_t nan = 0, pos_zero = 0, neg_zero = 0;
  };
  std::vector<Part> parts(nt);
  parallel_ranges(L.total, nt, [&](unsigned t, std::int64_t eb, std::int64_t ee) {
    CountMap map(limit);
    Part part;
    std::uint64_t last = 0, run = 0;
    bool ok = true;
    const auto flush = [&] {
      if (run && !map.add(last, run)) ok = false;
      run = 0;
    };
    for_range(L, eb, ee, [&](const std::byte* p, std::int64_t n, std::int64_t s) {
      if (!ok || overflow.load(std::memory_order_relaxed)) return;
      for (std::int64_t i = 0; i < n; ++i) {
        const T x = load<T>(p + i * s);
        if constexpr (std::is_floating_point_v<T>) {
          if (x != x) {
            ++part.nan;
            continue;
          }
          if (x == 0) {
            ++(std::signbit(x) ? part.neg_zero : part.pos_zero);
            continue;
          }
        }
        const std::uint64_t k = key_of(x);
        if (k == last) {
          ++run;
          continue;
        }
        flush();
        if (!ok) break;
        last = k;
        run = 1;
      }
      flush();
      if (!ok) overflow.store(true, std::memory_order_relaxed);
    });
    if (overflow.load()) return;
    part.entries.reserve(map.size());
    map.each([&](std::uint64_t k, std::uint64_t c) { part.entries.emplace_back(k, c); });
    parts[t] = std::move(part);
  });
  if (overflow.load()) return counts_sorted<T>(a);

  CountMap all(std::numeric_limits<std::size_t>::max());
  Counts<T> out;
  std::uint64_t pos_zero = 0, neg_zero = 0;
  for (const Part& q : parts) {
    for (const auto& [k, c] : q.entries) all.add(k, c);
    out.nan_elements += q.nan;
    pos_zero += q.pos_zero;
    neg_zero += q.neg_zero;
  }
  out.classes.reserve(all.size() + 2);
  all.each([&](std::uint64_t k, std::uint64_t c) { out.classes.push_back({value_of<T>(k), c}); });
  finish(out, pos_zero, neg_zero);
  return out;
}

}  // namespace

unsigned auto_threads(std::uint64_t nbytes, int budget) {
  if (nbytes <= (std::uint64_t{64} << 20)) return 1;
  return static_cast<unsigned>(core::resolve_workers(budget));
}

template <class T>
MinMax<T> min_max(const NDArray& a, unsigned threads, const T* exclude) {
  if (a.dtype() != dtype_of_v<T>) throw std::invalid_argument("min_max: element type mismatch");
  MinMax<T> r;
  r.count = a.size();
  if (r.count == 0) return r;
  if constexpr (std::is_same_v<T, bool>) {
    (void)exclude;
    const auto acc = minmax_storage<std::uint8_t>(a, threads);
    r.min = acc.mn != 0;
    r.max = acc.mx != 0;
    r.have = true;
  } else {
    MinMaxAcc<T> mm;
    if (exclude && !MinMaxAcc<T>::isnan(*exclude)) {
      const auto acc = minmax_excluding<T>(a, *exclude, threads);
      mm = acc.mm;
      r.excluded = acc.excluded;
      r.nan_count = acc.nans;
    } else {
      mm = minmax_storage<T>(a, threads);
      // NaNs are rare: counted in a second pass only when there are any.
      if (mm.nan) {
        if constexpr (std::is_floating_point_v<T> || is_cplx<T>) {
          T nan_value;
          if constexpr (is_cplx<T>)
            nan_value = T(std::numeric_limits<typename T::value_type>::quiet_NaN(), 0);
          else
            nan_value = std::numeric_limits<T>::quiet_NaN();
          r.nan_count = minmax_excluding<T>(a, nan_value, threads).nans;
        }
      }
    }
    r.nan = mm.nan || r.nan_count > 0;
    r.have = mm.have;
    if (mm.have) {
      r.min = mm.mn;
      r.max = mm.mx;
    }
  }
  return r;
}

template <class T>
void merge_min_max(MinMax<T>& into, const MinMax<T>& part) {
  into.count += part.count;
  into.nan = into.nan || part.nan;
  into.nan_count += part.nan_count;
  into.excluded += part.excluded;
  if (!part.have) return;
  MinMaxAcc<T> acc;
  if (into.have) {
    acc.add(into.min);
    acc.add(into.max);
  }
  acc.add(part.min);
  acc.add(part.max);
  into.min = acc.mn;
  into.max = acc.mx;
  into.have = true;
}

template <class T>
Counts<T> value_counts(const NDArray& a, unsigned threads) {
  if (a.dtype() != dtype_of_v<T>) throw std::invalid_argument("value_counts: element type mismatch");
  if (a.size() == 0) return {};
  if constexpr (sizeof(T) <= 2)
    return counts_table<T>(a, threads);
  else if constexpr (is_cplx<T>)
    return counts_sorted<T>(a);
  else
    return counts_hashed<T>(a, threads);
}

#define VEXIL_STATS_INSTANTIATE(T)                                   \
  template MinMax<T> min_max<T>(const NDArray&, unsigned, const T*); \
  template void merge_min_max<T>(MinMax<T>&, const MinMax<T>&);      \
  template Counts<T> value_counts<T>(const NDArray&, unsigned);
VEXIL_STATS_INSTANTIATE(bool)
VEXIL_STATS_INSTANTIATE(std::int8_t)
VEXIL_STATS_INSTANTIATE(std::uint8_t)
VEXIL_STATS_INSTANTIATE(std::int16_t)
VEXIL_STATS_INSTANTIATE(std::uint16_t)
VEXIL_STATS_INSTANTIATE(std::int32_t)
VEXIL_STATS_INSTANTIATE(std::uint32_t)
VEXIL_STATS_INSTANTIATE(std::int64_t)
VEXIL_STATS_INSTANTIATE(std::uint64_t)
VEXIL_STATS_INSTANTIATE(float)
VEXIL_STATS_INSTANTIATE(double)
VEXIL_STATS_INSTANTIATE(std::complex<float>)
VEXIL_STATS_INSTANTIATE(std::complex<double>)
#undef VEXIL_STATS_INSTANTIATE

}  // namespace vexil::conversion
