#include "formats/mat/mat_read.hpp"

#include <matio.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/memory.hpp"
#include "formats/mat/mat5_tags.hpp"
#include "formats/mat/mat_choice.hpp"
#include "formats/mat/mat_prescan.hpp"
#include "formats/mat/matio_util.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::mat {
namespace {

std::optional<DType> dtype_of_data(matio_types t) { return dtype_of_mat_type(static_cast<std::uint32_t>(t)); }

// Copies `n` values of type From into a new Fortran-ordered array of type To,
// refusing any value that does not survive the trip (the stored type is the
// one the values came from, so a mismatch means the file is inconsistent).
template <class From, class To>
NDArray narrow_to(const From* src, std::int64_t n, const Shape& shape, const std::string& name,
                  const std::string& path) {
  NDArray out = NDArray::allocate(dtype_of_v<To>, shape);
  auto* dst = reinterpret_cast<To*>(out.mutable_data());
  for (std::int64_t i = 0; i < n; ++i) {
    const From v = src[i];
    bool exact;
    To t{};
    if constexpr (std::is_floating_point_v<From> && std::is_integral_v<To>) {
      // Range first: casting an out-of-range float to an integer is undefined.
      // The upper bound is exclusive: To's max may round up to 2^digits as From.
      exact = std::isfinite(v) && v >= static_cast<From>(std::numeric_limits<To>::lowest()) &&
              v < std::ldexp(From{1}, std::numeric_limits<To>::digits);
      if (exact) {
        t = static_cast<To>(v);
        exact = static_cast<From>(t) == v;
      }
    } else if constexpr (std::is_floating_point_v<To> && std::is_integral_v<From>) {
      // Compared in long double, which holds every 64-bit integer: the float
      // may have rounded past From's range.
      t = static_cast<To>(v);
      exact = static_cast<long double>(t) == static_cast<long double>(v);
    } else if constexpr (std::is_floating_point_v<To>) {
      t = static_cast<To>(v);
      exact = static_cast<From>(t) == v || (std::isnan(static_cast<double>(v)));
    } else {
      t = static_cast<To>(v);
      exact = std::cmp_equal(t, v);
    }
    if (!exact)
      throw BadInputError(
          fmt::format("MAT-file {}: variable '{}' holds a value that its stored type cannot hold", path, name));
    dst[i] = t;
  }
  return NDArray::view(dtype_of_v<To>, shape, NDArray::f_strides(shape, sizeof(To)), out.mutable_data(),
                       out.keep_alive());
}

NDArray convert_to_storage(const void* data, DType from, DType to, std::int64_t n, const Shape& shape,
                           const std::string& name, const std::string& path) {
  return visit_dtype(from, [&](auto f) -> NDArray {
    using From = decltype(f);
    if constexpr (std::is_same_v<From, bool> || !std::is_arithmetic_v<From>) {
      throw BadInputError("unexpected element type");
    } else {
      return visit_dtype(to, [&](auto t) -> NDArray {
        using To = decltype(t);
        if constexpr (std::is_same_v<To, bool> || !std::is_arithmetic_v<To>) {
          throw BadInputError("unexpected element type");
        } else {
          return narrow_to<From, To>(static_cast<const From*>(data), n, shape, name, path);
        }
      });
    }
  });
}

// The numeric and logical array variables of an open file, in file order.
// Text, cells, structs, sparse matrices and objects are never read as arrays.
std::vector<VariableInfo> list_numeric_variables(mat_t* mat, const std::string& path, bool hidden_too) {
  std::vector<VariableInfo> out;
  for (;;) {
    matvar_t* info = Mat_VarReadNextInfo(mat);
    if (!info) break;
    MatVarPtr guard(info, Mat_VarFree);
    if (!info->name || (!hidden_too && info->name[0] == '_')) continue;
    // A logical flag counts only on a numeric class: on a sparse matrix it
    // would send matio to allocate whatever the index tags claim.
    const std::optional<DType> type = dtype_of_class(info->class_type);
    if (!type) continue;
    if (info->rank < 0 || (info->rank > 0 && !info->dims)) continue;
    VariableInfo c;
    c.name = info->name;
    c.item = itemsize(*type) * (info->isComplex ? 2 : 1);
    c.count = 1;
    for (int i = 0; i < info->rank; ++i) {
      if (info->dims[i] > static_cast<std::size_t>(INT64_MAX))
        throw BadInputError(fmt::format("MAT-file {}: variable '{}' has an impossible dimension", path, c.name));
      c.shape.push_back(static_cast<std::int64_t>(info->dims[i]));
      c.count *= info->dims[i];
      if (c.count > (static_cast<unsigned __int128>(1) << 100)) c.count = static_cast<unsigned __int128>(1) << 100;
    }
    out.push_back(std::move(c));
  }
  return out;
}

NDArray read_chosen(mat_t* mat, const std::string& path, const VariableInfo* chosen, const Level5Scan& level5) {
  if (Mat_Rewind(mat) != 0) throw ReadError(with_reason("Cannot rewind MAT-file " + path));
  matvar_t* raw = Mat_VarRead(mat, chosen->name.c_str());
  if (!raw) throw ReadError(with_reason(fmt::format("Cannot read variable '{}' from {}", chosen->name, path)));
  std::shared_ptr<void> keep(raw, [](void* p) { Mat_VarFree(static_cast<matvar_t*>(p)); });
  take_log();

  const std::string& name = chosen->name;
  auto corrupt = [&](const char* what) {
    return BadInputError(fmt::format("MAT-file {}: variable '{}' is corrupt ({})", path, name, what));
  };
  if (raw->rank != static_cast<int>(chosen->shape.size()) || (raw->rank > 0 && !raw->dims))
    throw corrupt("its dimensions changed between listing and reading");
  Shape shape;
  for (int i = 0; i < raw->rank; ++i) {
    if (raw->dims[i] != static_cast<std::size_t>(chosen->shape[i]))
      throw corrupt("its dimensions changed between listing and reading");
    shape.push_back(chosen->shape[i]);
  }
  const std::int64_t n = NDArray::checked_size(shape);

  std::optional<DType> held = dtype_of_data(raw->data_type);
  if (!held) throw corrupt("unknown data type");
  const std::size_t item = itemsize(*held);
  if (raw->data_size > 0 && static_cast<std::size_t>(raw->data_size) != item) throw corrupt("element size mismatch");

  if (n == 0) {
    DType t = *held;
    if (raw->isLogical)
      t = DType::Bool;
    else if (raw->isComplex)
      t = *held == DType::Float32 ? DType::Complex64 : DType::Complex128;
    return NDArray::allocate(t, shape);
  }
  if (!raw->data) throw corrupt("no data");

  if (raw->isComplex) {
    if (*held != DType::Float64 && *held != DType::Float32 && !is_integer(*held)) throw corrupt("complex data type");
    const auto* split = static_cast<const mat_complex_split_t*>(raw->data);
    if (!split->Re || !split->Im) throw corrupt("no data");
    const DType out_t = *held == DType::Float32 ? DType::Complex64 : DType::Complex128;
    NDArray out = NDArray::allocate(out_t, shape);
    visit_dtype(*held, [&](auto v) {
      using T = decltype(v);
      if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
        const T* re = static_cast<const T*>(split->Re);
        const T* im = static_cast<const T*>(split->Im);
        if (out_t == DType::Complex64) {
          auto* dst = reinterpret_cast<std::complex<float>*>(out.mutable_data());
          for (std::int64_t i = 0; i < n; ++i) dst[i] = {static_cast<float>(re[i]), static_cast<float>(im[i])};
        } else {
          auto* dst = reinterpret_cast<std::complex<double>*>(out.mutable_data());
          for (std::int64_t i = 0; i < n; ++i) dst[i] = {static_cast<double>(re[i]), static_cast<double>(im[i])};
        }
      }
    });
    return NDArray::view(out_t, shape, NDArray::f_strides(shape, itemsize(out_t)), out.mutable_data(),
                         out.keep_alive());
  }

  if (raw->nbytes < static_cast<std::size_t>(n) * item) throw corrupt("less data than its dimensions need");

  if (raw->isLogical) {
    if (item != 1) {
      NDArray out = NDArray::allocate(DType::Bool, shape);
      auto* b = reinterpret_cast<unsigned char*>(out.mutable_data());
      const auto* src = static_cast<const unsigned char*>(raw->data);
      for (std::int64_t i = 0; i < n; ++i) {
        bool nonzero = false;
        for (std::size_t k = 0; k < item; ++k) nonzero = nonzero || src[i * item + k] != 0;
        b[i] = nonzero;
      }
      return NDArray::view(DType::Bool, shape, NDArray::f_strides(shape, 1), out.mutable_data(), out.keep_alive());
    }
    auto* b = static_cast<unsigned char*>(raw->data);
    for (std::int64_t i = 0; i < n; ++i) b[i] = b[i] != 0;  // C++ bool must be 0 or 1
    return NDArray::view(DType::Bool, shape, NDArray::f_strides(shape, 1), static_cast<std::byte*>(raw->data), keep);
  }

  if (auto it = level5.vars.find(name); it != level5.vars.end()) {
    if (auto storage = dtype_of_mat_type(it->second.head.data_type); storage && *storage != *held)
      return convert_to_storage(raw->data, *held, *storage, n, shape, name, path);
  }
  return NDArray::view(*held, shape, NDArray::f_strides(shape, item), static_cast<std::byte*>(raw->data), keep);
}

}  // namespace

MatVariable read_mat_variable(const std::string& path, const std::string& variable, Purpose purpose) {
  init_log();
  MatHeader header_kind = MatHeader::Level4;
  const std::uint64_t file_size = check_before_open(path, header_kind);
  MatPtr mat(Mat_Open(path.c_str(), MAT_ACC_RDONLY), Mat_Close);
  if (!mat) {
    take_log();
    throw BadInputError(path + " is not a MAT-file (Level 4, 5 or 7.3)");
  }
  const mat_ft version = Mat_GetVersion(mat.get());

  Level5Scan level5;
  if (version == MAT_FT_MAT5) level5 = scan_level5(path);

  const std::vector<VariableInfo> candidates = list_numeric_variables(mat.get(), path, !variable.empty());
  const std::string scan_error = take_log();
  const VariableInfo* chosen = nullptr;
  if (!variable.empty()) {
    for (const VariableInfo& c : candidates)
      if (c.name == variable) chosen = &c;
    if (!chosen) {
      std::string names;
      for (const VariableInfo& c : candidates) names += (names.empty() ? "" : ", ") + c.name;
      throw BadInputError(fmt::format("MAT-file {} has no numeric array variable '{}'{}", path, variable,
                                      names.empty() ? std::string() : "; its numeric arrays: " + names));
    }
  } else {
    chosen = purpose == Purpose::Labels ? choose_label_variable(candidates) : choose_image_variable(candidates);
  }
  if (!chosen) {
    std::string msg = "No numeric array variable found in " + path;
    if (!scan_error.empty()) msg += " (" + scan_error + ")";
    throw BadInputError(msg);
  }

  // Refuse what cannot fit before matio tries to allocate it.
  {
    const unsigned __int128 bytes = chosen->count * chosen->item;
    if (bytes > core::physical_memory())
      throw BadInputError(fmt::format("MAT-file {}: variable '{}' of shape {} is larger than this machine's memory",
                                      path, chosen->name, shape_str(chosen->shape)));
  }

  // Each element takes at least 1/1032 of a byte of the file (deflate's best
  // ratio); more elements than that are a lie matio would allocate for.
  if (chosen->count > static_cast<unsigned __int128>(file_size) * kDeflateMaxRatio + 4096)
    throw BadInputError(fmt::format("MAT-file {}: variable '{}' of shape {} cannot be stored in a file of {} bytes",
                                    path, chosen->name, shape_str(chosen->shape), file_size));

  if (version == MAT_FT_MAT5) check_level5_extent(path, level5, chosen->name);

  MatVariable out;
  out.data = read_chosen(mat.get(), path, chosen, level5);
  out.name = chosen->name;
  return out;
}

}  // namespace vexil::formats::mat
