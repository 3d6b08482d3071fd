#include "output/save_outputs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include <fmt/format.h>

#include "core/console.hpp"
#include "core/errors.hpp"
#include "core/json_writer.hpp"
#include "core/pypath.hpp"
#include "core/pytext.hpp"
#include "display/display.hpp"
#include "output/atomic_file.hpp"
#include "output/mat5_writer.hpp"
#include "output/mat73_writer.hpp"

namespace vexil::convert::internal {
namespace {

namespace display = vexil::utils::display;

[[noreturn]] void throw_os_error(int err, const std::string& path) {
  const std::string msg = fmt::format("[Errno {}] {}: {}", err, std::strerror(err), pytext::str_repr(path));
  if (err == ENOENT) throw FileNotFoundError(msg);
  throw IOError(msg);
}

// os.path.split
std::pair<std::string, std::string> split(const std::string& p) {
  const std::size_t i = p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1;
  std::string head = p.substr(0, i), tail = p.substr(i);
  if (!head.empty() && head.find_first_not_of('/') != std::string::npos) {
    while (!head.empty() && head.back() == '/') head.pop_back();
  }
  return {head, tail};
}

bool path_exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// os.makedirs(name, exist_ok=True): parents created as needed, an existing
// folder accepted, anything else in the way an error naming the path.
void makedirs(const std::string& name) {
  auto [head, tail] = split(name);
  if (tail.empty()) std::tie(head, tail) = split(head);
  if (!head.empty() && !tail.empty() && !path_exists(head)) {
    try {
      makedirs(head);
    } catch (const IOError&) {
      // A parent that appeared meanwhile is fine; the mkdir below decides.
      if (!path_exists(head)) throw;
    }
    if (tail == ".") return;
  }
  if (::mkdir(name.c_str(), 0777) != 0) {
    const int err = errno;
    if (!is_dir(name)) throw_os_error(err, name);
  }
}

std::uint64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw_os_error(errno, path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::string size_mb(std::uint64_t bytes) {
  return pytext::format_fixed(static_cast<double>(bytes) / 1048576.0, 1);
}

Metadata shape_json(const Shape& shape) {
  Metadata a = Metadata::array();
  for (auto d : shape) a.push_back(d);
  return a;
}

// Deflate can grow incompressible data by a few bytes per block; an element
// this close to the limit may only be found not to fit once compressed.
constexpr std::uint64_t kCompressedSlack = kMat5VariableLimit / 1024;

// Writes one MAT-file, Level 5 when the array fits, and returns whether it
// went to MAT-file 7.3 instead.
bool write_mat(const std::string& path, const std::string& key, const NDArray& array, std::uint64_t limit) {
  if (needs_mat73(array, key, limit)) {
    output::write_mat73(path, key, array);
    return true;
  }
  if (output::mat5_matrix_bytes(array, key) + kCompressedSlack <= kMat5VariableLimit) {
    output::write_mat5(path, key, array);
    return false;
  }
  try {
    output::write_mat5(path, key, array);
    return false;
  } catch (const ValueError&) {
    // Did not fit once compressed (the writer left nothing behind).
    if (!output::mat73_available()) throw;
  }
  output::write_mat73(path, key, array);
  return true;
}

void save_mat(const std::string& out_dir, const std::string& file, const std::string& key, const NDArray& array,
              std::uint64_t limit, bool& as_mat73) {
  const std::string path = pypath::join(out_dir, file);
  as_mat73 = write_mat(path, key, array, limit);
  println("  " + display::GREEN + "\u2713" + display::RESET + " " + file + " (" + size_mb(file_size(path)) + " MB)");
  if (as_mat73)
    println("  " + display::GRAY +
            "Written as MAT-file 7.3: the array exceeds the MAT-file Level 5 limit (4 GiB per variable)" +
            display::RESET);
}

void check_writable(const NDArray& array, const std::string& key, std::uint64_t limit) {
  if (!needs_mat73(array, key, limit) || output::mat73_available()) return;
  throw ValueError(fmt::format(
      "Array {} of shape {} ({}, {:.1f} GiB) exceeds the MAT-file Level 5 limit (4 GiB per variable) and needs "
      "MAT-file 7.3, which needs a build with HDF5",
      pytext::str_repr(key), shape_str(array.shape()), dtype_name(array.dtype()),
      static_cast<double>(array.nbytes()) / (1024.0 * 1024.0 * 1024.0)));
}

}  // namespace

bool needs_mat73(const NDArray& array, const std::string& key, std::uint64_t mat5_limit) {
  // Also validates the name, which both formats store the same way.
  const std::uint64_t bytes = output::mat5_matrix_bytes(array, key);
  for (auto d : array.shape())
    if (d > std::numeric_limits<std::int32_t>::max()) return true;
  return bytes > mat5_limit;
}

void check_outputs_writable(const SaveInputs& in) {
  check_writable(in.data, in.data_key, in.mat5_limit);
  if (in.gt) check_writable(*in.gt, in.gt_key, in.mat5_limit);
}

void save_outputs(const SaveInputs& in) {
  makedirs(in.out_dir);

  const std::string data_path = pypath::join(in.out_dir, "data.mat");
  println("\n  " + display::BOLD + "Saving:" + display::RESET + " " + data_path);
  bool data_mat73 = false, gt_mat73 = false;
  save_mat(in.out_dir, "data.mat", in.data_key, in.data, in.mat5_limit, data_mat73);
  if (in.gt) save_mat(in.out_dir, "gt.mat", in.gt_key, *in.gt, in.mat5_limit, gt_mat73);

  Metadata combined = Metadata::object();
  combined["image"] = in.meta;
  Metadata conversion = Metadata::object();
  conversion["output_data_key"] = in.data_key;
  conversion["output_data_shape"] = shape_json(in.data.shape());
  conversion["output_data_dtype"] = std::string(dtype_name(in.data.dtype()));
  // Only in the 7.3 case, so a Level 5 run's sidecar is what it always was.
  if (data_mat73) conversion["output_data_format"] = "MAT 7.3";
  const bool with_gt = in.gt && in.gt_meta;
  if (with_gt) {
    conversion["output_gt_key"] = in.gt_key;
    conversion["output_gt_shape"] = shape_json(in.gt->shape());
    conversion["output_gt_dtype"] = std::string(dtype_name(in.gt->dtype()));
    if (gt_mat73) conversion["output_gt_format"] = "MAT 7.3";
  }
  combined["conversion"] = std::move(conversion);
  if (with_gt) combined["ground_truth"] = *in.gt_meta;

  output::AtomicFile file(pypath::join(in.out_dir, "metadata.json"));
  output::AtomicFileBuf buf(file);
  std::ostream os(&buf);
  write_json(os, combined);
  buf.sync_or_throw();
  if (!os) throw IOError("cannot write " + pytext::str_repr(file.final_path()));
  file.commit();
  println("  " + display::GREEN + "\u2713" + display::RESET + " metadata.json");
}

}  // namespace vexil::convert::internal
