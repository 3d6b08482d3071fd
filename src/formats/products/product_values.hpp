// Small helpers the product entries share: numbers out of arrays and
// attribute values, names out of paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexil/array.hpp"
#include "vexil/metadata.hpp"

namespace vexil::formats::products {

// Every element of a numeric array as a double, in C order; nullopt for
// complex or boolean arrays.
std::optional<std::vector<double>> numbers(const NDArray& a);
// A number, or a list (nested lists flattened) of numbers; nullopt otherwise.
std::optional<std::vector<double>> numbers(const Metadata& v);
// A single number: a number or a one-element list of one.
std::optional<double> number(const Metadata& v);

// obj[key] when obj is an object holding key, else null.
const Metadata* member(const Metadata* obj, std::string_view key);

// The last component of a slash-separated path ("a/b/c" -> "c").
std::string_view base_name(std::string_view path);
// A dataset name without leading slashes ("/grp/x" -> "grp/x").
std::string_view relative_name(std::string_view name);

}  // namespace vexil::formats::products
