#include "text/text_format.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "support/test_util.hpp"

using namespace vexil::text;

namespace {

float f32_from_bits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string hex(std::string_view bytes) {
  std::string out;
  for (unsigned char ch : bytes) out += fmt::format("{:02x}", ch);
  return out;
}

std::string utf8(std::uint32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  if (cp < 0x800) return {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
  if (cp < 0x10000)
    return {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
            static_cast<char>(0x80 | (cp & 0x3F))};
  return {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
          static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
}

// Feeds each input (hex-encoded, one per line, available to the script as `t`,
// the decoded text) to Python and compares its printed line with ours.
// Returns the number of mismatches, reporting the first few.
std::size_t compare_with_python(const std::string& py, const std::string& body, const std::vector<std::string>& inputs,
                                const std::vector<std::string>& ours) {
  vexil::test::TempDir dir;
  std::string lines;
  for (const auto& in : inputs) lines += hex(in) + "\n";
  vexil::test::write_file(dir / "in.txt", lines);
  const std::string script =
      "import sys, numpy as np\n"
      "for line in open(sys.argv[1]):\n"
      "    t = bytes.fromhex(line.strip()).decode()\n" +
      body;
  auto r = vexil::test::run_program({py, "-c", script, dir / "in.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream out(r.out);
  std::string line;
  std::size_t i = 0, mismatches = 0;
  while (std::getline(out, line) && i < ours.size()) {
    if (line != ours[i] && ++mismatches < 5) {
      ADD_FAILURE() << "input " << str_repr(inputs[i]) << "\npython: " << line << "\nours:   " << ours[i];
    }
    ++i;
  }
  EXPECT_EQ(i, ours.size());
  return mismatches;
}

}  // namespace

TEST(FloatRepr, PythonVectors) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(float_repr(0.0), "0.0");
  EXPECT_EQ(float_repr(-0.0), "-0.0");
  EXPECT_EQ(float_repr(100.0), "100.0");
  EXPECT_EQ(float_repr(402.5), "402.5");
  EXPECT_EQ(float_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(float_repr(1e-05), "1e-05");
  EXPECT_EQ(float_repr(0.0001), "0.0001");
  EXPECT_EQ(float_repr(1e15), "1000000000000000.0");
  EXPECT_EQ(float_repr(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(float_repr(1e16), "1e+16");
  EXPECT_EQ(float_repr(1e22), "1e+22");
  EXPECT_EQ(float_repr(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(float_repr(5e-324), "5e-324");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
  EXPECT_EQ(float_repr(std::nan("")), "nan");
  EXPECT_EQ(float_repr(-std::nan("")), "nan");
  EXPECT_EQ(float_repr(inf), "inf");
  EXPECT_EQ(float_repr(-inf), "-inf");
}

TEST(Float32Str, NumpyVectors) {
  EXPECT_EQ(float32_str(0.1f), "0.1");
  EXPECT_EQ(float32_str(123456789.0f), "123456790.0");
  EXPECT_EQ(float32_str(1e-5f), "1e-05");
  EXPECT_EQ(float32_str(0.0001f), "1e-04");  // float32(0.0001) is just below 1e-4
  EXPECT_EQ(float32_str(-0.0001f), "-1e-04");
  EXPECT_EQ(float32_str(0.00011f), "0.00011");
  EXPECT_EQ(float32_str(1e16f), "1e+16");
  EXPECT_EQ(float32_str(3.0f), "3.0");
  EXPECT_EQ(float32_str(-0.0f), "-0.0");
  EXPECT_EQ(float32_str(std::nanf("")), "nan");
  EXPECT_EQ(float32_str(-std::numeric_limits<float>::infinity()), "-inf");
  // The next float32 above 1e-4 reads 0.0001 positionally too, but is not below 1e-4.
  EXPECT_EQ(float32_str(std::nextafter(0.0001f, 1.0f)), "0.000100000005");
}

TEST(FormatG4, PythonVectors) {
  EXPECT_EQ(format_g4(0.0), "0");
  EXPECT_EQ(format_g4(-0.0), "-0");
  EXPECT_EQ(format_g4(9999), "9999");
  EXPECT_EQ(format_g4(10000), "1e+04");
  EXPECT_EQ(format_g4(65535), "6.554e+04");
  EXPECT_EQ(format_g4(99994), "9.999e+04");
  EXPECT_EQ(format_g4(99995), "1e+05");
  EXPECT_EQ(format_g4(-123456789.0), "-1.235e+08");
  EXPECT_EQ(format_g4(0.00012345), "0.0001234");
  EXPECT_EQ(format_g4(1.2345e-05), "1.234e-05");
  EXPECT_EQ(format_g4(1234.5), "1234");
  EXPECT_EQ(format_g4(0.5), "0.5");
  EXPECT_EQ(format_g4(static_cast<double>(UINT64_MAX)), "1.845e+19");
  EXPECT_EQ(format_g4(static_cast<double>(0.1f)), "0.1");
  EXPECT_EQ(format_g4(-std::nan("")), "nan");
  EXPECT_EQ(format_g4(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FormatFixed, RoundsTheBinaryValue) {
  EXPECT_EQ(format_fixed(0.05, 1), "0.1");
  EXPECT_EQ(format_fixed(0.15, 1), "0.1");
  EXPECT_EQ(format_fixed(0.25, 1), "0.2");
  EXPECT_EQ(format_fixed(0.35, 1), "0.3");
  EXPECT_EQ(format_fixed(2.675, 2), "2.67");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");
  EXPECT_EQ(format_fixed(0.375, 1), "0.4");
  EXPECT_EQ(format_fixed(99.95, 1), "100.0");
  EXPECT_EQ(format_fixed(-0.04, 1), "-0.0");
  EXPECT_EQ(format_fixed(52428.0 / 1048576, 1), "0.0");
  EXPECT_EQ(format_fixed(52429.0 / 1048576, 1), "0.1");
  EXPECT_EQ(format_fixed(0.0, 2), "0.00");
  EXPECT_EQ(format_fixed(-std::nan(""), 1), "nan");
  EXPECT_EQ(format_fixed(std::numeric_limits<double>::max(), 2).size(), 312u);
}

TEST(FormatGrouped, WidthAndSeparators) {
  EXPECT_EQ(format_grouped(std::int64_t{0}, 8), "       0");
  EXPECT_EQ(format_grouped(std::int64_t{999}, 8), "     999");
  EXPECT_EQ(format_grouped(std::int64_t{1000}, 8), "   1,000");
  EXPECT_EQ(format_grouped(std::int64_t{10776}, 8), "  10,776");
  EXPECT_EQ(format_grouped(std::int64_t{123456789}, 8), "123,456,789");
  EXPECT_EQ(format_grouped(std::int64_t{-1234}, 8), "  -1,234");
  EXPECT_EQ(format_grouped(std::numeric_limits<std::int64_t>::min(), 8), "-9,223,372,036,854,775,808");
  EXPECT_EQ(format_grouped(std::uint64_t{12345678901234567890u}, 8), "12,345,678,901,234,567,890");
}

// repr(complex) vectors printed by Python 3.11; float32 parts as NumPy's str.
TEST(ComplexRepr, PythonVectors) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::vector<std::tuple<double, double, std::string>> cases = {
      {1, 2, "(1+2j)"},      {1.5, -0.0, "(1.5-0j)"},   {0, 2, "2j"},
      {0, -2, "-2j"},        {-0.0, 2, "(-0+2j)"},      {nan, 1, "(nan+1j)"},
      {1, nan, "(1+nanj)"},  {inf, -inf, "(inf-infj)"}, {1e-5, 1e16, "(1e-05+1e+16j)"},
      {0.1, 0.0, "(0.1+0j)"}};
  for (const auto& [re, im, want] : cases) EXPECT_EQ(complex_repr(re, im), want) << want;
  EXPECT_EQ(complex_repr(0.1f, 0.2f, [](double x) { return float32_str(static_cast<float>(x)); }), "(0.1+0.2j)");
}

TEST(PadRight, CountsCodePoints) {
  EXPECT_EQ(pad_right("background", 16), "background      ");
  EXPECT_EQ(pad_right("µm", 4), "µm  ");
  EXPECT_EQ(pad_right("a very long label text", 16), "a very long label text");
}

TEST(StrRepr, QuotesAndEscapes) {
  EXPECT_EQ(str_repr("cube"), "'cube'");
  EXPECT_EQ(str_repr("it's"), "\"it's\"");
  EXPECT_EQ(str_repr("it's \"x\""), "'it\\'s \"x\"'");
  EXPECT_EQ(str_repr("a\nb\tc\\d\re"), "'a\\nb\\tc\\\\d\\re'");
  EXPECT_EQ(str_repr(std::string("\0\x1f\x7f", 3)), "'\\x00\\x1f\\x7f'");
  EXPECT_EQ(str_repr("µm €"), "'µm €'");
  EXPECT_EQ(str_repr("\u00a0\u00ad\u2028\U000e0001\U0001F600"), "'\\xa0\\xad\\u2028\\U000e0001\U0001F600'");
  EXPECT_EQ(str_repr("\xff"), "'\\udcff'");
  EXPECT_EQ(str_list_repr({"cube", "scan/gt"}), "['cube', 'scan/gt']");
  EXPECT_EQ(str_list_repr({}), "[]");
}

TEST(ParseFloat, AcceptsPythonSpellings) {
  const struct {
    const char* text;
    double value;
  } ok[] = {{" 402.5 ", 402.5},
            {"4e2", 400.0},
            {"1_000.5", 1000.5},
            {".5", 0.5},
            {"5.", 5.0},
            {"+8", 8.0},
            {"1E-3", 1e-3},
            {"1e1_0", 1e10},
            {"1e400", HUGE_VAL},
            {"-1e400", -HUGE_VAL},
            {"1e-400", 0.0},
            {"iNF", HUGE_VAL},
            {"-Infinity", -HUGE_VAL},
            {"\t7\n", 7.0},
            {"\u0661\u0662.\u0665", 12.5},
            {"\u00a03\u3000", 3.0},
            {"\uff11", 1.0}};
  for (const auto& c : ok) {
    double v = -1;
    ASSERT_TRUE(parse_float(c.text, v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  double v = 1;
  ASSERT_TRUE(parse_float("-0", v));
  EXPECT_TRUE(v == 0.0 && std::signbit(v));
  ASSERT_TRUE(parse_float("-nan", v));
  EXPECT_TRUE(std::isnan(v));
}

TEST(ParseFloat, RejectsWhatPythonRejects) {
  for (const char* text : {"",
                           "   ",
                           "0x10",
                           "1,5",
                           "1.5nm",
                           "1e",
                           "1__0",
                           "_1",
                           "1_",
                           "1_.5",
                           "1._5",
                           "nan(1)",
                           "infinit",
                           "+-1",
                           ".",
                           "e5",
                           "1 2",
                           "\x1c"
                           "1",
                           "1\x7f",
                           "\xff",
                           "1\u00a02",
                           "\u00b2"}) {
    double v = 0;
    EXPECT_FALSE(parse_float(text, v)) << text;
  }
}

// Cross-checks against the reference interpreter, where it is installed.
TEST(PythonCrossCheck, NumberTexts) {
  const std::string py = vexil::test::system_python_with("numpy");
  if (py.empty()) GTEST_SKIP() << "no Python with NumPy";
  std::mt19937_64 rng(12345);
  std::vector<std::string> inputs, ours;
  while (inputs.size() < 3000) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (inputs.size() % 3 == 1) d = std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 80));
    float f = f32_from_bits(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(d) || !std::isfinite(f)) continue;
    inputs.push_back(float_repr(d) + " " + float_repr(static_cast<double>(f)));
    ours.push_back(float_repr(d) + "|" + format_g4(d) + "|" + format_fixed(d, 1) + "|" + format_fixed(d, 2) + "|" +
                   float32_str(f));
  }
  EXPECT_EQ(compare_with_python(py,
                                "    a, b = t.split(); d = float(a)\n"
                                "    print(f'{d!r}|{d:.4g}|{d:.1f}|{d:.2f}|' + str(np.float32(float(b))))\n",
                                inputs, ours),
            0u);
}

// float() on texts assembled from the pieces that matter to its grammar.
TEST(PythonCrossCheck, ParseFloat) {
  const std::string py = vexil::test::system_python_with("numpy");
  if (py.empty()) GTEST_SKIP() << "no Python with NumPy";
  const char* pieces[] = {"1",      "0",    "9",        "_",   ".",   "e", "E",      "+",
                          "-",      " ",    "\t",       "inf", "nan", "x", "\u0663", "\u00a0",
                          "\u2003", "\x1c", "infinity", "I",   "N",   ",", "5e-400", "1e309"};
  std::mt19937 rng(7);
  std::vector<std::string> inputs, ours;
  std::size_t accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    for (int k = 0, n = 1 + static_cast<int>(rng() % 6); k < n; ++k) t += pieces[rng() % std::size(pieces)];
    double v = 0;
    bool ok = parse_float(t, v);
    accepted += ok;
    inputs.push_back(t);
    ours.push_back(ok ? float_repr(v) : "ERR");
  }
  EXPECT_GT(accepted, 1000u);  // the generator must reach the accepting paths too
  EXPECT_EQ(compare_with_python(py,
                                "    try: print(repr(float(t)))\n"
                                "    except ValueError: print('ERR')\n",
                                inputs, ours),
            0u);
}

// repr() of random texts: quoting, escapes and the printable table.
TEST(PythonCrossCheck, StrRepr) {
  const std::string py = vexil::test::system_python_with("numpy");
  if (py.empty()) GTEST_SKIP() << "no Python with NumPy";
  std::mt19937 rng(11);
  const std::uint32_t tops[] = {0x80, 0x800, 0x3400, 0x10000, 0x110000};
  std::vector<std::string> inputs, ours;
  for (int i = 0; i < 5000; ++i) {
    std::string t;
    for (int k = 0, n = static_cast<int>(rng() % 8); k < n; ++k) {
      std::uint32_t cp = rng() % tops[rng() % std::size(tops)];
      if ((cp >= 0xD800 && cp <= 0xDFFF) || rng() % 4 == 0) cp = static_cast<unsigned char>("'\"\\ a"[rng() % 5]);
      t += utf8(cp);
    }
    inputs.push_back(t);
    ours.push_back(hex(str_repr(t)));
  }
  EXPECT_EQ(compare_with_python(py, "    print(repr(t).encode().hex())\n", inputs, ours), 0u);
}
