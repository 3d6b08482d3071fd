// Value range and class counts against a plain element-by-element computation,
// on random arrays of every element type, through views, on several threads.
#include "conversion/statistics.hpp"

#include "formats/envi/envi_format.hpp"
#include "io/mapped_file.hpp"
#include "support/test_util.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <type_traits>

using namespace vexil;

namespace {

template <class T>
constexpr bool is_cplx = false;
template <class T>
constexpr bool is_cplx<std::complex<T>> = true;

// Random values with many repeats, and for floating types NaN, -0.0, +0.0 and
// infinities among them. Bool storage also gets a non-canonical true byte (2).
template <class T>
void fill_random(NDArray& a, std::mt19937_64& rng) {
  std::byte* p = a.mutable_data();
  const std::size_t n = static_cast<std::size_t>(a.size());
  std::uniform_int_distribution<int> pick(0, 9);
  for (std::size_t i = 0; i < n; ++i) {
    std::byte* dst = p + i * sizeof(T);
    if constexpr (std::is_same_v<T, bool>) {
      const std::uint8_t b = static_cast<std::uint8_t>(pick(rng) % 3);
      std::memcpy(dst, &b, 1);
    } else if constexpr (std::is_integral_v<T>) {
      T v;
      if (pick(rng) < 7) {
        v = static_cast<T>(pick(rng) - (std::is_signed_v<T> ? 4 : 0));
      } else {
        const std::uint64_t r = rng();
        std::memcpy(&v, &r, sizeof(T));
      }
      std::memcpy(dst, &v, sizeof(T));
    } else {
      using R = std::conditional_t<is_cplx<T>, double, T>;
      const auto one = [&]() -> double {
        switch (pick(rng)) {
          case 0: return std::numeric_limits<double>::quiet_NaN();
          case 1: return -0.0;
          case 2: return 0.0;
          case 3: return pick(rng) < 5 ? INFINITY : -INFINITY;
          case 4: return std::ldexp(static_cast<double>(rng() >> 11), -40) - 4096.0;
          default: return pick(rng) - 3.5;
        }
      };
      T v;
      if constexpr (is_cplx<T>)
        v = T(static_cast<typename T::value_type>(one()),
              static_cast<typename T::value_type>(pick(rng) < 5 ? 0.0 : one()));
      else
        v = static_cast<R>(one());
      std::memcpy(dst, &v, sizeof(T));
    }
  }
}

template <class T>
T read(const std::byte* p) {
  if constexpr (std::is_same_v<T, bool>) {
    std::uint8_t b;
    std::memcpy(&b, p, 1);
    return b != 0;
  } else {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }
}

template <class T>
bool has_nan(const T& v) {
  if constexpr (is_cplx<T>)
    return std::isnan(v.real()) || std::isnan(v.imag());
  else if constexpr (std::is_floating_point_v<T>)
    return std::isnan(v);
  else
    return false;
}

struct Lex {
  template <class T>
  bool operator()(const T& a, const T& b) const {
    if constexpr (is_cplx<T>)
      return a.real() < b.real() || (a.real() == b.real() && a.imag() < b.imag());
    else
      return a < b;
  }
};

template <class T>
void expect_same_value(const T& got, const T& want, const std::string& what) {
  if constexpr (is_cplx<T>) {
    EXPECT_EQ(got.real(), want.real()) << what;
    EXPECT_EQ(got.imag(), want.imag()) << what;
  } else {
    EXPECT_EQ(got, want) << what;
  }
}

// The plain computation: every element visited in order, std::map for counts.
template <class T>
void check_against_plain(const NDArray& a, const std::string& what) {
  bool nan = false, have = false;
  T mn{}, mx{};
  std::map<T, std::uint64_t, Lex> counts;
  std::uint64_t nans = 0;
  for_each_element(a, [&](const std::byte* p) {
    const T v = read<T>(p);
    if (has_nan(v)) {
      nan = true;
      ++nans;
      return;
    }
    ++counts[v];
    if (!have || Lex{}(v, mn)) mn = v;
    if (!have || Lex{}(mx, v)) mx = v;
    have = true;
  });

  for (unsigned threads : {1u, 3u, 0u}) {
    const std::string ctx = what + " threads=" + std::to_string(threads);
    const auto r = conversion::min_max<T>(a, threads);
    EXPECT_EQ(r.count, a.size()) << ctx;
    if constexpr (!std::is_same_v<T, bool>) {
      EXPECT_EQ(r.nan, nan) << ctx;
    }
    if (have) {
      expect_same_value(r.min, mn, ctx + " min");
      expect_same_value(r.max, mx, ctx + " max");
    }
    if constexpr (!std::is_same_v<T, bool>) {
      EXPECT_EQ(r.nan_count, nans) << ctx;
      EXPECT_EQ(r.have, have) << ctx;
    }

    // Leaving one value out (a fill value): the most frequent one, so the
    // vector paths meet it in every lane, and a value absent from the array.
    if constexpr (!std::is_same_v<T, bool>) {
      if (!counts.empty()) {
        auto most = counts.begin();
        for (auto it = counts.begin(); it != counts.end(); ++it)
          if (it->second > most->second) most = it;
        const T skip = most->first;
        bool have_x = false;
        T mn_x{}, mx_x{};
        for (const auto& [v, n] : counts) {
          if (!Lex{}(v, skip) && !Lex{}(skip, v)) continue;
          if (!have_x || Lex{}(v, mn_x)) mn_x = v;
          if (!have_x || Lex{}(mx_x, v)) mx_x = v;
          have_x = true;
        }
        const auto x = conversion::min_max<T>(a, threads, &skip);
        // +0.0 and -0.0 compare equal, so both are left out together.
        std::uint64_t equal = 0;
        for (const auto& [v, n] : counts)
          if (v == skip) equal += n;
        EXPECT_EQ(x.excluded, equal) << ctx;
        EXPECT_EQ(x.nan_count, nans) << ctx;
        EXPECT_EQ(x.have, have_x) << ctx;
        if (have_x) {
          expect_same_value(x.min, mn_x, ctx + " min without fill");
          expect_same_value(x.max, mx_x, ctx + " max without fill");
        }
      }
    }

    const auto c = conversion::value_counts<T>(a, threads);
    EXPECT_EQ(c.nan_elements, nans) << ctx;
    const std::size_t want_entries = counts.size() + (nans ? 1 : 0);
    ASSERT_EQ(c.classes.size(), want_entries) << ctx;
    std::size_t i = 0;
    for (const auto& [v, n] : counts) {
      expect_same_value(c.classes[i].value, v, ctx + " class " + std::to_string(i));
      EXPECT_EQ(c.classes[i].count, n) << ctx << " class " << i;
      ++i;
    }
    if (nans) {
      EXPECT_TRUE(has_nan(c.classes.back().value)) << ctx;
      EXPECT_EQ(c.classes.back().count, 0u) << ctx;
    }
  }
}

template <class T>
void check_layouts(std::mt19937_64& rng) {
  const std::string name(dtype_name(dtype_of_v<T>));
  NDArray a = NDArray::allocate(dtype_of_v<T>, {23, 19, 11});
  fill_random<T>(a, rng);
  check_against_plain<T>(a, name + " contiguous");
  check_against_plain<T>(a.transpose({2, 0, 1}), name + " transposed");
  check_against_plain<T>(a.window(3, 17, 2, 15), name + " window");
  check_against_plain<T>(a.window(3, 17, 2, 15).transpose({1, 2, 0}), name + " window transposed");
  check_against_plain<T>(a.window(5, 6, 0, 19).squeeze(), name + " one row");
  // Backwards strides: the rows of the array read from the last one up.
  NDArray b = a;
  NDArray back =
      NDArray::view(a.dtype(), {23, 19 * 11},
                    {-(19 * 11) * static_cast<std::int64_t>(sizeof(T)), static_cast<std::int64_t>(sizeof(T))},
                    b.mutable_data() + 22 * 19 * 11 * sizeof(T), a.keep_alive());
  check_against_plain<T>(back, name + " backwards");
  // A broadcast view: one row repeated.
  NDArray bc =
      NDArray::view(a.dtype(), {40, 19, 11}, {0, a.strides()[1], a.strides()[2]}, b.mutable_data(), a.keep_alive());
  check_against_plain<T>(bc, name + " broadcast");
  check_against_plain<T>(a.window(4, 4, 0, 19), name + " empty");
}

}  // namespace

TEST(Statistics, EveryElementTypeAndLayoutMatchesPlainComputation) {
  std::mt19937_64 rng(20261208);
  for (DType t : kAllDTypes) {
    visit_dtype(t, [&](auto tag) { check_layouts<decltype(tag)>(rng); });
  }
}

// A fill value in a large contiguous run: the vector path, its lane-count
// flushes (every 16384 steps for 16-bit lanes) and the scalar tail agree.
TEST(Statistics, FillValueIsLeftOutOfTheRangeAndCounted) {
  const std::int64_t n = 16384 * 8 * 3 + 5;
  NDArray a = NDArray::allocate(DType::Int16, {n});
  std::vector<std::int16_t> v(static_cast<std::size_t>(n));
  std::uint64_t fills = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    v[i] = (i % 3 == 0) ? std::int16_t{-32768} : static_cast<std::int16_t>(i % 1000 - 100);
    fills += v[i] == -32768;
  }
  v[n - 1] = 32767;  // the maximum sits in the tail
  std::memcpy(a.mutable_data(), v.data(), v.size() * 2);
  const std::int16_t fill = -32768;
  for (unsigned threads : {1u, 2u}) {
    const auto r = conversion::min_max<std::int16_t>(a, threads, &fill);
    EXPECT_EQ(r.excluded, fills);
    EXPECT_EQ(r.min, -100);
    EXPECT_EQ(r.max, 32767);
    const auto plain = conversion::min_max<std::int16_t>(a, threads);
    EXPECT_EQ(plain.min, -32768);
  }

  // Long runs of the fill value: the vector lanes' counts are as wide as an
  // element and must be emptied before they wrap.
  {
    const std::int64_t m = std::int64_t{1} << 21;
    NDArray b = NDArray::allocate(DType::UInt16, {m});
    std::vector<std::uint16_t> w(static_cast<std::size_t>(m), 7);
    w[12345] = 9;
    w[static_cast<std::size_t>(m) - 3] = 8;
    std::memcpy(b.mutable_data(), w.data(), w.size() * 2);
    const std::uint16_t seven = 7;
    const auto r = conversion::min_max<std::uint16_t>(b, 1, &seven);
    EXPECT_EQ(r.excluded, static_cast<std::uint64_t>(m - 2));
    EXPECT_EQ(r.min, 8);
    EXPECT_EQ(r.max, 9);
  }

  // Every element the fill value: no range at all.
  NDArray f = NDArray::allocate(DType::Float32, {64});
  std::vector<float> all(64, -9999.0f);
  std::memcpy(f.mutable_data(), all.data(), 64 * 4);
  const float fv = -9999.0f;
  const auto r = conversion::min_max<float>(f, 1, &fv);
  EXPECT_FALSE(r.have);
  EXPECT_EQ(r.excluded, 64u);
  EXPECT_EQ(r.count, 64);
}

TEST(Statistics, ManyDistinctValuesAndLargeArraysOnSeveralThreads) {
  // More distinct values than the count table holds: the sorted path answers.
  std::mt19937_64 rng(7);
  NDArray ints = NDArray::allocate(DType::Int32, {600, 500});
  auto* p = reinterpret_cast<std::int32_t*>(ints.mutable_data());
  for (std::int64_t i = 0; i < ints.size(); ++i) p[i] = static_cast<std::int32_t>(rng() % 200000) - 100000;
  check_against_plain<std::int32_t>(ints, "int32 many distinct");

  NDArray dbl = NDArray::allocate(DType::Float64, {400, 300});
  auto* q = reinterpret_cast<double*>(dbl.mutable_data());
  for (std::int64_t i = 0; i < dbl.size(); ++i) q[i] = static_cast<double>(rng() >> 11);
  q[777] = std::numeric_limits<double>::quiet_NaN();
  check_against_plain<double>(dbl, "float64 many distinct");

  // Past the size where the automatic choice splits the work (64 MiB).
  NDArray big = NDArray::allocate(DType::UInt16, {4100, 4100, 2});
  auto* u = reinterpret_cast<std::uint16_t*>(big.mutable_data());
  for (std::int64_t i = 0; i < big.size(); ++i) u[i] = static_cast<std::uint16_t>((i * 2654435761u) >> 7);
  ASSERT_GT(conversion::auto_threads(big.nbytes()), 0u);
  const auto one = conversion::min_max<std::uint16_t>(big, 1);
  const auto autod = conversion::min_max<std::uint16_t>(big, 0);
  EXPECT_EQ(one.min, autod.min);
  EXPECT_EQ(one.max, autod.max);
  const auto c1 = conversion::value_counts<std::uint16_t>(big.window(1, 4099, 0, 4100), 1);
  const auto c2 = conversion::value_counts<std::uint16_t>(big.window(1, 4099, 0, 4100), 0);
  ASSERT_EQ(c1.classes.size(), c2.classes.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < c1.classes.size(); ++i) {
    EXPECT_EQ(c1.classes[i].value, c2.classes[i].value);
    EXPECT_EQ(c1.classes[i].count, c2.classes[i].count);
    total += c1.classes[i].count;
  }
  EXPECT_EQ(total, 4098u * 4100u * 2u);
}

TEST(Statistics, ZeroSignsAndNaNsFormSingleEntries) {
  NDArray a = NDArray::allocate(DType::Float32, {6});
  auto* f = reinterpret_cast<float*>(a.mutable_data());
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float vals[6] = {-0.0f, 2.5f, nan, 0.0f, -nan, -0.0f};
  std::memcpy(f, vals, sizeof vals);
  const auto c = conversion::value_counts<float>(a);
  ASSERT_EQ(c.classes.size(), 3u);
  EXPECT_EQ(c.classes[0].value, 0.0f);
  EXPECT_FALSE(std::signbit(c.classes[0].value));  // a +0.0 occurred
  EXPECT_EQ(c.classes[0].count, 3u);
  EXPECT_EQ(c.classes[1].value, 2.5f);
  EXPECT_TRUE(std::isnan(c.classes[2].value));
  EXPECT_EQ(c.nan_elements, 2u);

  f[3] = -0.0f;  // only negative zeros left
  const auto d = conversion::value_counts<float>(a);
  EXPECT_TRUE(std::signbit(d.classes[0].value));
  const auto r = conversion::min_max<float>(a);
  EXPECT_TRUE(r.nan);
  EXPECT_EQ(r.max, 2.5f);
}

// A mapped ENVI cube is read through the file in pieces (not through its
// mapping): the extremes and counts still cover every piece, a crop too.
TEST(Statistics, MappedCubesAreReadInPiecesThroughTheFile) {
  test::TempDir tmp;
  const int lines = 100, samples = 110, bands = 60;  // 1.3 MB of int16
  std::vector<std::int16_t> v(static_cast<std::size_t>(lines) * samples * bands);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>(i % 97);
  v[v.size() - 5] = 3000;  // in the last piece
  v[400000] = -2000;       // in a middle piece
  test::write_file(tmp / "c.img", std::string(reinterpret_cast<const char*>(v.data()), v.size() * 2));
  test::write_file(tmp / "c.hdr",
                   "ENVI\nsamples = 110\nlines = 100\nbands = 60\ndata type = 2\ninterleave = bsq\n"
                   "byte order = 0\n");
  const NDArray cube = formats::envi::load_envi(tmp / "c.hdr").data;
  ASSERT_NE(io::MappedFile::of(cube.keep_alive()), nullptr);
  for (unsigned threads : {1u, 2u}) {
    const auto mm = conversion::min_max<std::int16_t>(cube, threads);
    EXPECT_EQ(mm.min, -2000);
    EXPECT_EQ(mm.max, 3000);
    const auto counts = conversion::value_counts<std::int16_t>(cube, threads);
    ASSERT_EQ(counts.classes.size(), 99u);
    EXPECT_EQ(counts.classes.back().value, 3000);
    EXPECT_EQ(counts.classes.front().count, 1u);
    const NDArray crop = cube.window(0, 60, 0, 110);
    const auto same = conversion::min_max<std::int16_t>(crop.contiguous(true), threads);
    const auto got = conversion::min_max<std::int16_t>(crop, threads);
    EXPECT_EQ(got.min, same.min);
    EXPECT_EQ(got.max, same.max);
  }
}
