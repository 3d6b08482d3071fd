#include "output/save_outputs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "text/json_writer.hpp"
#include "vexil/convert.hpp"
#include "io/mapped_file.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"
#include "output/atomic_file.hpp"
#include "output/mat5_writer.hpp"
#include "output/mat73_writer.hpp"

namespace vexil::output {
namespace {

[[noreturn]] void throw_os_error(int err, const std::string& path) {
  const std::string msg = fmt::format("[Errno {}] {}: {}", err, std::strerror(err), text::str_repr(path));
  if (err == ENOENT) throw NotFoundError(msg);
  throw WriteError(msg);
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

// The first existing path of `p`, `p` itself or one of its parents (empty
// for a relative path none of whose parts exists: the current folder).
std::string first_existing(std::string p) {
  while (!p.empty() && !path_exists(p)) {
    auto [head, tail] = split(p);
    if (tail.empty()) std::tie(head, tail) = split(head);
    if (head == p) break;
    p = head;
  }
  return p;
}

// The error of a folder that cannot be created or written, with the reason.
[[noreturn]] void out_dir_error(const std::string& out_dir) {
  const std::string base = first_existing(out_dir);
  if (!base.empty() && !is_dir(base)) {
    if (base == out_dir)
      throw WriteError(fmt::format("[Errno {}] {}: {} (it is a file, not a folder)", EEXIST, std::strerror(EEXIST),
                                   text::str_repr(out_dir)));
    throw WriteError(fmt::format("[Errno {}] {}: {} ({} is a file, not a folder)", ENOTDIR, std::strerror(ENOTDIR),
                                 text::str_repr(out_dir), text::str_repr(base)));
  }
  throw WriteError(fmt::format("[Errno {}] {}: {} (no permission to create files in {})", EACCES, std::strerror(EACCES),
                               text::str_repr(out_dir), text::str_repr(base.empty() ? "." : base)));
}

// os.makedirs(name, exist_ok=True): parents created as needed, an existing
// folder accepted, anything else in the way an error naming the path.
// Folders it creates are added to `made`, parents first.
void makedirs(const std::string& name, std::vector<std::string>& made) {
  auto [head, tail] = split(name);
  if (tail.empty()) std::tie(head, tail) = split(head);
  if (!head.empty() && !tail.empty() && !path_exists(head)) {
    try {
      makedirs(head, made);
    } catch (const WriteError&) {
      // A parent that appeared meanwhile is fine; the mkdir below decides.
      if (!path_exists(head)) throw;
    }
    if (tail == ".") return;
  }
  if (::mkdir(name.c_str(), 0777) != 0) {
    const int err = errno;
    if (is_dir(name)) return;
    if (err == EEXIST || err == ENOTDIR) out_dir_error(name);
    throw_os_error(err, name);
  }
  made.push_back(name);
}

std::uint64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw_os_error(errno, path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::string size_mb(std::uint64_t bytes) { return text::format_fixed(static_cast<double>(bytes) / 1048576.0, 1); }

Metadata shape_json(const Shape& shape) {
  Metadata a = Metadata::array();
  for (auto d : shape) a.push_back(d);
  return a;
}

// Deflate can grow incompressible data by a few bytes per block; an element
// this close to the limit may only be found not to fit once compressed.
constexpr std::uint64_t kCompressedSlack = kMat5VariableLimit / 1024;

// One output file written under its temporary name, renamed with the others.
struct PendingFile {
  std::unique_ptr<AtomicFile> file;
  std::string name;
  std::string format;
};

// Writes one MAT-file, Level 5 when the array fits, else MAT-file 7.3.
PendingFile write_mat(const std::string& out_dir, const std::string& name, const std::string& key, const NDArray& array,
                      std::uint64_t limit, const core::Job& job, bool stream = false, const ValueTap& tap = {}) {
  PendingFile out{std::make_unique<AtomicFile>(io::join(out_dir, name)), name, "MAT 5"};
  const std::string what = "writing " + name;
  Mat5Options o5;
  o5.threads = job.threads();
  o5.progress = [&](std::uint64_t done, std::uint64_t total) { job.progress(what, done, total); };
  o5.stream_bands = stream;
  o5.value_tap = tap;
  Mat73Options o73;
  o73.threads = job.threads();
  o73.progress = o5.progress;
  bool as_mat73 = needs_mat73(array, key, limit);
  if (!as_mat73) {
    try {
      write_mat5(*out.file, key, array, o5);
    } catch (const BadInputError&) {
      // An element this close to the limit may only be found not to fit once
      // compressed (the writer's own checks passed): that is the 7.3 case.
      if (mat5_matrix_bytes(array, key) + kCompressedSlack <= kMat5VariableLimit || !mat73_available()) throw;
      as_mat73 = true;
      out.file = std::make_unique<AtomicFile>(io::join(out_dir, name));
    }
  }
  if (as_mat73) {
    write_mat73(*out.file, key, array, o73);
    out.format = "MAT 7.3";
  }
  out.file->finish();
  return out;
}

void confirm(const core::Job& job, const PendingFile& f) {
  const Palette& p = job.palette();
  job.line("  " + p.green + "\u2713" + p.reset + " " + f.name + " (" + size_mb(file_size(f.file->temp_path())) +
           " MB)");
  if (f.format == "MAT 7.3")
    job.line("  " + p.gray +
             "Written as MAT-file 7.3: the array exceeds the MAT-file Level 5 limit (4 GiB per variable)" + p.reset);
}

void check_writable(const NDArray& array, const std::string& key, std::uint64_t limit) {
  if (!needs_mat73(array, key, limit) || output::mat73_available()) return;
  throw BadInputError(fmt::format(
      "Array {} of shape {} ({}, {:.1f} GiB) exceeds the MAT-file Level 5 limit (4 GiB per variable) and needs "
      "MAT-file 7.3, which needs a build with HDF5",
      text::str_repr(key), shape_str(array.shape()), dtype_name(array.dtype()),
      static_cast<double>(array.nbytes()) / (1024.0 * 1024.0 * 1024.0)));
}

}  // namespace

void check_out_dir(const std::string& out_dir) {
  if (out_dir.empty()) throw_os_error(ENOENT, out_dir);  // as creating it would
  const std::string base = first_existing(out_dir);
  if (!base.empty() && !is_dir(base)) out_dir_error(out_dir);
  if (::access(base.empty() ? "." : base.c_str(), W_OK | X_OK) != 0) out_dir_error(out_dir);
}

std::vector<std::string> output_paths(const std::string& out_dir, bool with_gt) {
  std::vector<std::string> paths{io::join(out_dir, "data.mat")};
  if (with_gt) paths.push_back(io::join(out_dir, "gt.mat"));
  paths.push_back(io::join(out_dir, "metadata.json"));
  return paths;
}

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

bool streams_bands(const NDArray& data, const std::string& key, std::uint64_t mat5_limit) {
  return data.band_step() > 0 && !is_complex(data.dtype()) && !needs_mat73(data, key, mat5_limit);
}

std::vector<WrittenFile> save_outputs(const SaveInputs& in, const core::Job& job) {
  // A streamed cube is read while data.mat is written. Should reading fail,
  // the run must end as one whose input fails before anything is saved:
  // no folder made, no "Saving" line. That line waits until then.
  const bool streamed = streams_bands(in.data, in.data_key, in.mat5_limit);
  std::vector<std::string> made;
  makedirs(in.out_dir, made);
  const Palette& p = job.palette();

  const std::string data_path = io::join(in.out_dir, "data.mat");
  const std::string saving = "\n  " + p.bold + "Saving:" + p.reset + " " + data_path;
  if (!streamed) job.line(saving);
  std::vector<PendingFile> files;
  try {
    files.push_back(write_mat(in.out_dir, "data.mat", in.data_key, in.data, in.mat5_limit, job, streamed, in.data_tap));
  } catch (const BandReadFailure& failure) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(it->c_str());
    std::rethrow_exception(failure.error);
  } catch (...) {
    if (streamed) job.line(saving);
    throw;
  }
  if (streamed) job.line(saving);
  confirm(job, files.back());
  if (in.gt) {
    files.push_back(write_mat(in.out_dir, "gt.mat", in.gt_key, *in.gt, in.mat5_limit, job));
    confirm(job, files.back());
  }
  const bool data_mat73 = files.front().format == "MAT 7.3";
  const bool gt_mat73 = in.gt && files.back().format == "MAT 7.3";

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

  PendingFile sidecar{std::make_unique<AtomicFile>(io::join(in.out_dir, "metadata.json")), "metadata.json", "JSON"};
  {
    AtomicFileBuf buf(*sidecar.file);
    std::ostream os(&buf);
    text::write_json(os, combined);
    buf.sync_or_throw();
    if (!os) throw WriteError("cannot write " + text::str_repr(sidecar.file->final_path()));
  }
  sidecar.file->finish();
  files.push_back(std::move(sidecar));

  // Every file is complete: only now do they replace earlier ones, the
  // sidecar last, so a sidecar on disk always describes the MAT-files beside it.
  job.check_cancelled();
  // An input that shrank while it was mapped gave zeros, not its bytes.
  if (!streamed) io::check_mapping_intact(in.data.keep_alive());
  if (in.gt) io::check_mapping_intact(in.gt->keep_alive());
  std::vector<WrittenFile> written;
  for (auto& f : files) {
    const std::uint64_t bytes = file_size(f.file->temp_path());
    f.file->commit();
    written.push_back({f.name, f.file->final_path(), bytes, f.format});
  }
  job.line("  " + p.green + "\u2713" + p.reset + " metadata.json");
  // A label map of an earlier run no longer matches the files beside it.
  if (!in.gt) {
    const std::string stale = io::join(in.out_dir, "gt.mat");
    if (path_exists(stale))
      job.line("  " + p.yellow + "\u26a0 " + stale +
               " is left from an earlier run: this conversion has no ground truth" + p.reset);
  }
  if (in.sidecar_out) *in.sidecar_out = std::move(combined);
  return written;
}

}  // namespace vexil::output
