// The Python module vexil._vexil: the library's public API for Python
// callers. Arrays come back as NumPy arrays over the library's own storage
// (a memory-mapped file stays mapped, nothing is copied); metadata as the
// dicts metadata.json holds; errors as the exceptions of vexil._errors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "vexil/vexil.hpp"

namespace py = pybind11;

namespace {

// The metadata as Python values, through the same JSON text metadata.json
// holds (so NaN, key order and number types come out as in the file).
py::object to_python(const vexil::Metadata& m) {
  return py::module_::import("json").attr("loads")(vexil::metadata_json_text(m));
}

// A NumPy view of the array; the capsule keeps the storage (a buffer or a
// file mapping) alive as long as the NumPy array is. Read-only: the storage
// may be a read-only mapping of the input file.
py::array to_numpy(vexil::NDArray array) {
  auto* owner = new vexil::NDArray(std::move(array));
  py::capsule keep(owner, [](void* p) { delete static_cast<vexil::NDArray*>(p); });
  std::vector<py::ssize_t> shape(owner->shape().begin(), owner->shape().end());
  std::vector<py::ssize_t> strides(owner->strides().begin(), owner->strides().end());
  py::array out(py::dtype(std::string(vexil::dtype_name(owner->dtype()))), shape, strides,
                static_cast<const void*>(owner->data()), keep);
  py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return out;
}

vexil::Layout layout_from(const std::string& text) {
  const auto layout = vexil::parse_layout(text);
  if (!layout) throw vexil::UsageError("layout must be one of 'auto', 'hwb', 'bhw', 'hbw', not '" + text + "'");
  return *layout;
}

// Reads the pixels of a deferred array without holding the interpreter.
vexil::NDArray in_memory(const vexil::NDArray& a) {
  py::gil_scoped_release unlocked;
  return a.materialize();
}

py::tuple read_image(const std::string& path, const std::string& layout) {
  vexil::Image image;
  {
    py::gil_scoped_release unlocked;
    image = vexil::read_image(path, layout_from(layout));
  }
  return py::make_tuple(to_numpy(in_memory(image.data)), to_python(image.metadata));
}

py::tuple read_label_map(const std::string& path) {
  vexil::Image image;
  {
    py::gil_scoped_release unlocked;
    image = vexil::read_labels(path);
  }
  return py::make_tuple(to_numpy(in_memory(image.data)), to_python(image.metadata));
}

// Hands every console line of the conversion to a Python callable. An
// exception it raises stops the conversion (its files are removed) and
// reaches the caller unchanged.
class CallbackReporter final : public vexil::Reporter {
 public:
  explicit CallbackReporter(py::object callback) : callback_(std::move(callback)) {}
  void line(std::string_view text) override {
    if (callback_.is_none()) return;
    py::gil_scoped_acquire locked;
    callback_(py::str(text.data(), text.size()));
  }

 private:
  py::object callback_;
};

py::object convert_to_mat(const std::string& img, const std::string& out_dir, std::optional<std::string> gt,
                          std::optional<std::vector<py::int_>> crop, const std::string& data_key,
                          const std::string& gt_key, py::object progress, const std::string& layout, int threads) {
  vexil::ConversionRequest req;
  req.image = img;
  req.out_dir = out_dir;
  req.ground_truth = std::move(gt);
  req.data_key = data_key;
  req.gt_key = gt_key;
  req.layout = layout_from(layout);
  if (threads < 0) throw vexil::UsageError("threads must be 0 (all the CPUs this process may use) or more");
  req.threads = threads;
  if (crop) {
    if (crop->size() != 4) throw vexil::UsageError("crop must hold four integers: y, x, height, width");
    std::vector<vexil::CropValue> v;
    for (const py::int_& n : *crop) v.push_back(vexil::CropValue::from_decimal(py::str(py::handle(n))));
    req.crop = vexil::CropWindow{v[0], v[1], v[2], v[3]};
  }
  CallbackReporter reporter(std::move(progress));
  vexil::ConversionResult result;
  {
    py::gil_scoped_release unlocked;
    result = vexil::convert(req, reporter);
  }
  return to_python(result.sidecar);
}

// The Python class for an error kind, from vexil._errors.
py::object error_class(vexil::ErrorKind kind) {
  const char* name = "Error";
  switch (kind) {
    case vexil::ErrorKind::Usage: name = "UsageError"; break;
    case vexil::ErrorKind::NotFound: name = "NotFoundError"; break;
    case vexil::ErrorKind::UnsupportedFormat: name = "UnsupportedFormatError"; break;
    case vexil::ErrorKind::BadInput: name = "BadInputError"; break;
    case vexil::ErrorKind::MissingKey: name = "MissingKeyError"; break;
    case vexil::ErrorKind::MissingDependency: name = "MissingDependencyError"; break;
    case vexil::ErrorKind::Read: name = "ReadError"; break;
    case vexil::ErrorKind::Write: name = "WriteError"; break;
    case vexil::ErrorKind::Cancelled: name = "CancelledError"; break;
  }
  return py::module_::import("vexil._errors").attr(name);
}

}  // namespace

PYBIND11_MODULE(_vexil, m) {
  m.doc() = "The compiled part of the vexil package (use the package `vexil`).";
  m.attr("__version__") = VEXIL_VERSION_STRING;

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const vexil::Error& e) {
      const py::object cls = error_class(e.kind());
      PyErr_SetString(cls.ptr(), e.what());
    }
  });

  m.def("read", &read_image, py::arg("path"), py::arg("layout") = "auto",
        R"(Read an image cube as convert_to_mat would write it.

Parameters
----------
path : str
    The image file as the command line takes it: an ENVI header or data
    file, a TIFF/GeoTIFF, an HDF5/netCDF file with an optional dataset
    specifier ("cube.h5::/group/radiance", "cube.h5:/radiance"), a MAT-file.
layout : str
    Stored axis order of an HDF5/netCDF/MAT 7.3 cube: "auto" (decided from
    the file), "hwb", "bhw" or "hbw".

Returns
-------
(numpy.ndarray, dict)
    The cube in (height, width, bands) order and its own element type, and
    the metadata metadata.json would hold under "image". The array is
    read-only and shares memory with the file where the file allows it (an
    uncompressed ENVI cube is not copied); use .copy() to modify it. A cube
    decoded from compressed blocks or chunks is in Fortran order, as a
    MAT-file stores it.

Raises
------
FileNotFoundError, ValueError, KeyError (as vexil.NotFoundError,
vexil.BadInputError, vexil.MissingKeyError), vexil.Error for the rest.)");

  m.def("read_labels", &read_label_map, py::arg("path"),
        R"(Read a ground-truth label map as convert_to_mat would write it.

Parameters
----------
path : str
    A .mat, .png/.jpg/.bmp, .tif or ENVI label file (HDF5 with a dataset
    specifier where supported).

Returns
-------
(numpy.ndarray, dict)
    The labels ((height, width), or (height, width, channels) for a colour
    image) and the metadata metadata.json would hold under "ground_truth".)");

  m.def("convert_to_mat", &convert_to_mat, py::arg("img"), py::arg("out_dir"), py::arg("gt") = py::none(),
        py::arg("crop") = py::none(), py::arg("data_key") = "data", py::arg("gt_key") = "gt",
        py::arg("progress") = py::none(), py::arg("layout") = "auto", py::arg("threads") = 0,
        R"(Convert an image cube (and a label map) to MAT-files, as `vexil convert_to_mat` does.

Writes data.mat (and gt.mat) and metadata.json into out_dir, byte for byte
what the command writes. The interpreter is released while converting.

Parameters
----------
img : str
    The image file (see read()).
out_dir : str
    Output folder, created when missing.
gt : str, optional
    A ground-truth label map.
crop : sequence of four ints, optional
    (y, x, height, width) window to keep; every band is kept.
data_key, gt_key : str
    MATLAB variable names in data.mat and gt.mat.
progress : callable, optional
    Called with each console line of the conversion (the same lines the
    command prints, without colour). If it raises, the conversion stops,
    leaves no file behind, and the exception propagates.
layout : str
    Stored axis order of an HDF5/netCDF/MAT 7.3 cube (see read()).
threads : int
    Worker threads; 0 uses the CPUs this process may use.

Returns
-------
dict
    The content of metadata.json.)");
}
