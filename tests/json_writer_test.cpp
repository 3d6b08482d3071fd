#include "text/json_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "support/test_util.hpp"

using vexil::Metadata;
using vexil::text::to_json_text;

TEST(JsonWriter, LayoutMatchesPythonIndent2) {
  Metadata m;
  m["a"] = Metadata::array();
  m["b"] = Metadata::object();
  m["c"] = Metadata::array({Metadata::array()});
  m["e"] = Metadata::array({1, Metadata::array({2, Metadata::array()})});
  m["f"] = std::nan("");
  m["g"] = "\xc2\xb5\xf0\x9f\x98\x80";  // µ😀
  EXPECT_EQ(to_json_text(m),
            "{\n  \"a\": [],\n  \"b\": {},\n  \"c\": [\n    []\n  ],\n  \"e\": [\n    1,\n    [\n      2,\n"
            "      []\n    ]\n  ],\n  \"f\": NaN,\n  \"g\": \"\\u00b5\\ud83d\\ude00\"\n}");
}

TEST(JsonWriter, ScalarsAndInsertionOrder) {
  Metadata m;
  m["z"] = nullptr;
  m["y"] = true;
  m["x"] = false;
  m["w"] = -0.0;
  m["v"] = 1e16;
  m["u"] = 1e15;
  m["t"] = std::numeric_limits<double>::infinity();
  m["s"] = -std::numeric_limits<double>::infinity();
  m["r"] = std::numeric_limits<std::uint64_t>::max();
  m["q"] = std::numeric_limits<std::int64_t>::min();
  m["p"] = 0.1f;  // stored as double: Python writes the widened value
  m["z"] = 3;     // re-assigning keeps the first place
  EXPECT_EQ(to_json_text(m),
            "{\n  \"z\": 3,\n  \"y\": true,\n  \"x\": false,\n  \"w\": -0.0,\n  \"v\": 1e+16,\n"
            "  \"u\": 1000000000000000.0,\n  \"t\": Infinity,\n  \"s\": -Infinity,\n"
            "  \"r\": 18446744073709551615,\n  \"q\": -9223372036854775808,\n"
            "  \"p\": 0.10000000149011612\n}");
  EXPECT_EQ(to_json_text(Metadata()), "null");
  EXPECT_EQ(to_json_text(Metadata::object()), "{}");
  EXPECT_EQ(to_json_text(Metadata::array({Metadata::object()})), "[\n  {}\n]");
}

TEST(JsonWriter, StringEscapes) {
  Metadata m = Metadata::array();
  m.push_back(std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f", 11));
  m.push_back("\xe2\x82\xac");  // €
  m.push_back(
      "a\xff"
      "b\xe2\x82");             // invalid and truncated UTF-8
  m.push_back("\xed\xa0\x80");  // encoded surrogate: not UTF-8
  Metadata key;
  key["k\xc3\xa9y\n"] = 1;
  EXPECT_EQ(to_json_text(m),
            "[\n  \"\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\\u007f\",\n  \"\\u20ac\",\n"
            "  \"a\\ufffdb\\ufffd\",\n  \"\\ufffd\\ufffd\\ufffd\"\n]");
  EXPECT_EQ(to_json_text(key), "{\n  \"k\\u00e9y\\n\": 1\n}");
  Metadata bin = Metadata::binary({'h', 'i', 0xff});
  EXPECT_EQ(to_json_text(bin), "\"hi\\ufffd\"");
}

// Large documents leave the writer in blocks and come out identical.
TEST(JsonWriter, StreamsLargeDocuments) {
  Metadata m = Metadata::array();
  for (int i = 0; i < 20000; ++i) m.push_back(std::string(7, static_cast<char>('a' + i % 26)));
  std::string text = to_json_text(m);
  // "[", then per item a line break, two spaces and nine characters, commas between, "\n]".
  EXPECT_EQ(text.size(), 1 + 20000 * 12 + 19999 + 2);
  EXPECT_EQ(text.substr(text.size() - 14), "\n  \"fffffff\"\n]");  // 19999 % 26 == 5
  EXPECT_EQ(Metadata::parse(text), m);
}

// Python's json module reads back what was written, value for value.
TEST(JsonWriter, PythonReadsItBack) {
  const std::string py = vexil::test::system_python_with("json");
  if (py.empty()) GTEST_SKIP() << "no Python";
  Metadata m;
  m["wavelength"] = Metadata::array({400.0, 402.5, 1e-05, std::nan("")});
  m["name"] = "scan \xce\xbcm \xf0\x9f\x98\x80 \"q\"";
  m["n"] = Metadata::object({{"big", std::numeric_limits<std::uint64_t>::max()}, {"empty", Metadata::array()}});
  vexil::test::TempDir dir;
  vexil::test::write_file(dir / "m.json", to_json_text(m));
  const std::string script =
      "import json, sys\n"
      "t = open(sys.argv[1]).read()\n"
      "o = json.loads(t)\n"
      "sys.stdout.write(json.dumps(o, indent=2))\n";
  auto r = vexil::test::run_program({py, "-c", script, dir / "m.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, to_json_text(m));
}
