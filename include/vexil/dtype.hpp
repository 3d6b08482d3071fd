// Element types of the n-d array, named as NumPy names them.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace vexil {

enum class DType : std::uint8_t {
  Bool,
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float32,
  Float64,
  Complex64,
  Complex128,
};

inline constexpr DType kAllDTypes[] = {
    DType::Bool,  DType::Int8,   DType::UInt8,   DType::Int16,   DType::UInt16,    DType::Int32,     DType::UInt32,
    DType::Int64, DType::UInt64, DType::Float32, DType::Float64, DType::Complex64, DType::Complex128};

std::size_t itemsize(DType t);
// "uint8", "float32", "complex64", "bool" ...
std::string_view dtype_name(DType t);
bool is_integer(DType t);   // bool excluded
bool is_signed(DType t);    // signed integers and floating types
bool is_floating(DType t);  // float32, float64
bool is_complex(DType t);

template <class T>
struct dtype_of;
template <>
struct dtype_of<bool> {
  static constexpr DType value = DType::Bool;
};
template <>
struct dtype_of<std::int8_t> {
  static constexpr DType value = DType::Int8;
};
template <>
struct dtype_of<std::uint8_t> {
  static constexpr DType value = DType::UInt8;
};
template <>
struct dtype_of<std::int16_t> {
  static constexpr DType value = DType::Int16;
};
template <>
struct dtype_of<std::uint16_t> {
  static constexpr DType value = DType::UInt16;
};
template <>
struct dtype_of<std::int32_t> {
  static constexpr DType value = DType::Int32;
};
template <>
struct dtype_of<std::uint32_t> {
  static constexpr DType value = DType::UInt32;
};
template <>
struct dtype_of<std::int64_t> {
  static constexpr DType value = DType::Int64;
};
template <>
struct dtype_of<std::uint64_t> {
  static constexpr DType value = DType::UInt64;
};
template <>
struct dtype_of<float> {
  static constexpr DType value = DType::Float32;
};
template <>
struct dtype_of<double> {
  static constexpr DType value = DType::Float64;
};
template <>
struct dtype_of<std::complex<float>> {
  static constexpr DType value = DType::Complex64;
};
template <>
struct dtype_of<std::complex<double>> {
  static constexpr DType value = DType::Complex128;
};
template <class T>
inline constexpr DType dtype_of_v = dtype_of<T>::value;

// Calls f(T{}) with the C++ element type of `t`; returns what f returns.
template <class F>
decltype(auto) visit_dtype(DType t, F&& f) {
  switch (t) {
    case DType::Bool: return std::forward<F>(f)(bool{});
    case DType::Int8: return std::forward<F>(f)(std::int8_t{});
    case DType::UInt8: return std::forward<F>(f)(std::uint8_t{});
    case DType::Int16: return std::forward<F>(f)(std::int16_t{});
    case DType::UInt16: return std::forward<F>(f)(std::uint16_t{});
    case DType::Int32: return std::forward<F>(f)(std::int32_t{});
    case DType::UInt32: return std::forward<F>(f)(std::uint32_t{});
    case DType::Int64: return std::forward<F>(f)(std::int64_t{});
    case DType::UInt64: return std::forward<F>(f)(std::uint64_t{});
    case DType::Float32: return std::forward<F>(f)(float{});
    case DType::Float64: return std::forward<F>(f)(double{});
    case DType::Complex64: return std::forward<F>(f)(std::complex<float>{});
    case DType::Complex128: break;
  }
  return std::forward<F>(f)(std::complex<double>{});
}

}  // namespace vexil
