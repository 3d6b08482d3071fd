#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_parser.hpp"
#include "vexil/errors.hpp"
#include "support/test_util.hpp"
#include "text/text_format.hpp"

using vexil::app::Options;
using vexil::app::parse_args;
using vexil::app::parse_integer;
using Args = std::vector<std::string>;

namespace {

struct Outcome {
  int status = -1;  // -1: parse_args returned
  std::string out;
  std::string err;
  Options opts;
};

Outcome parse(const Args& args) {
  Outcome o;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    o.opts = parse_args(args);
  } catch (const vexil::app::ParserExit& e) {
    o.status = e.status();
  }
  o.err = testing::internal::GetCapturedStderr();
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

const std::string kUsage =
    "usage: vexil convert_to_mat [-h] --img IMG [--gt GT] --out-dir OUT_DIR\n"
    "                            [--crop Y X H W] [--data-key DATA_KEY]\n"
    "                            [--gt-key GT_KEY] [--layout {auto,hwb,bhw,hbw}]\n"
    "                            [--threads N]\n";

const std::string kHelp = kUsage +
                          "\n"
                          "Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format\n"
                          "\n"
                          "options:\n"
                          "  -h, --help            show this help message and exit\n"
                          "  --img IMG             Path to the image file (ENVI .hdr, .tif, .h5, etc.)\n"
                          "  --gt GT               Path to ground-truth labels (optional: .mat, .png,\n"
                          "                        .tif, .hdr)\n"
                          "  --out-dir OUT_DIR     Output directory for .mat and metadata files\n"
                          "  --crop Y X H W        Spatial crop: Y X Height Width (e.g. --crop 448 2560\n"
                          "                        512 512)\n"
                          "  --data-key DATA_KEY   Key name for image data in the output .mat (default:\n"
                          "                        data)\n"
                          "  --gt-key GT_KEY       Key name for ground truth in the output .mat (default:\n"
                          "                        gt)\n"
                          "  --layout {auto,hwb,bhw,hbw}\n"
                          "                        Stored axis order of an HDF5, netCDF or MAT 7.3 cube:\n"
                          "                        hwb (rows, columns, bands), bhw (bands first) or hbw\n"
                          "                        (bands between rows and columns); auto decides from\n"
                          "                        dimension names, MATLAB's column-major order and known\n"
                          "                        products, and only then from the sizes (default: auto)\n"
                          "  --threads N           Worker threads (default: VEXIL_THREADS if set, else\n"
                          "                        the CPUs this process may use)\n"
                          "\n"
                          "Inputs: ENVI (the .hdr, or its data file: .dat, .img, .raw, .bsq, .bil, .bip,\n"
                          ".hyspex, or no extension), TIFF/GeoTIFF (.tif, .tiff, .geotiff), HDF5 and\n"
                          "netCDF-4 (.h5, .hdf5, .he5, .nc), netCDF-3 and HDF4 (.nc, .hdf), MAT-files\n"
                          "(.mat). A file named otherwise is recognised by its content. Ground truth:\n"
                          "the same, and .png, .jpg, .jpeg, .bmp.\n"
                          "\n"
                          "A dataset inside a container is named after the file, for --img and --gt:\n"
                          "file.h5:/group/ds or file.h5::ds (HDF5, netCDF, HDF4), file.mat:name (a\n"
                          "MAT-file variable). Without a name the only array is taken, else a known\n"
                          "product's cube (ground truth: a variable named gt or groundtruth), else the\n"
                          "largest; same-sized rasters left behind are named on the console.\n"
                          "\n"
                          "metadata.json keeps every field of the input; what the file declares about its\n"
                          "bands is also under \"wavelength\", \"fwhm\", \"bad_bands\", \"wavelength_units\",\n"
                          "\"fill_value\" and \"scale\"; a container's cube records \"stored_layout\" and\n"
                          "\"layout_source\" (how its axis order was decided).\n";

Args with_required(Args extra) {
  Args a{"--img", "a", "--out-dir", "o"};
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

std::vector<std::string> crop_texts(const Options& o) {
  if (!o.crop) return {};
  return {o.crop->y.text, o.crop->x.text, o.crop->height.text, o.crop->width.text};
}

}  // namespace

TEST(CliHelp, PrintsTheHelpTextOnStdoutAndExitsZero) {
  for (const Args& args :
       {Args{"-h"}, Args{"--help"}, Args{"--he"}, Args{"--hel"}, Args{"--h"}, Args{"--img", "a", "-h"},
        Args{"--bogus", "-h"}, Args{"--crop", "1", "2", "3", "4", "--help", "--bogus"}, Args{"-hh"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    Outcome o = parse(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, kHelp);
    EXPECT_EQ(o.err, "");
  }
}

TEST(CliHelp, AnErrorMetWhileConsumingValuesBeforeHelpWins) {
  Outcome o = parse({"--crop", "1", "2", "3", "x", "-h"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, kUsage + "vexil convert_to_mat: error: argument --crop: invalid int value: 'x'\n");
}

TEST(CliErrors, EveryUsageErrorPrintsUsageAndItsMessage) {
  struct Row {
    Args args;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{}, "the following arguments are required: --img, --out-dir"},
      {{"--img", "a.hdr"}, "the following arguments are required: --out-dir"},
      {{"--bogus"}, "the following arguments are required: --img, --out-dir"},
      {with_required({"--bogus"}), "unrecognized arguments: --bogus"},
      {with_required({"--bogus=3", "extra"}), "unrecognized arguments: --bogus=3 extra"},
      {with_required({"positional"}), "unrecognized arguments: positional"},
      {with_required({"-x"}), "unrecognized arguments: -x"},
      {with_required({"-5"}), "unrecognized arguments: -5"},
      {with_required({"--out-dirx", "y"}), "unrecognized arguments: --out-dirx y"},
      {with_required({"--", "--crop"}), "unrecognized arguments: -- --crop"},
      {{"positional", "--img", "a", "--out-dir", "o", "tail"}, "unrecognized arguments: positional tail"},
      {{"--img", "--out-dir", "o"}, "argument --img: expected one argument"},
      {{"--img", "a", "--out-dir"}, "argument --out-dir: expected one argument"},
      {{"--img", "-x", "--out-dir", "o"}, "argument --img: expected one argument"},
      {{"--img", "--", "a", "--out-dir", "o"}, "argument --img: expected one argument"},
      {with_required({"--gt-"}), "argument --gt-key: expected one argument"},
      {with_required({"--crop", "1", "2", "3"}), "argument --crop: expected 4 arguments"},
      {with_required({"--crop"}), "argument --crop: expected 4 arguments"},
      {with_required({"--crop", "1", "2", "--gt", "x", "3", "4"}), "argument --crop: expected 4 arguments"},
      {with_required({"--crop", "1", "2", "3", "-x"}), "argument --crop: expected 4 arguments"},
      {with_required({"--crop", "-1e3", "1", "2", "3"}), "argument --crop: expected 4 arguments"},
      {{"--img=x.hdr", "--out-dir=o", "--crop=1", "2", "3", "4"}, "argument --crop: expected 4 arguments"},
      {with_required({"--crop", "1", "2", "3", "4", "5"}), "unrecognized arguments: 5"},
      {with_required({"--crop", "1", "2", "3", "x"}), "argument --crop: invalid int value: 'x'"},
      {with_required({"--crop", "1", "2", "3", "4.0"}), "argument --crop: invalid int value: '4.0'"},
      {with_required({"--crop", "1", "2", "3", "-4.5"}), "argument --crop: invalid int value: '-4.5'"},
      {with_required({"--crop", "1", "2", "3", "0x10"}), "argument --crop: invalid int value: '0x10'"},
      {with_required({"--crop", "1", "2", "3", ""}), "argument --crop: invalid int value: ''"},
      {with_required({"--crop", "1", "2", "3", "it's"}), "argument --crop: invalid int value: \"it's\""},
      {with_required({"--crop", "1", "2", "3", "x", "--bogus"}), "argument --crop: invalid int value: 'x'"},
      {{"--crop", "a", "b", "c", "d"}, "argument --crop: invalid int value: 'a'"},
      {with_required({"--g", "x"}), "ambiguous option: --g could match --gt, --gt-key"},
      {with_required({"--g=x"}), "ambiguous option: --g=x could match --gt, --gt-key"},
      {{"--g", "x", "-h"}, "ambiguous option: --g could match --gt, --gt-key"},
      {{"-h", "--g"}, "ambiguous option: --g could match --gt, --gt-key"},
      {{"-img", "a", "--out-dir", "o"}, "the following arguments are required: --img"},
      {{"--IMG", "a", "--out-dir", "o"}, "the following arguments are required: --img"},
      {{"-hx"}, "argument -h/--help: ignored explicit argument 'x'"},
      {{"--help=x"}, "argument -h/--help: ignored explicit argument 'x'"},
      {{"--help="}, "argument -h/--help: ignored explicit argument ''"},
      {with_required({"--data-key", "_x"}),
       "argument --data-key: invalid MATLAB variable name: '_x' (use a letter followed by "
       "letters, digits or underscores, at most 63 characters)"},
      {with_required({"--gt-key=-5"}),
       "argument --gt-key: invalid MATLAB variable name: '-5' (use a letter followed by "
       "letters, digits or underscores, at most 63 characters)"},
      {with_required({"--data-key", ""}),
       "argument --data-key: invalid MATLAB variable name: '' (use a letter followed by "
       "letters, digits or underscores, at most 63 characters)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    Outcome o = parse(row.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, kUsage + "vexil convert_to_mat: error: " + row.message + "\n");
  }
}

TEST(CliParse, DefaultsAndEveryOption) {
  Outcome o = parse({"--img", "cube.h5:/radiance", "--out-dir", "out"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(o.opts.img, "cube.h5:/radiance");
  EXPECT_EQ(o.opts.out_dir, "out");
  EXPECT_FALSE(o.opts.gt.has_value());
  EXPECT_FALSE(o.opts.crop.has_value());
  EXPECT_EQ(o.opts.data_key, "data");
  EXPECT_EQ(o.opts.gt_key, "gt");

  o = parse({"--gt-key", "labels", "--crop", "448", "2560", "512", "512", "--out-dir", "o", "--data-key", "cube",
             "--gt", "", "--img", "x.hdr"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "x.hdr");
  EXPECT_EQ(o.opts.gt, std::optional<std::string>(""));
  EXPECT_EQ(crop_texts(o.opts), (std::vector<std::string>{"448", "2560", "512", "512"}));
  EXPECT_EQ(o.opts.crop->x.value, 2560);
  EXPECT_EQ(o.opts.data_key, "cube");
  EXPECT_EQ(o.opts.gt_key, "labels");
}

TEST(CliParse, LaterOccurrenceWins) {
  Outcome o = parse(with_required({"--img", "b", "--crop", "1", "2", "3", "4", "--crop", "5", "6", "7", "8",
                                   "--data-key", "k1", "--data-key", "k2"}));
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "b");
  EXPECT_EQ(crop_texts(o.opts), (std::vector<std::string>{"5", "6", "7", "8"}));
  EXPECT_EQ(o.opts.data_key, "k2");
}

TEST(CliParse, EqualsFormAttachesExactlyOneValue) {
  Outcome o = parse({"--img=-x", "--out-dir=o=p", "--gt="});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "-x");
  EXPECT_EQ(o.opts.out_dir, "o=p");
  EXPECT_EQ(o.opts.gt, std::optional<std::string>(""));

  o = parse({"--img", "", "--out-dir", "a b"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "");
  EXPECT_EQ(o.opts.out_dir, "a b");
}

TEST(CliParse, UnambiguousPrefixesAndExactNames) {
  Outcome o = parse({"--im", "a", "--out", "o", "--c", "1", "2", "3", "4", "--d", "dk", "--gt-k", "gk"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "a");
  EXPECT_EQ(o.opts.out_dir, "o");
  EXPECT_EQ(o.opts.data_key, "dk");
  EXPECT_EQ(o.opts.gt_key, "gk");
  EXPECT_EQ(crop_texts(o.opts).size(), 4u);

  o = parse({"--i", "a", "--o=o", "--data", "k", "--gt", "g.mat"});  // --gt is exact, not ambiguous
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "a");
  EXPECT_EQ(o.opts.out_dir, "o");
  EXPECT_EQ(o.opts.data_key, "k");
  EXPECT_EQ(o.opts.gt, std::optional<std::string>("g.mat"));
}

TEST(CliParse, NegativeNumbersAreValues) {
  Outcome o = parse(with_required({"--crop", "-1", "0", "5", "5", "--gt", "-1"}));
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(crop_texts(o.opts), (std::vector<std::string>{"-1", "0", "5", "5"}));
  EXPECT_EQ(o.opts.crop->y.value, -1);
  EXPECT_EQ(o.opts.gt, std::optional<std::string>("-1"));

  // '-digits.digits' and '-.digits' are values too (then int() refuses them).
  o = parse(with_required({"--crop", "1", "2", "3", "-.5"}));
  EXPECT_EQ(o.err, kUsage + "vexil convert_to_mat: error: argument --crop: invalid int value: '-.5'\n");
  o = parse(with_required({"--crop", "1", "2", "3", "-4", "--img", "-0.5"}));
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "-0.5");
  EXPECT_EQ(crop_texts(o.opts).back(), "-4");
  // A word with a space is never an option.
  o = parse({"--img", "-x y", "--out-dir", "o"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.img, "-x y");
}

TEST(CliParse, CropValuesFollowPythonInt) {
  Outcome o = parse(with_required({"--crop", " 7 ", "+1", "1_000", "99999999999999999999999"}));
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(crop_texts(o.opts), (std::vector<std::string>{"7", "1", "1000", "99999999999999999999999"}));
  EXPECT_EQ(o.opts.crop->y.value, 7);
  EXPECT_EQ(o.opts.crop->height.value, 1000);
  EXPECT_FALSE(o.opts.crop->width.value.has_value());
}

TEST(PythonInt, AcceptedTexts) {
  struct Row {
    std::string in;
    std::string text;
    std::optional<std::int64_t> value;
  };
  const std::vector<Row> rows = {
      {"0", "0", 0},
      {"-0", "0", 0},
      {"+0_0", "0", 0},
      {"0010", "10", 10},
      {"\t\n 42 \r\v\f", "42", 42},
      {"1_2_3", "123", 123},
      {"-17", "-17", -17},
      {"\xd9\xa3", "3", 3},                       // Arabic-Indic three
      {"\xef\xbc\x91\xef\xbc\x92", "12", 12},     // fullwidth one, two
      {"-\xe0\xa5\xaa\xe0\xa5\xa8", "-42", -42},  // Devanagari four, two
      {"\xc2\xa0"
       "5\xe3\x80\x80",
       "5", 5},  // no-break space, ideographic space
      {"9223372036854775807", "9223372036854775807", INT64_MAX},
      {"-9223372036854775808", "-9223372036854775808", INT64_MIN},
      {"9223372036854775808", "9223372036854775808", std::nullopt},
      {"-9223372036854775809", "-9223372036854775809", std::nullopt},
      {"000000000000000000000000001", "1", 1},
      {std::string(4300, '7'), std::string(4300, '7'), std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in);
    auto v = parse_integer(row.in);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->text, row.text);
    EXPECT_EQ(v->value, row.value);
  }
}

TEST(PythonInt, RefusedTexts) {
  for (const std::string& in : {std::string(""),
                                std::string(" "),
                                std::string("x"),
                                std::string("4.0"),
                                std::string("0x10"),
                                std::string("1e3"),
                                std::string("_1"),
                                std::string("1_"),
                                std::string("1__0"),
                                std::string("+_1"),
                                std::string("+-1"),
                                std::string("- 5"),
                                std::string("1 2"),
                                std::string("\x1c"
                                            "5"),
                                std::string("5\x7f"),
                                std::string("\xff"),
                                std::string("\xd9"),
                                std::string("\xc2\xbd"),     /* one half: numeric but not decimal */
                                std::string("\xe2\x85\xa0"), /* roman numeral one */
                                std::string(4301, '1'),
                                std::string(4301, '0')}) {
    SCOPED_TRACE(in.size() > 40 ? in.substr(0, 40) + "..." : in);
    EXPECT_FALSE(parse_integer(in).has_value());
  }
}

TEST(MatlabName, LettersDigitsUnderscoresUpTo63) {
  const auto is_matlab_name = [](const std::string& s) { return vexil::matlab_name_problem(s).empty(); };
  EXPECT_TRUE(is_matlab_name("data"));
  EXPECT_TRUE(is_matlab_name("X"));
  EXPECT_TRUE(is_matlab_name("gt_2"));
  EXPECT_TRUE(is_matlab_name("a" + std::string(62, '_')));
  EXPECT_FALSE(is_matlab_name("a" + std::string(63, '_')));
  EXPECT_FALSE(is_matlab_name(""));
  EXPECT_FALSE(is_matlab_name("_x"));
  EXPECT_FALSE(is_matlab_name("2x"));
  EXPECT_FALSE(is_matlab_name("a-b"));
  EXPECT_FALSE(is_matlab_name("a b"));
  EXPECT_FALSE(is_matlab_name("\xc3\xa9t\xc3\xa9"));
}

// Runs Python's own argparse, configured like this command, over `cases` and
// compares status, both streams and the parsed values with parse_args.
// Returns how many cases were compared (those our MATLAB-name rule refuses
// are skipped: Python accepts any key).
static std::size_t compare_with_argparse(const std::string& py, const std::vector<Args>& cases) {
  vexil::test::TempDir dir;
  nlohmann::json all = nlohmann::json::array();
  for (const auto& c : cases) all.push_back(c);
  vexil::test::write_file(dir / "cases.json", all.dump());
  vexil::test::write_file(dir / "oracle.py", R"PY(
import argparse, contextlib, io, json, sys
p = argparse.ArgumentParser(prog="vexil convert_to_mat",
                            description="Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format",
                            formatter_class=argparse.RawDescriptionHelpFormatter,
                            epilog="""Inputs: ENVI (the .hdr, or its data file: .dat, .img, .raw, .bsq, .bil, .bip,
.hyspex, or no extension), TIFF/GeoTIFF (.tif, .tiff, .geotiff), HDF5 and
netCDF-4 (.h5, .hdf5, .he5, .nc), netCDF-3 and HDF4 (.nc, .hdf), MAT-files
(.mat). A file named otherwise is recognised by its content. Ground truth:
the same, and .png, .jpg, .jpeg, .bmp.

A dataset inside a container is named after the file, for --img and --gt:
file.h5:/group/ds or file.h5::ds (HDF5, netCDF, HDF4), file.mat:name (a
MAT-file variable). Without a name the only array is taken, else a known
product's cube (ground truth: a variable named gt or groundtruth), else the
largest; same-sized rasters left behind are named on the console.

metadata.json keeps every field of the input; what the file declares about its
bands is also under "wavelength", "fwhm", "bad_bands", "wavelength_units",
"fill_value" and "scale"; a container's cube records "stored_layout" and
"layout_source" (how its axis order was decided).""")
p.add_argument("--img", required=True, help="Path to the image file (ENVI .hdr, .tif, .h5, etc.)")
p.add_argument("--gt", default=None, help="Path to ground-truth labels (optional: .mat, .png, .tif, .hdr)")
p.add_argument("--out-dir", required=True, help="Output directory for .mat and metadata files")
p.add_argument("--crop", nargs=4, type=int, default=None, metavar=("Y", "X", "H", "W"),
               help="Spatial crop: Y X Height Width (e.g. --crop 448 2560 512 512)")
p.add_argument("--data-key", default="data", help="Key name for image data in the output .mat (default: data)")
p.add_argument("--gt-key", default="gt", help="Key name for ground truth in the output .mat (default: gt)")
p.add_argument("--layout", default="auto", choices=["auto", "hwb", "bhw", "hbw"],
               help=("Stored axis order of an HDF5, netCDF or MAT 7.3 cube: hwb (rows, columns, bands), "
                     "bhw (bands first) or hbw (bands between rows and columns); auto decides from "
                     "dimension names, MATLAB's column-major order and known products, and only then "
                     "from the sizes (default: auto)"))
def thread_count(text):
    try:
        v = int(text)
    except ValueError:
        v = 0
    if not 1 <= v <= 1024:
        raise argparse.ArgumentTypeError("expected a whole number of threads from 1 to 1024, got %r" % text)
    return v
p.add_argument("--threads", type=thread_count, metavar="N",
               help="Worker threads (default: VEXIL_THREADS if set, else the CPUs this process may use)")
results = []
for argv in json.load(open(sys.argv[1], encoding="utf-8")):
    out, err = io.StringIO(), io.StringIO()
    status, values = -1, None
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            a = p.parse_args(argv)
            values = [a.img, a.gt, a.out_dir, None if a.crop is None else [str(v) for v in a.crop],
                      a.data_key, a.gt_key, a.layout, a.threads]
        except SystemExit as e:
            status = e.code
    results.append({"status": status, "out": out.getvalue(), "err": err.getvalue(), "values": values})
print(json.dumps(results))
)PY");
  auto r = vexil::test::run_program({py, dir / "oracle.py", dir / "cases.json"}, "",
                                    {"COLUMNS=80", "PYTHONIOENCODING=utf-8"});
  EXPECT_EQ(r.status, 0) << r.err;
  if (r.status != 0) return 0;
  const auto expected = nlohmann::json::parse(r.out);
  EXPECT_EQ(expected.size(), cases.size());
  if (expected.size() != cases.size()) return 0;
  std::size_t compared = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::PrintToString(cases[i]));
    Outcome o = parse(cases[i]);
    const auto& e = expected[i];
    // The MATLAB-name rule is ours alone; Python accepts such keys.
    if (o.err.find("invalid MATLAB variable name") != std::string::npos) continue;
    ++compared;
    EXPECT_EQ(o.status, e["status"].get<int>());
    EXPECT_EQ(o.out, e["out"].get<std::string>());
    EXPECT_EQ(o.err, e["err"].get<std::string>());
    if (o.status == -1) {
      nlohmann::json crop = nullptr;
      if (o.opts.crop) crop = crop_texts(o.opts);
      nlohmann::json gt = nullptr;
      if (o.opts.gt) gt = *o.opts.gt;
      nlohmann::json threads = nullptr;
      if (o.opts.threads) threads = *o.opts.threads;
      const nlohmann::json mine = {o.opts.img,
                                   gt,
                                   o.opts.out_dir,
                                   crop,
                                   o.opts.data_key,
                                   o.opts.gt_key,
                                   std::string(vexil::layout_name(o.opts.layout)),
                                   threads};
      EXPECT_EQ(mine, e["values"]);
    }
  }
  return compared;
}

// The parser against Python's own argparse over a broad set of command lines
// (only where that interpreter is installed).
TEST(CliParse, AgreesWithPythonArgparse) {
  const std::string py = vexil::test::system_python_with("argparse");
  if (py.empty()) GTEST_SKIP() << "no Python interpreter";
  const std::vector<Args> cases = {
      {},
      {"-h"},
      {"--he"},
      {"-hh"},
      {"-hx"},
      {"-h=x"},
      {"-h="},
      {"--help="},
      {"--=x"},
      {"-"},
      {"--"},
      {"-=x"},
      {"--img", "a", "--out-dir", "o"},
      with_required({"--crop", "1", "2", "3", "4"}),
      with_required({"--crop", "-1", "-2", "-3", "-4"}),
      with_required({"--crop", "-1", "2", "3", "4", "-h"}),
      with_required({"--crop", "1", "2", "3", "-4\n"}),
      with_required({"--crop", "1", "2", "3", "-\xd9\xa3"}),
      with_required({"--crop", "1", "2", "3", "\xd9\xa3"}),
      with_required({"--crop", "1", "2", "3", "-5."}),
      with_required({"--crop", "1", "2", "3", "--4"}),
      with_required({"--crop", "1 ", " 2", "3\n", "\t4"}),
      with_required({"--crop=1", "2", "3", "4"}),
      with_required({"--crop", "1", "2", "--", "3", "4"}),
      with_required({"--", "x"}),
      with_required({"--img=a b"}),
      with_required({"--i=a b"}),
      with_required({"--foo bar"}),
      with_required({"--gt", "-5", "--gt-key", "k"}),
      with_required({"--gt-key"}),
      with_required({"--gt-k=q", "--data-k=r"}),
      with_required({"--data-key", "a1_"}),
      with_required({"--data-key", "\xc3\xa9"}),
      {"--img", "a", "--img", "--out-dir", "o"},
      {"--out-dir", "o", "-img", "x", "--img", "y", "-h"},
      {"--out-dir", "o", "--bogus", "--img"},
      {"--crop", "x", "1", "2", "3", "--crop", "1", "2", "3", "4"},
      {"--crop", "1", "2", "3", "4", "--crop", "x", "1", "2", "3"},
      {"--data-key", "_bad", "--img", "--out-dir"},
      {"a", "b", "c"},
      {"--img", "a", "--out-dir", "o", "--crop", "1", "2", "3", "4", "5", "-h"},
      with_required({"--threads", "3"}),
      with_required({"--threads", "0"}),
      with_required({"--threads", "-2"}),
      with_required({"--threads", "abc"}),
      with_required({"--threads", " 1_6 "}),
      with_required({"--threads", "1024"}),
      with_required({"--threads", "1025"}),
      with_required({"--threads", "99999999999999999999999"}),
      with_required({"--threads"}),
      with_required({"--t=2"}),
      with_required({"--threads", "2", "--threads", "x"}),
      with_required({"--threads", "\xd9\xa3"}),
      with_required({"--threads", "2.0"}),
      with_required({"--layout", "bhw"}),
      with_required({"--layout=hbw", "--layout", "hwb"}),
      with_required({"--lay", "auto"}),
      with_required({"--layout", "BHW"}),
      with_required({"--layout", "x", "-h"}),
      with_required({"--layout"}),
      with_required({"--l=bhw", "--crop", "1", "2", "3", "4"}),
  };
  EXPECT_EQ(compare_with_argparse(py, cases), cases.size() - 2);
}

// Random command lines built from option names, prefixes, values that look
// like options or numbers, and separators.
TEST(CliParse, AgreesWithPythonArgparseOnRandomCommandLines) {
  const std::string py = vexil::test::system_python_with("argparse");
  if (py.empty()) GTEST_SKIP() << "no Python interpreter";
  const std::vector<std::string> words = {
      "--img",     "--gt", "--out-dir",   "--crop", "--data-key", "--gt-key", "-h",      "--he",      "--g",  "--gt-",
      "--o",       "--c",  "--d",         "--i=a",  "--crop=1",   "--gt=",    "a",       "o.h5",      "1",    "-1",
      "007",       "-1.5", "-.5",         "x",      "--",         "-x",       "--bogus", "--bogus=1", "k2",   "_k",
      "\xd9\xa3",  " 7 ",  "1_0",         "-5\n",   "",           "-",        "-hx",     "a b",       "-x y", "+3",
      "--threads", "--t",  "--threads=0", "0",      "--layout",   "--l=bhw",  "bhw",     "hwb"};
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return (state >> 16) & 0x7fff;
  };
  std::vector<Args> cases;
  for (int i = 0; i < 400; ++i) {
    Args a;
    // Most cases carry the two required options so later checks get reached.
    if (next() % 4 != 0) a = {"--img", "i.hdr", "--out-dir", "out"};
    const int n = static_cast<int>(next() % 7);
    for (int k = 0; k < n; ++k) {
      const auto pos = a.begin() + static_cast<std::ptrdiff_t>(next() % (a.size() + 1));
      a.insert(pos, words[next() % words.size()]);
    }
    cases.push_back(a);
  }
  EXPECT_GT(compare_with_argparse(py, cases), 300u);
}

TEST(CliThreads, APositiveCountFromTheOptionOrTheVariable) {
  Outcome o = parse(with_required({"--threads", "3"}));
  EXPECT_EQ(o.status, -1) << o.err;
  EXPECT_EQ(o.opts.threads, 3);
  EXPECT_EQ(parse(with_required({})).opts.threads, std::nullopt);

  for (const std::string bad : {"0", "-2", "abc", "1025", "2.5", ""}) {
    SCOPED_TRACE(bad);
    o = parse(with_required({"--threads", bad}));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, kUsage +
                         "vexil convert_to_mat: error: argument --threads: expected a whole number of threads "
                         "from 1 to 1024, got " +
                         vexil::text::str_repr(bad) + "\n");
  }

  // The variable applies only where the option is absent; empty is unset.
  Options opts;
  vexil::app::apply_environment(opts, "4");
  EXPECT_EQ(opts.threads, 4);
  opts.threads = 2;
  vexil::app::apply_environment(opts, "x");
  EXPECT_EQ(opts.threads, 2);
  opts.threads.reset();
  vexil::app::apply_environment(opts, "");
  vexil::app::apply_environment(opts, nullptr);
  EXPECT_EQ(opts.threads, std::nullopt);

  for (const char* bad : {"x", "0", "-1"}) {
    SCOPED_TRACE(bad);
    Options fresh;
    testing::internal::CaptureStderr();
    int status = -1;
    try {
      vexil::app::apply_environment(fresh, bad);
    } catch (const vexil::app::ParserExit& e) {
      status = e.status();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 2);
    EXPECT_EQ(err, kUsage +
                       "vexil convert_to_mat: error: environment variable VEXIL_THREADS: expected a whole "
                       "number of threads from 1 to 1024, got '" +
                       bad + "'\n");
  }
}
