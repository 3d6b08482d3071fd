// HDF5 attribute values as JSON values for the sidecar. Every attribute gets
// a value: types with no JSON form become a short text saying what they are,
// and an attribute that cannot be read becomes a text with HDF5's reason.
#pragma once

#include <string>

#include "vexil/metadata.hpp"

#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>

namespace vexil::formats::hdf5 {

// The value of one open attribute: integers, floats (widened to double),
// text, true/false for the common boolean enum (FALSE=0, TRUE=1), nested
// lists for arrays.
Metadata attribute_value(hid_t attr);

// All attributes of an open dataset or group, in creation
// order when the object tracks it, else byte-wise name order.
Metadata read_attributes(hid_t obj);

}  // namespace vexil::formats::hdf5
#endif
