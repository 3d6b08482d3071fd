// Files written by the tools users have (Spectral Python, GDAL, SciPy,
// Octave, h5py, Pillow; tests/fixtures/make_fixtures.py) converted by the
// program, the outputs read back with SciPy and compared with the arrays the
// writers were given, and the metadata facts each file declares looked up in
// metadata.json. Error cases must end with status 1 and a message naming
// what the fixture says it should.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_util.hpp"

namespace {

using vexil::test::TempDir;

// Reads each run back: data.mat / gt.mat against the expected .npy arrays
// (element type, shape, every value; NaN equal to NaN), the sidecar against
// the expected facts, the message of an expected error against what it
// should mention. Prints one "ok"/"FAIL" line per case.
const char* kCheck = R"PY(
import json, math, sys
import numpy as np, scipy.io

fx, runs = sys.argv[1], sys.argv[2]
manifest = {c['name']: c for c in json.load(open(fx + '/manifest.json'))['cases']}

def close(a, b):
    if isinstance(a, str) and isinstance(b, str):
        return a == b
    if isinstance(a, str):
        try:
            a = float(a)
        except ValueError:
            return False
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return (math.isnan(a) and math.isnan(b)) or abs(a - b) <= 1e-9 * max(1.0, abs(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(close(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(close(a[k], b[k]) for k in b)
    return a == b

def same_array(path, key, npy):
    got = scipy.io.loadmat(path)[key]
    want = np.load(npy)
    if want.dtype == np.bool_:
        want = want.astype(np.uint8)
    if got.dtype != want.dtype or got.shape != want.shape:
        return '%s: %s %s, expected %s %s' % (path, got.dtype, got.shape, want.dtype, want.shape)
    if not np.array_equal(got, want, equal_nan=want.dtype.kind in 'fc'):
        return '%s: values differ' % path
    return None

ok = 0
for line in open(runs):
    name, status, out, errfile = line.rstrip('\n').split('\t')
    case = manifest[name]
    exp = case['expected']
    err = open(errfile).read()
    problems = []
    if exp['outcome'] == 'error':
        if status != '1':
            problems.append('status %s, expected an error' % status)
        for m in exp['error']['mentions']:
            if m not in err:
                problems.append('message does not mention %r: %s' % (m, err.strip()))
    elif status != '0':
        problems.append('status %s: %s' % (status, err.strip()))
    else:
        p = same_array(out + '/data.mat', 'data', fx + '/' + exp['data']['npy'])
        if p: problems.append(p)
        if exp.get('gt'):
            p = same_array(out + '/gt.mat', 'gt', fx + '/' + exp['gt']['npy'])
            if p: problems.append(p)
        meta = json.load(open(out + '/metadata.json'))
        image = meta['image']
        facts = exp.get('metadata') or {}
        for key in ('wavelength', 'fwhm', 'wavelength_units', 'bad_bands', 'bbl', 'fill_value', 'scale'):
            if key in facts and not close(image.get(key), facts[key]):
                problems.append('image %s = %r, expected %r' % (key, image.get(key), facts[key]))
        if 'bbl' in facts and not all(type(v) is int for v in image.get('bbl', [])):
            problems.append('bbl entries are not integers: %r' % image.get('bbl'))
        if 'dataset' in facts and image.get('mat_key', facts['dataset']) != facts['dataset']:
            problems.append('mat_key %r, expected %r' % (image.get('mat_key'), facts['dataset']))
        gt_facts = exp.get('gt_metadata') or {}
        gt_meta = meta.get('ground_truth', {})
        for key in ('mat_key', 'other_variables'):
            if key in gt_facts and not close(gt_meta.get(key), gt_facts[key]):
                problems.append('ground_truth %s = %r, expected %r' % (key, gt_meta.get(key), gt_facts[key]))
    if problems:
        print('FAIL', name, '; '.join(problems))
    else:
        ok += 1
        print('ok', name)
print('checked', ok)
)PY";

struct Fixtures {
  TempDir dir;
  std::string python;
  nlohmann::json manifest;
};

// Writes the named cases; python stays empty when the writers are missing.
void make_fixtures(Fixtures& fx, const std::vector<std::string>& cases) {
  fx.python = vexil::test::system_python_with("numpy, scipy.io, h5py, spectral, PIL, osgeo.gdal");
  if (fx.python.empty()) return;
  std::string only;
  for (const auto& c : cases) only += (only.empty() ? "" : ",") + c;
  const auto r =
      vexil::test::run_program({fx.python, std::string(VEXIL_SOURCE_DIR) + "/tests/fixtures/make_fixtures.py", "--out",
                                fx.dir.path(), "--only", only});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::ifstream in(fx.dir / "manifest.json");
  fx.manifest = nlohmann::json::parse(in);
}

// Converts every case written and checks the results; returns the checker's report.
std::string convert_and_check(Fixtures& fx, std::size_t& cases_run) {
  TempDir work;
  std::ofstream runs(work / "runs");
  cases_run = 0;
  for (const auto& c : fx.manifest["cases"]) {
    const std::string name = c["name"];
    const std::string out = work / (name + "-out");
    std::vector<std::string> args{"convert_to_mat", "--img", fx.dir / c["img"].get<std::string>(), "--out-dir", out};
    if (c.contains("gt") && c["gt"].is_string()) {
      args.push_back("--gt");
      args.push_back(fx.dir / c["gt"].get<std::string>());
    }
    const auto r = vexil::test::run_vexil(args);
    vexil::test::write_file(work / (name + ".err"), r.err);
    runs << name << '\t' << r.status << '\t' << out << '\t' << (work / (name + ".err")) << '\n';
    ++cases_run;
  }
  runs.close();
  const auto r = vexil::test::run_program({fx.python, "-c", kCheck, fx.dir.path(), work / "runs"});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

void expect_all_pass(const std::vector<std::string>& cases) {
  Fixtures fx;
  make_fixtures(fx, cases);
  if (fx.python.empty())
    GTEST_SKIP() << "/usr/bin/python3 lacks the fixture writers (numpy, scipy, h5py, spectral, PIL, GDAL)";
  std::vector<std::string> skipped;
  for (const auto& s : fx.manifest.value("skipped", nlohmann::json::array())) skipped.push_back(s.dump());
  std::size_t run = 0;
  const std::string report = convert_and_check(fx, run);
  EXPECT_EQ(report.find("FAIL"), std::string::npos) << report;
  EXPECT_NE(report.find("checked " + std::to_string(run) + "\n"), std::string::npos) << report;
  EXPECT_EQ(run + skipped.size(), cases.size()) << "skipped: " << (skipped.empty() ? "" : skipped.front());
}

}  // namespace

TEST(FixtureInputs, EnviPairsNamedByEitherFile) {
  expect_all_pass({"envi_spy_bsq_uint16_img", "envi_spy_bsq_uint16_img_by_data", "envi_spy_dat_bil_int16_by_data",
                   "envi_spy_noext_bip_float32", "envi_spy_noext_bsq_float64_by_data", "envi_spy_bip_int16_big_endian",
                   "envi_spy_bil_float32_big_endian_by_data", "envi_spy_bip_uint16_big_endian",
                   "envi_spy_band_metadata", "envi_gdal_suffix_add", "envi_gdal_suffix_add_by_header",
                   "envi_upper_hdr_by_data", "envi_upper_hdr_by_header"});
}

TEST(FixtureInputs, EnviProductLayouts) {
  expect_all_pass({"aviris_ng_rfl_img", "aviris_classic_bip_be", "hyspex_header_offset", "hyspex_stopped_capture",
                   "hyspex_stopped_capture_by_header", "specim_capture_raw", "headwall_raw0",
                   "desis_hdr_describes_tif"});
}

TEST(FixtureInputs, MatFilesAsImagesAndLabels) {
  expect_all_pass({"mat5_indian_pines", "mat5_paviaU", "mat5_octave_cube", "mat73_cube", "mat73_gt",
                   "gt_mat_names_cmap_scipy", "gt_mat_names_cmap_octave"});
}

TEST(FixtureInputs, CorruptHeadersAndLyingBmpsAreRefusedNamingTheFile) {
  expect_all_pass({"hostile_envi_samples0", "hostile_envi_lines0", "hostile_envi_bands0_5wl", "gt_bmp_palette_2pow24",
                   "gt_bmp_palette_300", "gt_bmp_palette_past_eof"});
}
