# CPack: `cpack -G DEB` in a build folder gives vexil_<version>_<arch>.deb with
# the program, libvexil.so, the headers, the CMake package and vexil.pc.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (Debian's library
# folder is then lib/<multiarch>); the package installs under /usr.
set(CPACK_PACKAGE_NAME vexil)
set(CPACK_PACKAGE_VENDOR "vexil")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hyperspectral image cubes to MAT-files")
set(CPACK_PACKAGE_DESCRIPTION
  "vexil convert_to_mat converts a hyperspectral cube (ENVI, TIFF/GeoTIFF, HDF5/netCDF, MAT) and \
an optional ground-truth label map into compressed MAT-files with a metadata.json sidecar. \
The package holds the program, the library libvexil and its C++ headers, CMake package and pkg-config file.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

set(VEXIL_PACKAGE_MAINTAINER "vexil maintainers <maintainers@users.noreply.c-seed-47b6b9ae.example>"
  CACHE STRING "Maintainer field of the .deb")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VEXIL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the linked libraries (dpkg-shlibdeps); the
# headers add nlohmann_json, which the CMake package and vexil.pc require.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nlohmann-json3-dev (>= 3.10)")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The Python module, when built, needs NumPy at run time.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-numpy")

include(CPack)
