// The hostile-input corpus: every case writes its inputs into a fresh folder
// and says how the program must end. Generated at test time (cheap, and the
// 100 MB header never sits in the repository); fuzzing finds are replayed
// from tests/hostile/regressions/.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "hostile/bytes.hpp"

#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif
#ifdef VEXIL_HAVE_GDAL
#include <gdal.h>
#endif

namespace vexil::hostile {

enum class Mount { None, ReadOnly, Full };

struct Prepared {
  std::vector<std::string> args;  // after "convert_to_mat"; "@OUT" stands for the output folder
  int status = 1;                 // 1 for errors, 2 for usage errors
  std::string out_name = "out";   // output folder, relative to the case folder
  bool out_created_ok = false;    // failed while writing: the folder may stay, but empty of new files
  std::uint64_t fsize_limit = 0;  // RLIMIT_FSIZE for the run (SIGXFSZ ignored)
  Mount mount = Mount::None;      // tmpfs mounted on the output folder's parent
  int seconds = 30;
  bool run_in_case_dir = false;  // relative paths in args are relative to the case folder
  bool may_succeed = false;      // damage a lenient reader may read past: success with all files is fine too
  std::string skip;              // non-empty: why this case cannot be made here
};

struct Case {
  std::string name;
  std::function<Prepared(const std::string& dir)> make;
};
// GoogleTest prints a parameter by this (else as a dump of its bytes).
inline void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

inline void put(const std::string& path, const Bytes& b) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(b.data(), static_cast<std::streamsize>(b.size()));
}

// ---------------------------------------------------------------- ENVI

using Fields = std::vector<std::pair<std::string, std::string>>;

inline Fields envi_fields() {
  return {{"samples", "4"},   {"lines", "3"},        {"bands", "2"},     {"header offset", "0"},
          {"data type", "2"}, {"interleave", "bsq"}, {"byte order", "0"}};
}
inline Fields with(Fields f, const std::string& key, const std::string& value) {
  for (auto& kv : f)
    if (kv.first == key) {
      kv.second = value;
      return f;
    }
  f.emplace_back(key, value);
  return f;
}
inline Fields without(Fields f, const std::string& key) {
  std::erase_if(f, [&](const auto& kv) { return kv.first == key; });
  return f;
}
inline Bytes render(const Fields& f) {
  Bytes h = "ENVI\n";
  for (const auto& [k, v] : f) h += k + " = " + v + "\n";
  return h;
}

inline Prepared with_args(std::vector<std::string> args) {
  Prepared p;
  p.args = std::move(args);
  return p;
}
inline Prepared image_args(const std::string& img) { return with_args({"--img", img, "--out-dir", "@OUT"}); }

// A header and a data file of `data_size` noisy bytes; --img names the header.
inline Case envi_case(std::string name, Bytes header, std::size_t data_size = 48) {
  return {std::move(name), [header, data_size](const std::string& dir) {
            put(dir + "/cube.hdr", header);
            put(dir + "/cube.img", Rng(data_size).bytes(data_size));
            return image_args(dir + "/cube.hdr");
          }};
}

// A valid 4x3x2 int16 cube to pair with a hostile ground truth or output folder.
inline void good_envi(const std::string& dir, std::size_t noise_bytes = 0) {
  if (noise_bytes == 0) {
    put(dir + "/img.hdr", render(envi_fields()));
    put(dir + "/img.img", Rng(1).bytes(48));
    return;
  }
  const std::size_t bands = noise_bytes / (64 * 64 * 2);
  put(dir + "/img.hdr",
      render(with(with(with(envi_fields(), "samples", "64"), "lines", "64"), "bands", std::to_string(bands))));
  put(dir + "/img.img", Rng(2).bytes(64 * 64 * 2 * bands));
}

inline Case gt_case(std::string name, std::string file, std::function<Bytes()> bytes, bool may_succeed = false) {
  return {std::move(name), [file, bytes, may_succeed](const std::string& dir) {
            good_envi(dir);
            put(dir + "/" + file, bytes());
            Prepared p = with_args({"--img", dir + "/img.hdr", "--gt", dir + "/" + file, "--out-dir", "@OUT"});
            p.may_succeed = may_succeed;
            return p;
          }};
}

inline void add_envi_cases(std::vector<Case>& cases) {
  for (const char* key : {"lines", "samples", "bands", "data type", "interleave", "byte order"})
    cases.push_back(envi_case(std::string("envi_missing_") + key, render(without(envi_fields(), key))));

  for (const char* key : {"lines", "samples", "bands", "data type", "byte order", "header offset"}) {
    int i = 0;
    for (const char* v : {"abc", "1.5", "", "0x10", "1e3", "{4}"})
      cases.push_back(envi_case(std::string("envi_nonnumeric_") + key + "_" + std::to_string(i++),
                                render(with(envi_fields(), key, v))));
  }

  for (const char* key : {"lines", "samples", "bands", "header offset"})
    cases.push_back(envi_case(std::string("envi_negative_") + key, render(with(envi_fields(), key, "-1"))));
  // A zero extent describes no image, whatever else the header lists.
  for (const char* key : {"lines", "samples", "bands"}) {
    cases.push_back(envi_case(std::string("envi_zero_") + key, render(with(envi_fields(), key, "0")), 0));
    cases.push_back(envi_case(std::string("envi_zero_") + key + "_with_data",
                              render(with(with(envi_fields(), key, "0"), "wavelength", "{400, 410, 420, 430, 440}"))));
  }
  // Data files named without a header beside them, and data named by content.
  for (const char* name : {"cube.dat", "cube.raw", "cube.BSQ", "cube.hyspex", "cube_img"})
    cases.push_back({std::string("envi_data_named_no_header_") + name, [name](const std::string& dir) {
                       put(dir + "/" + name, Rng(3).bytes(48));
                       return image_args(dir + "/" + name);
                     }});

  const std::vector<std::pair<std::string, Fields>> huge{
      {"too_large_for_int64", with(envi_fields(), "lines", "99999999999999999999")},
      {"product_2pow63_float64",
       with(with(with(with(envi_fields(), "lines", "2097152"), "samples", "2097152"), "bands", "2097152"), "data type",
            "5")},
      {"product_2pow64_int16", with(with(envi_fields(), "lines", "4294967296"), "samples", "2147483648")},
      {"product_2pow63_uint8",
       with(with(with(envi_fields(), "lines", "4611686018427387904"), "samples", "2"), "data type", "1")},
      {"square_overflow_complex128",
       with(with(with(envi_fields(), "lines", "3037000500"), "samples", "3037000500"), "data type", "9")},
      {"exabyte_fits_int64", with(with(envi_fields(), "lines", "1099511627776"), "samples", "1048576")},
      {"max_int64_each",
       with(with(with(envi_fields(), "lines", "9223372036854775807"), "samples", "9223372036854775807"), "bands",
            "9223372036854775807")},
  };
  for (const auto& [n, f] : huge) cases.push_back(envi_case("envi_huge_" + n, render(f)));

  for (const char* off : {"49", "1000000", "9223372036854775807", "9223372036854775790", "18446744073709551615"})
    cases.push_back(
        envi_case(std::string("envi_offset_past_end_") + off, render(with(envi_fields(), "header offset", off))));

  // One byte short, for every element type and each interleave.
  const std::vector<std::pair<const char*, int>> types{{"1", 1},  {"2", 2},  {"3", 4},  {"4", 4},  {"5", 8}, {"6", 8},
                                                       {"9", 16}, {"12", 2}, {"13", 4}, {"14", 8}, {"15", 8}};
  for (const auto& [code, size] : types)
    cases.push_back(envi_case(std::string("envi_short_by_one_type") + code,
                              render(with(envi_fields(), "data type", code)), static_cast<std::size_t>(24 * size - 1)));
  for (const char* inter : {"bil", "bip", "BIP"})
    cases.push_back(
        envi_case(std::string("envi_short_by_one_") + inter, render(with(envi_fields(), "interleave", inter)), 47));
  cases.push_back(envi_case("envi_short_by_one_big_endian", render(with(envi_fields(), "byte order", "1")), 47));
  cases.push_back(envi_case("envi_short_by_one_with_offset", render(with(envi_fields(), "header offset", "16")), 63));
  cases.push_back(envi_case("envi_data_empty", render(envi_fields()), 0));

  cases.push_back({"envi_data_missing", [](const std::string& dir) {
                     put(dir + "/cube.hdr", render(envi_fields()));
                     return image_args(dir + "/cube.hdr");
                   }});
  cases.push_back({"envi_data_is_directory", [](const std::string& dir) {
                     put(dir + "/cube.hdr", render(envi_fields()));
                     std::filesystem::create_directories(dir + "/cube.img");
                     return image_args(dir + "/cube.hdr");
                   }});
  cases.push_back({"envi_data_is_fifo", [](const std::string& dir) {
                     put(dir + "/cube.hdr", render(envi_fields()));
                     mkfifo((dir + "/cube.img").c_str(), 0644);
                     return image_args(dir + "/cube.hdr");
                   }});
  cases.push_back({"envi_header_is_directory", [](const std::string& dir) {
                     std::filesystem::create_directories(dir + "/cube.hdr");
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     return image_args(dir + "/cube.hdr");
                   }});
  cases.push_back({"envi_header_is_fifo", [](const std::string& dir) {
                     mkfifo((dir + "/cube.hdr").c_str(), 0644);
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     return image_args(dir + "/cube.hdr");
                   }});
  cases.push_back({"envi_header_missing", [](const std::string& dir) { return image_args(dir + "/none.hdr"); }});
  cases.push_back({"envi_data_named_header_missing", [](const std::string& dir) {
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     return image_args(dir + "/cube.img");
                   }});

  int i = 0;
  for (const char* code : {"0", "7", "8", "10", "11", "16", "99", "-1", "4.0", "float32"})
    cases.push_back(
        envi_case("envi_unknown_type_" + std::to_string(i++), render(with(envi_fields(), "data type", code))));
  i = 0;
  for (const char* inter : {"bsx", "", "bs q", "BIPX", "{bsq}", "bsq bil"})
    cases.push_back(
        envi_case("envi_unknown_interleave_" + std::to_string(i++), render(with(envi_fields(), "interleave", inter))));
  i = 0;
  for (const char* order : {"2", "-1", "big"})
    cases.push_back(
        envi_case("envi_bad_byte_order_" + std::to_string(i++), render(with(envi_fields(), "byte order", order))));

  cases.push_back(envi_case("envi_brace_never_closed_at_end", render(envi_fields()) + "wavelength = {1, 2, 3"));
  cases.push_back(envi_case("envi_brace_swallows_fields", "ENVI\ndescription = {\n" + render(envi_fields()).substr(5)));
  cases.push_back(envi_case("envi_brace_in_required_field", render(with(envi_fields(), "samples", "{4"))));
  cases.push_back(envi_case("envi_nested_braces", render(with(envi_fields(), "lines", "{{{3}}}"))));
  cases.push_back(envi_case("envi_major_frame_offsets", render(with(envi_fields(), "major frame offsets", "{1, 2}"))));
  cases.push_back(envi_case("envi_minor_frame_offsets", render(with(envi_fields(), "minor frame offsets", "7"))));

  cases.push_back(envi_case("envi_no_magic", render(envi_fields()).substr(5)));
  cases.push_back(envi_case("envi_empty_header", ""));
  cases.push_back(envi_case("envi_magic_only", "ENVI\n"));
  cases.push_back(envi_case("envi_nul_bytes", Bytes(4096, '\0')));
  cases.push_back(envi_case("envi_latin1_keys_only", "ENVI\nsampl\xe9s = 4\nl\xefnes = 3\n\xff\xfe = \x80\n"));
  cases.push_back(envi_case("envi_utf16_bom", Bytes("\xff\xfe"
                                                    "E\0N\0V\0I\0\n\0",
                                                    12)));
  cases.push_back(envi_case("envi_equals_only", "ENVI\n=\n==\n= = =\n"));
  cases.push_back(envi_case("envi_crlf_cr_mix_missing", "ENVI\r\nsamples = 4\rlines = 3\r\n"));
  for (int s = 0; s < 5; ++s)
    cases.push_back(envi_case("envi_printable_junk_" + std::to_string(s), "ENVI\n" + Rng(100 + s).printable(2000)));
  for (int s = 0; s < 5; ++s)
    cases.push_back(envi_case("envi_binary_junk_" + std::to_string(s), Rng(200 + s).bytes(1000 + 700 * s)));
  for (int s = 0; s < 3; ++s)
    cases.push_back(envi_case("envi_binary_after_magic_" + std::to_string(s), "ENVI\n" + Rng(300 + s).bytes(3000)));

  // Large inputs, made on the spot.
  cases.push_back({"envi_100mb_single_line", [](const std::string& dir) {
                     Bytes h = "ENVI\ndescription = ";
                     h.append(100u << 20, 'a');
                     put(dir + "/cube.hdr", h);
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     Prepared p = image_args(dir + "/cube.hdr");
                     p.seconds = 120;
                     return p;
                   }});
  cases.push_back({"envi_10mb_open_braces", [](const std::string& dir) {
                     Bytes h = render(envi_fields()) + "x = ";
                     h.append(10u << 20, '{');
                     put(dir + "/cube.hdr", h);
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     Prepared p = image_args(dir + "/cube.hdr");
                     p.seconds = 120;
                     return p;
                   }});
  cases.push_back({"envi_million_fields_no_lines", [](const std::string& dir) {
                     Bytes h = render(without(envi_fields(), "lines"));
                     for (int k = 0; k < 1000000; ++k)
                       h += "field " + std::to_string(k) + " = {" + std::to_string(k) + "}\n";
                     put(dir + "/cube.hdr", h);
                     put(dir + "/cube.img", Bytes(48, '\0'));
                     Prepared p = image_args(dir + "/cube.hdr");
                     p.seconds = 120;
                     return p;
                   }});
}

// ---------------------------------------------------------------- TIFF

inline std::vector<std::pair<std::string, std::function<Bytes()>>> tiff_inputs() {
  std::vector<std::pair<std::string, std::function<Bytes()>>> v;
  auto t = [&](std::string n, std::function<Tiff()> f) { v.emplace_back(n, [f] { return make_tiff(f()); }); };
  v.emplace_back("empty", [] { return Bytes(); });
  v.emplace_back("header_only", [] { return Bytes("II*\0", 4); });
  v.emplace_back("bigtiff_garbage", [] { return Bytes("II+\0\x08\0\0\0", 8) + Rng(5).bytes(64); });
  v.emplace_back("wrong_byte_order_mark", [] {
    Bytes b = make_tiff({});
    b[0] = b[1] = 'M';
    return b;
  });
  v.emplace_back("ifd_offset_zero", [] {
    Tiff x;
    x.ifd_offset = 0;
    Bytes b = make_tiff(x);
    put_le(b, 4, 0, 4);
    return b;
  });
  t("ifd_offset_past_end", [] {
    Tiff x;
    x.ifd_offset = 1u << 30;
    return x;
  });
  t("ifd_offset_inside_header", [] {
    Tiff x;
    x.ifd_offset = 2;
    return x;
  });
  t("ifd_entry_count_65535", [] {
    Tiff x;
    x.entry_count_override = 65535;
    return x;
  });
  t("ifd_entry_count_zero", [] {
    Tiff x;
    x.entry_count_override = 0;
    return x;
  });
  v.emplace_back("ifd_cut_in_half", [] {
    Bytes b = make_tiff({});
    b.resize(b.size() - 60);
    return b;
  });
  t("width_zero", [] {
    Tiff x;
    x.tags[256] = 0;
    return x;
  });
  t("height_zero", [] {
    Tiff x;
    x.tags[257] = 0;
    return x;
  });
  t("absurd_size_2pow31", [] {
    Tiff x;
    x.tags[256] = 0x7FFFFFFF;
    x.tags[257] = 0x7FFFFFFF;
    return x;
  });
  t("absurd_size_100k_square", [] {
    Tiff x;
    x.tags[256] = 100000;
    x.tags[257] = 100000;
    return x;
  });
  t("absurd_size_deflate_100k_square", [] {
    Tiff x;
    x.tags[256] = 100000;
    x.tags[257] = 100000;
    x.tags[259] = 8;
    x.strip = zlib_compress(Bytes(4096, '\0'));
    return x;
  });
  t("samples_per_pixel_65535", [] {
    Tiff x;
    x.tags[277] = 65535;
    return x;
  });
  t("bits_per_sample_128", [] {
    Tiff x;
    x.tags[258] = 128;
    return x;
  });
  t("bits_per_sample_zero", [] {
    Tiff x;
    x.tags[258] = 0;
    x.strip = Bytes(12, '\1');
    return x;
  });
  t("sample_format_unknown", [] {
    Tiff x;
    x.tags[339] = 9;
    return x;
  });
  t("compression_unknown", [] {
    Tiff x;
    x.tags[259] = 99;
    return x;
  });
  t("lzw_garbage_strip", [] {
    Tiff x;
    x.tags[259] = 5;
    x.strip = Rng(7).bytes(12);
    return x;
  });
  t("deflate_garbage_strip", [] {
    Tiff x;
    x.tags[259] = 8;
    x.strip = Rng(8).bytes(12);
    return x;
  });
  t("strip_offset_past_end", [] {
    Tiff x;
    x.tags[273] = 1u << 30;
    return x;
  });
  t("strip_byte_count_huge", [] {
    Tiff x;
    x.tags[279] = 0xFFFFFFF0u;
    return x;
  });
  // Strip placed after the IFD so cutting the file cuts only pixel data.
  auto cut_strip = [](std::uint32_t side, std::size_t keep) {
    return [side, keep] {
      Tiff x;
      x.width = x.height = side;
      x.tags[273] = 256;
      x.tags[279] = side * side;
      x.strip = Bytes(1, '\0');
      Bytes b = make_tiff(x);
      b.resize(256, '\0');
      return b + Bytes(keep, '\x05');
    };
  };
  v.emplace_back("strip_truncated_half", cut_strip(64, 2048));
  v.emplace_back("strip_truncated_by_one", cut_strip(16, 255));
  v.emplace_back("strip_missing", cut_strip(16, 0));
  v.emplace_back("random_after_magic", [] { return Bytes("II*\0\x08\0\0\0", 8) + Rng(9).bytes(400); });
  return v;
}

inline void add_tiff_cases(std::vector<Case>& cases) {
  for (auto& [name, make] : tiff_inputs()) {
    // libtiff reads only the bytes a strip needs, whatever its byte count says.
    const bool lenient = name == "strip_byte_count_huge";
    cases.push_back({"tiff_" + name, [make = make, lenient](const std::string& dir) {
                       put(dir + "/cube.tif", make());
                       Prepared p = image_args(dir + "/cube.tif");
                       p.may_succeed = lenient;
                       return p;
                     }});
    cases.push_back(gt_case("gt_tiff_" + name, "labels.tif", make, lenient));
  }
  cases.push_back({"tiff_is_directory", [](const std::string& dir) {
                     std::filesystem::create_directories(dir + "/cube.tiff");
                     return image_args(dir + "/cube.tiff");
                   }});
  // Other containers recognised by their signature, under names no reader claims.
  const std::vector<std::pair<std::string, Bytes>> foreign{
      {"netcdf3_classic", Bytes("CDF\x01\0\0\0\0", 8) + Rng(4).bytes(200)},
      {"netcdf3_64bit", Bytes("CDF\x02\0\0\0\0", 8) + Rng(5).bytes(200)},
      {"hdf4", Bytes("\x0e\x03\x13\x01", 4) + Rng(6).bytes(200)},
  };
  for (const auto& [name, bytes] : foreign)
    cases.push_back({"img_" + name + "_unknown_extension", [bytes = bytes](const std::string& dir) {
                       put(dir + "/scene.cdf", bytes);
                       return image_args(dir + "/scene.cdf");
                     }});
  cases.push_back({"img_directory_without_extension", [](const std::string& dir) {
                     std::filesystem::create_directories(dir + "/scene");
                     return image_args(dir + "/scene");
                   }});
}

// ---------------------------------------------------------------- HDF5

#ifdef VEXIL_HAVE_HDF5
// A small valid file with one float32 (4, 3, 2) dataset "cube" and a group.
inline void h5_valid(const std::string& path) {
  hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  hsize_t dims[3] = {4, 3, 2};
  hid_t s = H5Screate_simple(3, dims, nullptr);
  hid_t d = H5Dcreate2(f, "cube", H5T_IEEE_F32LE, s, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  float v[24];
  for (int i = 0; i < 24; ++i) v[i] = static_cast<float>(i);
  H5Dwrite(d, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, v);
  H5Dclose(d);
  H5Sclose(s);
  hid_t g = H5Gcreate2(f, "grp", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  H5Gclose(g);
  H5Fclose(f);
}

// A chunked dataset of the given extent with nothing written: a few KB on disk.
inline void h5_huge(const std::string& path, std::vector<hsize_t> dims, hid_t type, bool garbage_chunk = false) {
  hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  hid_t s = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
  hid_t p = H5Pcreate(H5P_DATASET_CREATE);
  std::vector<hsize_t> chunk(dims.size(), 1);
  for (std::size_t i = 0; i < dims.size(); ++i) chunk[i] = std::min<hsize_t>(dims[i], 16);
  H5Pset_chunk(p, static_cast<int>(dims.size()), chunk.data());
  if (garbage_chunk) H5Pset_deflate(p, 4);
  H5Pset_fill_time(p, H5D_FILL_TIME_NEVER);
  hid_t d = H5Dcreate2(f, "cube", type, s, H5P_DEFAULT, p, H5P_DEFAULT);
  if (garbage_chunk) {
    std::vector<hsize_t> origin(dims.size(), 0);
    const Bytes junk = Rng(11).bytes(64);
    H5Dwrite_chunk(d, H5P_DEFAULT, 0, origin.data(), junk.size(), junk.data());
  }
  H5Dclose(d);
  H5Pclose(p);
  H5Sclose(s);
  H5Fclose(f);
}
#endif

inline Bytes slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline void add_hdf5_cases(std::vector<Case>& cases) {
  auto h5 = [&](std::string name, std::function<std::string(const std::string& dir)> make) {
    cases.push_back({"hdf5_" + name, [make](const std::string& dir) {
#ifdef VEXIL_HAVE_HDF5
                       return image_args(make(dir));
#else
                       (void)make;
                       (void)dir;
                       Prepared p;
                       p.skip = "built without HDF5";
                       return p;
#endif
                     }});
  };
#ifdef VEXIL_HAVE_HDF5
  auto mutated = [](std::function<void(Bytes&)> m) {
    return [m](const std::string& dir) {
      h5_valid(dir + "/cube.h5");
      Bytes b = slurp(dir + "/cube.h5");
      m(b);
      put(dir + "/cube.h5", b);
      return dir + "/cube.h5";
    };
  };
  h5("superblock_signature", mutated([](Bytes& b) { b[1] = 'X'; }));
  h5("superblock_version", mutated([](Bytes& b) { b[8] = 9; }));
  h5("superblock_addresses", mutated([](Bytes& b) { std::memset(b.data() + 24, 0xFF, 32); }));
  h5("superblock_zeroed", mutated([](Bytes& b) { std::memset(b.data() + 8, 0, 88); }));
  h5("root_object_header", mutated([](Bytes& b) { std::memset(b.data() + 96, 0xA5, 200); }));
  h5("truncated_100", mutated([](Bytes& b) { b.resize(100); }));
  h5("truncated_quarter", mutated([](Bytes& b) { b.resize(b.size() / 4); }));
  h5("truncated_half", mutated([](Bytes& b) { b.resize(b.size() / 2); }));
  h5("truncated_by_one", mutated([](Bytes& b) { b.resize(b.size() - 1); }));
  h5("data_truncated_named", [](const std::string& dir) {
    h5_valid(dir + "/cube.h5");
    Bytes b = slurp(dir + "/cube.h5");
    b.resize(b.size() - 40);
    put(dir + "/cube.h5", b);
    return dir + "/cube.h5::/cube";
  });
  h5("zeros", [](const std::string& dir) {
    put(dir + "/cube.h5", Bytes(4096, '\0'));
    return dir + "/cube.h5";
  });
  h5("junk", [](const std::string& dir) {
    put(dir + "/cube.hdf5", Rng(12).bytes(5000));
    return dir + "/cube.hdf5";
  });
  h5("terabyte_float32", [](const std::string& dir) {
    h5_huge(dir + "/cube.h5", {100000, 100000, 100}, H5T_IEEE_F32LE);
    return dir + "/cube.h5";
  });
  h5("petabyte_uint8", [](const std::string& dir) {
    h5_huge(dir + "/cube.he5", {1u << 20, 1u << 20, 1u << 10}, H5T_STD_U8LE);
    return dir + "/cube.he5";
  });
  h5("extent_overflows_64_bits", [](const std::string& dir) {
    h5_huge(dir + "/cube.h5", {1ull << 40, 1ull << 40, 16}, H5T_IEEE_F64LE);
    return dir + "/cube.h5";
  });
  h5("garbage_deflate_chunk", [](const std::string& dir) {
    h5_huge(dir + "/cube.h5", {16, 16, 4}, H5T_STD_I16LE, true);
    return dir + "/cube.h5";
  });
  h5("specifier_missing_dataset", [](const std::string& dir) {
    h5_valid(dir + "/cube.h5");
    return dir + "/cube.h5::/nope";
  });
  h5("specifier_names_group", [](const std::string& dir) {
    h5_valid(dir + "/cube.h5");
    return dir + "/cube.h5:/grp";
  });
  h5("no_datasets", [](const std::string& dir) {
    hid_t f = H5Fcreate((dir + "/cube.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    H5Fclose(f);
    return dir + "/cube.h5";
  });
  h5("is_directory", [](const std::string& dir) {
    std::filesystem::create_directories(dir + "/cube.h5");
    return dir + "/cube.h5";
  });
#else
  for (const char* n : {"superblock_signature", "truncated_half", "terabyte_float32"}) h5(n, nullptr);
#endif
}

// ---------------------------------------------------------------- ground-truth images

inline void add_image_cases(std::vector<Case>& cases) {
  auto png = [](std::function<void(Png&)> f) {
    return [f] {
      Png p;
      f(p);
      return make_png(p);
    };
  };
  cases.push_back(gt_case("gt_png_truncated_8", "gt.png", [] { return make_png({}).substr(0, 8); }));
  cases.push_back(gt_case("gt_png_truncated_30", "gt.png", [] { return make_png({}).substr(0, 30); }));
  cases.push_back(gt_case("gt_png_truncated_in_idat", "gt.png", [] {
    Bytes b = make_png({});
    return b.substr(0, 33 + 8 + 6);
  }));
  cases.push_back(gt_case("gt_png_lies_1e6_square", "gt.png", png([](Png& p) { p.width = p.height = 1000000; })));
  cases.push_back(gt_case("gt_png_lies_2pow31", "gt.png", png([](Png& p) { p.width = p.height = 0x7FFFFFFF; })));
  cases.push_back(gt_case("gt_png_width_zero", "gt.png", png([](Png& p) { p.width = 0; })));
  cases.push_back(gt_case("gt_png_bad_ihdr_crc", "gt.png", png([](Png& p) { p.good_ihdr_crc = false; })));
  cases.push_back(gt_case("gt_png_bad_depth", "gt.png", png([](Png& p) { p.depth = 3; })));
  cases.push_back(gt_case("gt_png_bad_colour_type", "gt.png", png([](Png& p) { p.colour = 5; })));
  cases.push_back(gt_case("gt_png_garbage_idat", "gt.png", png([](Png& p) { p.idat = Rng(13).bytes(40); })));
  cases.push_back(
      gt_case("gt_png_idat_too_short", "gt.png", png([](Png& p) { p.idat = zlib_compress(Bytes(5, '\0')); })));
  cases.push_back(gt_case("gt_png_junk", "gt.png", [] { return Rng(14).bytes(3000); }));

  auto bmp = [](std::function<void(Bmp&)> f) {
    return [f] {
      Bmp m;
      f(m);
      return make_bmp(m);
    };
  };
  cases.push_back(gt_case("gt_bmp_truncated_10", "gt.bmp", [] { return make_bmp({}).substr(0, 10); }));
  cases.push_back(gt_case("gt_bmp_truncated_header", "gt.bmp", [] { return make_bmp({}).substr(0, 40); }));
  cases.push_back(gt_case("gt_bmp_truncated_palette", "gt.bmp", [] { return make_bmp({}).substr(0, 300); }));
  cases.push_back(gt_case("gt_bmp_pixels_short_by_one", "gt.bmp", [] {
    Bytes b = make_bmp({});
    b.pop_back();
    return b;
  }));
  cases.push_back(gt_case("gt_bmp_offset_past_end", "gt.bmp", bmp([](Bmp& m) { m.off_bits = 1 << 30; })));
  cases.push_back(gt_case("gt_bmp_offset_max", "gt.bmp", bmp([](Bmp& m) { m.off_bits = 0xFFFFFFFF; })));
  cases.push_back(gt_case("gt_bmp_lies_1e6_square", "gt.bmp", bmp([](Bmp& m) { m.width = m.height = 1000000; })));
  cases.push_back(gt_case("gt_bmp_lies_2pow31", "gt.bmp", bmp([](Bmp& m) { m.width = m.height = 0x7FFFFFFF; })));
  cases.push_back(gt_case("gt_bmp_negative_width", "gt.bmp", bmp([](Bmp& m) { m.width = -4; })));
  cases.push_back(gt_case("gt_bmp_height_int_min", "gt.bmp", bmp([](Bmp& m) { m.height = INT32_MIN; })));
  cases.push_back(gt_case("gt_bmp_width_zero", "gt.bmp", bmp([](Bmp& m) { m.width = 0; })));
  cases.push_back(gt_case("gt_bmp_bpp_zero", "gt.bmp", bmp([](Bmp& m) { m.bpp = 0; })));
  cases.push_back(gt_case("gt_bmp_bpp_3", "gt.bmp", bmp([](Bmp& m) { m.bpp = 3; })));
  cases.push_back(gt_case("gt_bmp_bpp_64", "gt.bmp", bmp([](Bmp& m) { m.bpp = 64; })));
  cases.push_back(gt_case("gt_bmp_rle8_garbage", "gt.bmp", bmp([](Bmp& m) {
                            m.compression = 1;
                            m.pixels = Bytes("\x00\x02\xff\xff\x00\x00\x05", 7) + Rng(15).bytes(9);
                          }),
                          true));
  cases.push_back(gt_case("gt_bmp_rle4_runs_past_row", "gt.bmp", bmp([](Bmp& m) {
                            m.bpp = 4;
                            m.compression = 2;
                            m.colours = 16;
                            m.pixels = Bytes("\xff\x11\xff\x22\x00\x00\xff\x33\x00\x01", 10);
                          }),
                          true));
  cases.push_back(gt_case("gt_bmp_compression_99", "gt.bmp", bmp([](Bmp& m) { m.compression = 99; })));
  cases.push_back(gt_case("gt_bmp_bitfields_without_masks", "gt.bmp", bmp([](Bmp& m) {
                            m.compression = 3;
                            m.bpp = 16;
                          })));
  cases.push_back(gt_case("gt_bmp_palette_count_huge", "gt.bmp", bmp([](Bmp& m) { m.colours = 0x7FFFFFFF; })));
  cases.push_back(gt_case("gt_bmp_palette_2pow24", "gt.bmp", bmp([](Bmp& m) { m.colours = 1u << 24; })));
  cases.push_back(gt_case("gt_bmp_palette_300", "gt.bmp", bmp([](Bmp& m) { m.colours = 300; })));
  cases.push_back(gt_case("gt_bmp_palette_past_end", "gt.bmp", [] {
    // 16 palette entries in the file, 256 declared.
    Bmp m;
    m.off_bits = 14 + 40 + 64;
    Bytes b = make_bmp(m);
    return b.substr(0, 14 + 40 + 64) + b.substr(14 + 40 + 1024);
  }));
  cases.push_back(gt_case("gt_bmp_info_size_zero", "gt.bmp", bmp([](Bmp& m) { m.info_size = 0; })));
  cases.push_back(gt_case("gt_bmp_info_size_huge", "gt.bmp", bmp([](Bmp& m) { m.info_size = 0x7FFFFFF0; })));
  cases.push_back(gt_case("gt_bmp_junk_after_magic", "gt.bmp", [] { return "BM" + Rng(16).bytes(200); }));

#ifdef VEXIL_HAVE_GDAL
  auto jpeg = [](std::function<void(Bytes&)> m) {
    return [m] {
      GDALAllRegister();
      GDALDriverH mem = GDALGetDriverByName("MEM");
      GDALDriverH jpg = GDALGetDriverByName("JPEG");
      Bytes out;
      if (mem && jpg) {
        GDALDatasetH src = GDALCreate(mem, "", 32, 24, 1, GDT_Byte, nullptr);
        std::vector<unsigned char> px(32 * 24);
        for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 7);
        if (GDALRasterIO(GDALGetRasterBand(src, 1), GF_Write, 0, 0, 32, 24, px.data(), 32, 24, GDT_Byte, 0, 0) !=
            CE_None)
          out = "not a JPEG";
        const std::string vsi = "/vsimem/hostile.jpg";
        GDALDatasetH dst = GDALCreateCopy(jpg, vsi.c_str(), src, FALSE, nullptr, nullptr, nullptr);
        GDALClose(dst);
        GDALClose(src);
        vsi_l_offset len = 0;
        GByte* data = VSIGetMemFileBuffer(vsi.c_str(), &len, TRUE);
        out.assign(reinterpret_cast<char*>(data), static_cast<std::size_t>(len));
        VSIFree(data);
      }
      m(out);
      return out;
    };
  };
  // The start-of-frame marker's height and width fields.
  auto sof = [](Bytes& b) -> std::size_t {
    for (std::size_t i = 2; i + 9 < b.size(); ++i)
      if (static_cast<unsigned char>(b[i]) == 0xFF && static_cast<unsigned char>(b[i + 1]) == 0xC0) return i + 5;
    return 0;
  };
  cases.push_back(gt_case("gt_jpeg_truncated_half", "gt.jpg", jpeg([](Bytes& b) { b.resize(b.size() / 2); })));
  cases.push_back(gt_case("gt_jpeg_truncated_2", "gt.jpeg", jpeg([](Bytes& b) { b.resize(2); })));
  cases.push_back(gt_case("gt_jpeg_truncated_headers", "gt.jpg", jpeg([](Bytes& b) { b.resize(b.size() / 5); })));
  cases.push_back(gt_case("gt_jpeg_lies_65535_square", "gt.jpg", jpeg([sof](Bytes& b) {
                            if (std::size_t at = sof(b)) {
                              put_be(b, at, 65535, 2);
                              put_be(b, at + 2, 65535, 2);
                            }
                          })));
  cases.push_back(gt_case("gt_jpeg_zero_height", "gt.jpg", jpeg([sof](Bytes& b) {
                            if (std::size_t at = sof(b)) put_be(b, at, 0, 2);
                          })));
  cases.push_back(gt_case("gt_jpeg_scan_garbage", "gt.jpg", jpeg([](Bytes& b) {
                            const Bytes junk = Rng(17).bytes(b.size() / 3);
                            b.replace(b.size() - junk.size() - 2, junk.size(), junk);
                          })));
  cases.push_back(gt_case("gt_jpeg_junk_after_soi", "gt.jpg", [] { return "\xff\xd8" + Rng(18).bytes(500); }));
#endif
}

// ---------------------------------------------------------------- MAT-files

inline void add_mat_cases(std::vector<Case>& cases) {
  auto mat = [&](std::string name, std::function<Bytes()> make, bool may_succeed = false) {
    cases.push_back(gt_case("gt_mat_" + name, "gt.mat", std::move(make), may_succeed));
  };
  auto var = [](std::function<void(MatVar&)> f) {
    return [f] {
      MatVar v;
      f(v);
      return mat_header() + mat_matrix(v);
    };
  };
  const Bytes good = mat_header() + mat_matrix({});
  for (std::size_t cut :
       {std::size_t{10}, std::size_t{127}, std::size_t{128}, std::size_t{136}, good.size() / 2, good.size() - 1})
    mat("truncated_" + std::to_string(cut), [good, cut] { return good.substr(0, cut); });
  const Bytes packed = mat_header() + mat_compressed(mat_matrix({}));
  mat("compressed_truncated_half", [packed] { return packed.substr(0, packed.size() / 2 + 64); });
  mat("compressed_truncated_by_one", [packed] { return packed.substr(0, packed.size() - 1); });
  mat("compressed_random", [] {
    Bytes z = Rng(19).bytes(200);
    Bytes e;
    le(e, 15, 4);
    le(e, z.size(), 4);
    return mat_header() + e + z;
  });
  mat("compressed_garbage_after_zlib_header", [] {
    Bytes z = "\x78\x9c" + Rng(20).bytes(200);
    Bytes e;
    le(e, 15, 4);
    le(e, z.size(), 4);
    return mat_header() + e + z;
  });
  mat("compressed_size_claims_2gb", [packed] {
    Bytes b = packed;
    put_le(b, 132, 0x7FFFFFF0, 4);
    return b;
  });
  mat("compressed_inner_size_lies", [] {
    MatVar v;
    v.matrix_size_override = 1 << 30;
    return mat_header() + mat_compressed(mat_matrix(v));
  });
  mat("compressed_absurd_dims", [] {
    MatVar v;
    v.dims = {0x7FFFFFFF, 0x7FFFFFFF};
    return mat_header() + mat_compressed(mat_matrix(v));
  });
  mat("compressed_zip_bomb_dims", [] {
    MatVar v;
    v.dims = {65536, 65536};
    v.data = Bytes(1 << 22, '\0');
    return mat_header() + mat_compressed(mat_matrix(v));
  });
  mat("compressed_double_claims_3gb", [] {
    MatVar v;
    v.cls = 6;
    v.data_type = 9;
    v.dims = {20000, 20000};
    v.data = Bytes(1 << 20, '\0');
    return mat_header() + mat_compressed(mat_matrix(v));
  });
  mat("plain_double_claims_3gb", var([](MatVar& v) {
        v.cls = 6;
        v.data_type = 9;
        v.dims = {20000, 20000};
        v.data = Bytes(64, '\0');
      }));
  mat("absurd_dims", var([](MatVar& v) { v.dims = {0x7FFFFFFF, 0x7FFFFFFF}; }));
  mat("dims_overflow_64_bits", var([](MatVar& v) { v.dims = std::vector<std::int32_t>(8, 0x7FFFFFFF); }));
  mat("negative_dims", var([](MatVar& v) { v.dims = {-1, 5}; }));
  mat("no_dims", var([](MatVar& v) { v.dims = {}; }));
  mat("one_dim", var([](MatVar& v) { v.dims = {12}; }), true);
  mat("thousand_dims", var([](MatVar& v) { v.dims = std::vector<std::int32_t>(1000, 1); }), true);
  mat("data_shorter_than_dims", var([](MatVar& v) { v.data = Bytes(11, '\1'); }));
  mat("data_type_mismatch", var([](MatVar& v) {
        v.cls = 6;
        v.data_type = 16;  // miUTF8 under a double array
      }),
      true);
  mat("data_type_unknown", var([](MatVar& v) { v.data_type = 77; }), true);
  mat("class_unknown", var([](MatVar& v) { v.cls = 99; }));
  mat("class_cell_garbage", var([](MatVar& v) {
        v.cls = 1;
        v.data = Rng(21).bytes(40);
        v.data_type = 14;
      }));
  mat("class_sparse_garbage", var([](MatVar& v) {
        v.cls = 5;
        v.data = Rng(22).bytes(48);
        v.data_type = 5;
      }));
  mat("name_length_huge", [] {
    Bytes b = mat_header() + mat_matrix({});
    put_le(b, 128 + 8 + 16 + 16 + 4, 0x7FFFFFF0, 4);
    return b;
  });
  mat("matrix_size_past_end", var([](MatVar& v) { v.matrix_size_override = 0xFFFFFFF0u; }));
  mat("only_char_array", var([](MatVar& v) {
        v.cls = 4;
        v.data_type = 4;
        v.dims = {1, 6};
        v.data = Bytes("h\0e\0l\0l\0o\0!\0", 12);
      }));
  mat("bad_endian_indicator", [] { return mat_header("XX") + mat_matrix({}); });
  mat("version_unknown", [] { return mat_header("IM", 0x0300) + mat_matrix({}); });
  mat("empty", [] { return Bytes(); });
  mat("text", [] { return Bytes("labels = [1 2 3; 4 5 6]\n"); });
  mat("level4_absurd_rows", [] {
    Bytes b;
    le(b, 0, 4);           // double, little-endian, full
    le(b, 0x7FFFFFFF, 4);  // rows
    le(b, 0x7FFFFFFF, 4);  // columns
    le(b, 0, 4);           // real
    le(b, 2, 4);           // name length with NUL
    b += Bytes("x\0", 2) + Bytes(16, '\0');
    return b;
  });
  mat("level4_bad_type", [] {
    Bytes b;
    le(b, 9999, 4);
    le(b, 2, 4);
    le(b, 2, 4);
    le(b, 0, 4);
    le(b, 2, 4);
    b += Bytes("x\0", 2) + Bytes(32, '\0');
    return b;
  });
#ifdef VEXIL_HAVE_HDF5
  cases.push_back({"gt_mat_v73_truncated", [](const std::string& dir) {
                     good_envi(dir);
                     const std::string path = dir + "/gt.mat";
                     hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
                     H5Pset_userblock(fcpl, 512);
                     hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT);
                     hsize_t dims[2] = {4, 3};
                     hid_t s = H5Screate_simple(2, dims, nullptr);
                     hid_t d = H5Dcreate2(f, "labels", H5T_STD_U8LE, s, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
                     unsigned char px[12] = {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3};
                     H5Dwrite(d, H5T_NATIVE_UCHAR, H5S_ALL, H5S_ALL, H5P_DEFAULT, px);
                     H5Dclose(d);
                     H5Sclose(s);
                     H5Fclose(f);
                     H5Pclose(fcpl);
                     Bytes b = slurp(path);
                     Bytes h = mat_header("IM", 0x0200);
                     b.replace(0, h.size(), h);
                     b.resize(b.size() * 2 / 3);
                     put(path, b);
                     return with_args({"--img", dir + "/img.hdr", "--gt", path, "--out-dir", "@OUT"});
                   }});
#endif
}

// ---------------------------------------------------------------- ground truth, other kinds

inline void add_gt_misc_cases(std::vector<Case>& cases) {
  cases.push_back(gt_case("gt_unsupported_extension", "gt.txt", [] { return Bytes("1 2 3\n"); }));
  cases.push_back(gt_case("gt_no_extension", "labels", [] { return Bytes("1 2 3\n"); }));
  cases.push_back({"gt_missing", [](const std::string& dir) {
                     good_envi(dir);
                     return with_args({"--img", dir + "/img.hdr", "--gt", dir + "/none.png", "--out-dir", "@OUT"});
                   }});
  cases.push_back({"gt_envi_short_by_one", [](const std::string& dir) {
                     good_envi(dir);
                     put(dir + "/gt.hdr", render(with(with(envi_fields(), "bands", "1"), "data type", "1")));
                     put(dir + "/gt.img", Bytes(11, '\1'));
                     return with_args({"--img", dir + "/img.hdr", "--gt", dir + "/gt.hdr", "--out-dir", "@OUT"});
                   }});
  cases.push_back({"gt_envi_huge", [](const std::string& dir) {
                     good_envi(dir);
                     put(dir + "/gt.hdr",
                         render(with(with(envi_fields(), "lines", "4294967296"), "samples", "4294967296")));
                     put(dir + "/gt.img", Bytes(12, '\1'));
                     return with_args({"--img", dir + "/img.hdr", "--gt", dir + "/gt.hdr", "--out-dir", "@OUT"});
                   }});
  cases.push_back({"gt_empty_path_value", [](const std::string& dir) {
                     good_envi(dir);
                     return with_args({"--img", dir + "/img.hdr", "--gt", "", "--out-dir", "@OUT"});
                   }});
}

// ---------------------------------------------------------------- paths, usage, crop, output

inline void add_path_and_usage_cases(std::vector<Case>& cases) {
  const Bytes junk = "ENVI\n" + Rng(400).printable(300);
  auto odd = [&](std::string name, std::string rel) {
    cases.push_back({"path_" + name, [junk, rel](const std::string& dir) {
                       put(dir + "/" + rel, junk);
                       put(dir + "/" + rel.substr(0, rel.size() - 4) + ".img", Bytes(48, '\0'));
                       return image_args(dir + "/" + rel);
                     }});
  };
  odd("spaces", "dir with spaces/my cube file.hdr");
  odd("non_ascii", "ünïcødé/データ キューブ.hdr");
  odd("non_utf8_bytes", "bad\xff\xfe name/\xe9t\xe9.hdr");
  odd("leading_dash_folder", "-dash/-cube.hdr");
  cases.push_back({"path_leading_dash_with_equals", [junk](const std::string& dir) {
                     put(dir + "/-cube.hdr", junk);
                     Prepared p = with_args({"--img=-cube.hdr", "--out-dir=-out"});
                     p.out_name = "-out";
                     p.run_in_case_dir = true;
                     return p;
                   }});
  cases.push_back({"path_leading_dash_as_value", [junk](const std::string& dir) {
                     put(dir + "/-cube.hdr", junk);
                     Prepared p = with_args({"--img", "-cube.hdr", "--out-dir", "@OUT"});
                     p.status = 2;
                     p.run_in_case_dir = true;
                     return p;
                   }});
  cases.push_back({"path_out_dir_odd_name", [junk](const std::string& dir) {
                     put(dir + "/cube.hdr", junk);
                     Prepared p = with_args({"--img", dir + "/cube.hdr", "--out-dir", "@OUT"});
                     p.out_name = "out dir ü -x";
                     return p;
                   }});
  cases.push_back({"path_gt_odd_name", [](const std::string& dir) {
                     good_envi(dir);
                     put(dir + "/label maps/étiquettes -1.png", make_png({}).substr(0, 40));
                     return with_args({"--img", dir + "/img.hdr", "--gt", dir + "/label maps/étiquettes -1.png",
                                       "--out-dir", "@OUT"});
                   }});

  auto usage = [&](std::string name, std::vector<std::string> args) {
    cases.push_back({"usage_" + name, [args](const std::string& dir) {
                       good_envi(dir);
                       Prepared p;
                       for (const auto& a : args) p.args.push_back(a == "@IMG" ? dir + "/img.hdr" : a);
                       p.status = 2;
                       return p;
                     }});
  };
  usage("no_arguments", {});
  usage("missing_img", {"--out-dir", "@OUT"});
  usage("missing_out_dir", {"--img", "@IMG"});
  usage("unknown_option", {"--img", "@IMG", "--out-dir", "@OUT", "--bogus"});
  usage("short_unknown_option", {"-x", "--img", "@IMG", "--out-dir", "@OUT"});
  usage("img_without_value", {"--out-dir", "@OUT", "--img"});
  usage("crop_three_values", {"--img", "@IMG", "--out-dir", "@OUT", "--crop", "0", "0", "1"});
  usage("crop_not_integer", {"--img", "@IMG", "--out-dir", "@OUT", "--crop", "a", "b", "c", "d"});
  usage("crop_float", {"--img", "@IMG", "--out-dir", "@OUT", "--crop", "0", "0", "1", "1.5"});
  usage("crop_5000_digits", {"--img", "@IMG", "--out-dir", "@OUT", "--crop", "0", "0", "1", std::string(5000, '9')});
  usage("data_key_digit", {"--img", "@IMG", "--out-dir", "@OUT", "--data-key", "9data"});
  usage("gt_key_space", {"--img", "@IMG", "--out-dir", "@OUT", "--gt-key", "g t"});
  usage("data_key_64_chars", {"--img", "@IMG", "--out-dir", "@OUT", "--data-key", std::string(64, 'a')});
  usage("ambiguous_prefix", {"--img", "@IMG", "--out-dir", "@OUT", "--g", "x.png"});

  auto crop = [&](std::string name, std::vector<std::string> window) {
    cases.push_back({"crop_" + name, [window](const std::string& dir) {
                       good_envi(dir);
                       Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT", "--crop"});
                       p.args.insert(p.args.end(), window.begin(), window.end());
                       return p;
                     }});
  };
  crop("outside", {"2", "2", "5", "5"});
  crop("negative_height", {"0", "0", "-1", "2"});
  crop("huge_values", {"0", "0", "1180591620717411303424", "1"});
  crop("overflowing_sum", {"9223372036854775807", "0", "9223372036854775807", "1"});
  crop("negative_origin_huge", {"-9223372036854775808", "0", "1", "1"});
}

inline void add_output_cases(std::vector<Case>& cases) {
  cases.push_back({"out_is_file", [](const std::string& dir) {
                     good_envi(dir);
                     put(dir + "/out", Bytes("keep me"));
                     return with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                   }});
  cases.push_back({"out_under_file", [](const std::string& dir) {
                     good_envi(dir);
                     put(dir + "/plain", Bytes("keep me"));
                     Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                     p.out_name = "plain/sub";
                     return p;
                   }});
  cases.push_back({"out_read_only_mount", [](const std::string& dir) {
                     good_envi(dir);
                     Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                     p.out_name = "mnt/out";
                     p.mount = Mount::ReadOnly;
                     return p;
                   }});
  cases.push_back({"out_full_file_system", [](const std::string& dir) {
                     good_envi(dir, 1 << 20);
                     Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                     p.out_name = "mnt/out";
                     p.mount = Mount::Full;
                     p.out_created_ok = true;
                     return p;
                   }});
  cases.push_back({"out_file_size_limit", [](const std::string& dir) {
                     good_envi(dir, 1 << 20);
                     Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                     p.fsize_limit = 64 << 10;
                     p.out_created_ok = true;
                     return p;
                   }});
  cases.push_back({"out_file_size_limit_keeps_old_file", [](const std::string& dir) {
                     good_envi(dir, 1 << 20);
                     put(dir + "/out/data.mat", Bytes("an earlier result"));
                     Prepared p = with_args({"--img", dir + "/img.hdr", "--out-dir", "@OUT"});
                     p.fsize_limit = 64 << 10;
                     p.out_created_ok = true;
                     return p;
                   }});
}

// Inputs the fuzzers found, replayed through the program: gt_mat/ files are
// label maps, envi_reader/ files are the fuzz target's own format (two bytes
// of header length, the header, then the data file).
inline void add_regression_cases(std::vector<Case>& cases, const std::string& root) {
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root, ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    const std::string kind = f.parent_path().filename().string();
    const Bytes bytes = slurp(f.string());
    const std::string name = "regression_" + kind + "_" + f.stem().string();
    if (kind == "gt_mat") {
      cases.push_back(gt_case(name, "gt.mat", [bytes] { return bytes; }));
    } else if (kind == "envi_reader" && bytes.size() >= 2) {
      std::size_t n =
          static_cast<unsigned char>(bytes[0]) | (static_cast<std::size_t>(static_cast<unsigned char>(bytes[1])) << 8);
      n = std::min(n, bytes.size() - 2);
      cases.push_back({name, [bytes, n](const std::string& dir) {
                         put(dir + "/cube.hdr", bytes.substr(2, n));
                         put(dir + "/cube.img", bytes.substr(2 + n));
                         return image_args(dir + "/cube.hdr");
                       }});
    } else if (kind == "tiff_reader") {
      cases.push_back({name, [bytes](const std::string& dir) {
                         put(dir + "/cube.tif", bytes);
                         return image_args(dir + "/cube.tif");
                       }});
    }
  }
}

inline std::vector<Case> all_cases() {
  std::vector<Case> cases;
  add_envi_cases(cases);
  add_tiff_cases(cases);
  add_hdf5_cases(cases);
  add_image_cases(cases);
  add_mat_cases(cases);
  add_gt_misc_cases(cases);
  add_path_and_usage_cases(cases);
  add_output_cases(cases);
#ifdef VEXIL_SOURCE_DIR
  add_regression_cases(cases, std::string(VEXIL_SOURCE_DIR) + "/tests/hostile/regressions");
#endif
  return cases;
}

}  // namespace vexil::hostile
