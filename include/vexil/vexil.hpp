// vexil — hyperspectral cubes to MAT-files.
//
// The whole public interface:
//   vexil/convert.hpp   convert(): one conversion as `vexil convert_to_mat` runs it
//   vexil/read.hpp      read_image(), read_labels(): arrays and metadata without writing
//   vexil/reporter.hpp  Reporter: receives the console lines and progress of a conversion
//   vexil/errors.hpp    Error and its kinds: what every function throws
//   vexil/array.hpp     NDArray: element type, shape, strides, shared storage
//   vexil/layout.hpp    Layout: the stored axis order of an HDF5/netCDF/MAT 7.3 cube
//   vexil/dtype.hpp     DType: the element types, named as NumPy names them
//   vexil/metadata.hpp  Metadata: the ordered JSON value of metadata.json
//   vexil/version.hpp   VEXIL_VERSION_STRING
//
// Link with vexil::vexil (CMake: find_package(vexil CONFIG)) or `pkg-config vexil`.
#pragma once

#include "vexil/array.hpp"
#include "vexil/convert.hpp"
#include "vexil/dtype.hpp"
#include "vexil/errors.hpp"
#include "vexil/layout.hpp"
#include "vexil/metadata.hpp"
#include "vexil/read.hpp"
#include "vexil/reporter.hpp"
#include "vexil/version.hpp"
