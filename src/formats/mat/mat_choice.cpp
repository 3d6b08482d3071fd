#include "formats/mat/mat_choice.hpp"

namespace vexil::formats::mat {

const VariableInfo* choose_variable(std::span<const VariableInfo> candidates,
                                    std::initializer_list<std::string_view> preferred) {
  if (candidates.empty()) return nullptr;
  if (candidates.size() == 1) return &candidates[0];
  for (std::string_view name : preferred)
    for (const VariableInfo& c : candidates)
      if (c.name == name) return &c;
  const VariableInfo* largest = &candidates[0];
  for (const VariableInfo& c : candidates)
    if (c.count > largest->count) largest = &c;
  return largest;
}

const VariableInfo* choose_label_variable(std::span<const VariableInfo> candidates) {
  return choose_variable(candidates, {"gt", "groundtruth"});
}

const VariableInfo* choose_image_variable(std::span<const VariableInfo> candidates) {
  return choose_variable(candidates, {});
}

}  // namespace vexil::formats::mat
