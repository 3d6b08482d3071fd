"""vexil: hyperspectral cubes to MAT-files, and NumPy arrays from the files.

Reads ENVI, TIFF/GeoTIFF, HDF5/netCDF and MAT cubes (and the layouts of real
products) as (height, width, bands) arrays with their metadata, and converts
them to compressed MAT-files with a JSON sidecar, as `vexil convert_to_mat`
does::

    import vexil
    cube, meta = vexil.read("scene.hdr")           # numpy array, dict
    sidecar = vexil.convert_to_mat("scene.hdr", "out", gt="labels.png")
"""

from vexil._errors import (
    BadInputError,
    CancelledError,
    Error,
    MissingDependencyError,
    MissingKeyError,
    NotFoundError,
    ReadError,
    UnsupportedFormatError,
    UsageError,
    WriteError,
)
from vexil._vexil import __version__, convert_to_mat, read, read_labels

__all__ = [
    "convert_to_mat",
    "read",
    "read_labels",
    "Error",
    "UsageError",
    "NotFoundError",
    "BadInputError",
    "UnsupportedFormatError",
    "MissingKeyError",
    "MissingDependencyError",
    "ReadError",
    "WriteError",
    "CancelledError",
    "__version__",
]
