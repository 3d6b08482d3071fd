#include "formats/products/product_values.hpp"

#include <cstring>
#include <type_traits>

namespace vexil::formats::products {
namespace {

void flatten(const Metadata& v, std::vector<double>& out, bool& ok) {
  if (!ok) return;
  if (v.is_number()) {
    out.push_back(v.get<double>());
  } else if (v.is_array()) {
    for (const auto& e : v) flatten(e, out, ok);
  } else {
    ok = false;
  }
}

}  // namespace

std::optional<std::vector<double>> numbers(const NDArray& a) {
  if (is_complex(a.dtype()) || a.dtype() == DType::Bool) return std::nullopt;
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(a.size()));
  visit_dtype(a.dtype(), [&](auto zero) {
    using T = decltype(zero);
    if constexpr (std::is_arithmetic_v<T>) {
      for_each_element(a, [&](const std::byte* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        out.push_back(static_cast<double>(v));
      });
    }
  });
  return out;
}

std::optional<std::vector<double>> numbers(const Metadata& v) {
  std::vector<double> out;
  bool ok = true;
  flatten(v, out, ok);
  if (!ok) return std::nullopt;
  return out;
}

std::optional<double> number(const Metadata& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_array() && v.size() == 1 && v[0].is_number()) return v[0].get<double>();
  return std::nullopt;
}

const Metadata* member(const Metadata* obj, std::string_view key) {
  if (!obj || !obj->is_object()) return nullptr;
  const auto it = obj->find(std::string(key));
  return it == obj->end() ? nullptr : &*it;
}

std::string_view base_name(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view relative_name(std::string_view name) {
  while (!name.empty() && name.front() == '/') name.remove_prefix(1);
  return name;
}

}  // namespace vexil::formats::products
