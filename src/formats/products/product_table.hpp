// Known products: how real sensors' files keep their cube, band centres,
// widths, bad-band flags, fill value and scale. Each product is one entry
// (one file in this folder, listed in product_table.cpp); readers ask the
// table after reading a file's own metadata. Adding a product is one entry.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/band_facts.hpp"
#include "vexil/array.hpp"
#include "vexil/layout.hpp"
#include "vexil/metadata.hpp"

namespace vexil::formats::products {

// What an entry may look at. The reader fills in what its container offers;
// callbacks it cannot serve stay empty.
struct ProductInput {
  std::string path;                // the file read (no dataset specifier)
  std::string_view container;      // "hdf5", "tiff", "envi"
  const Metadata* meta = nullptr;  // what the reader found so far (attributes, tags, header fields)
  // HDF5-like containers: a dataset's values (small ones: band tables), and
  // an object's attributes; nullopt when absent.
  std::function<std::optional<NDArray>(const std::string& dataset)> read_dataset = {};
  std::function<std::optional<Metadata>(const std::string& object)> read_attributes = {};
  // The datasets of the file with their shapes (HDF5-like containers).
  std::vector<std::pair<std::string, Shape>> datasets = {};
};

struct Product {
  std::string_view name;       // e.g. "EMIT L2A RFL"
  std::string_view container;  // the container it comes in
  bool (*matches)(const ProductInput& in);
  // The dataset holding the cube when none was named (HDF5-like
  // containers); nullopt leaves the choice to the reader.
  std::optional<std::string> (*cube_dataset)(const ProductInput& in);
  // The stored axis order of a dataset of this product; nullopt: not known.
  std::optional<Layout> (*stored_layout)(const ProductInput& in, const std::string& dataset);
  // What the product declares about the bands and values of the cube read.
  void (*describe)(const ProductInput& in, const std::string& dataset, BandFacts& facts);
};

std::span<const Product* const> all_products();

// The first product whose container and test match, or null.
const Product* find_product(const ProductInput& in);

}  // namespace vexil::formats::products
