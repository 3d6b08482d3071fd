#include "vexil/dtype.hpp"

namespace vexil {

std::size_t itemsize(DType t) {
  return visit_dtype(t, [](auto v) { return sizeof(v); });
}

std::string_view dtype_name(DType t) {
  switch (t) {
    case DType::Bool: return "bool";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Float32: return "float32";
    case DType::Float64: return "float64";
    case DType::Complex64: return "complex64";
    case DType::Complex128: return "complex128";
  }
  return "unknown";
}

bool is_integer(DType t) {
  switch (t) {
    case DType::Int8:
    case DType::UInt8:
    case DType::Int16:
    case DType::UInt16:
    case DType::Int32:
    case DType::UInt32:
    case DType::Int64:
    case DType::UInt64: return true;
    default: return false;
  }
}

bool is_signed(DType t) {
  switch (t) {
    case DType::Int8:
    case DType::Int16:
    case DType::Int32:
    case DType::Int64:
    case DType::Float32:
    case DType::Float64:
    case DType::Complex64:
    case DType::Complex128: return true;
    default: return false;
  }
}

bool is_floating(DType t) { return t == DType::Float32 || t == DType::Float64; }
bool is_complex(DType t) { return t == DType::Complex64 || t == DType::Complex128; }

}  // namespace vexil
