// ENVI header parsing and layout validation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/envi/envi_header.hpp"
#include "support/test_util.hpp"

namespace envi = vexil::formats::envi;
using envi::Header;
using envi::HeaderValue;
using Items = std::vector<std::string>;

namespace {

Header parse_body(const std::string& body) { return envi::parse_header("ENVI\n" + body); }

std::string text_of(const Header& h, const std::string& key) {
  const HeaderValue* v = h.find(key);
  if (!v) return "<missing>";
  if (v->is_list) return "<list>";
  return v->text;
}

Items list_of(const Header& h, const std::string& key) {
  const HeaderValue* v = h.find(key);
  if (!v || !v->is_list) return {"<not a list>"};
  return v->items;
}

std::vector<std::string> keys_of(const Header& h) {
  std::vector<std::string> out;
  for (const auto& f : h.fields()) out.push_back(f.first);
  return out;
}

std::string error_of(const std::string& text) {
  try {
    envi::parse_header(text);
  } catch (const vexil::BadInputError& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(EnviHeaderParse, FirstLineMustStartWithEnvi) {
  EXPECT_EQ(keys_of(envi::parse_header("ENVI")).size(), 0u);
  EXPECT_EQ(text_of(envi::parse_header("   ENVI  \nsamples = 3"), "samples"), "3");
  EXPECT_EQ(text_of(envi::parse_header("ENVIx something\nsamples = 3"), "samples"), "3");
  // The rest of the first line defines nothing.
  EXPECT_EQ(text_of(envi::parse_header("ENVI samples = 3\nlines = 1"), "samples"), "<missing>");

  const std::string not_header =
      "File does not appear to be an ENVI header (missing \"ENVI\" at beginning of first line).";
  EXPECT_EQ(error_of("envi\nsamples = 3"), not_header);
  EXPECT_EQ(error_of(""), not_header);
  EXPECT_EQ(error_of("\nENVI\n"), not_header);
  EXPECT_EQ(error_of(std::string("\0\x01\x02\xff", 4)), not_header);
  EXPECT_NE(error_of("\xef\xbb\xbf"
                     "ENVI\n")
                .find("byte-order mark"),
            std::string::npos);
}

TEST(EnviHeaderParse, KeysAndPlainValues) {
  EXPECT_EQ(text_of(parse_body("samples = 1\nsamples = 2"), "samples"), "2");
  EXPECT_EQ(text_of(parse_body("Lines   = 2"), "lines"), "2");
  EXPECT_EQ(text_of(parse_body("  Byte Order   =   1  "), "byte order"), "1");
  {
    Header h = parse_body("data  type = 4");
    EXPECT_EQ(text_of(h, "data  type"), "4");
    EXPECT_EQ(h.find("data type"), nullptr);
  }
  EXPECT_EQ(keys_of(parse_body("\n\nsamples = 1\n   \n")), Items{"samples"});
  EXPECT_EQ(text_of(parse_body("foo==bar"), "foo"), "=bar");
  EXPECT_EQ(text_of(parse_body("= value"), ""), "value");
  EXPECT_EQ(text_of(parse_body("\tsamples\t=\t5\t"), "samples"), "5");
  EXPECT_EQ(text_of(parse_body("sensor type ="), "sensor type"), "");
  EXPECT_EQ(text_of(parse_body("wavelength =\n{400,\n 402}"), "wavelength"), "");
  EXPECT_EQ(keys_of(parse_body("wavelength =\n{400,\n 402}")), Items{"wavelength"});
  // Unicode whitespace is stripped like Python's str.strip().
  EXPECT_EQ(text_of(parse_body("\xc2\xa0gain\xe3\x80\x80= \xe2\x80\x83x\xc2\x85"), "gain"), "x");
  // Latin-1 capitals are lower-cased too.
  EXPECT_EQ(text_of(parse_body("\xc3\x84nderung = 1"), "\xc3\xa4nderung"), "1");
}

TEST(EnviHeaderParse, CommentsAndLinesWithoutEquals) {
  Header h = parse_body("; comment = ignored\n ; indented = kept\nstray text\n;samples = 9");
  EXPECT_EQ(keys_of(h), Items{"; indented"});
  EXPECT_EQ(text_of(h, "; indented"), "kept");
}

TEST(EnviHeaderParse, DuplicateKeysKeepFirstPlaceAndLastValue) {
  Header h = parse_body("a = 1\nb = 2\nA = 3\nc = {4}\nc = 5");
  EXPECT_EQ(keys_of(h), (Items{"a", "b", "c"}));
  EXPECT_EQ(text_of(h, "a"), "3");
  EXPECT_EQ(text_of(h, "c"), "5");
}

TEST(EnviHeaderParse, BracedLists) {
  EXPECT_EQ(list_of(parse_body("wavelength = {400, 402.5,\n 1e-05 ,  , }"), "wavelength"),
            (Items{"400", "402.5", "1e-05", "", ""}));
  EXPECT_EQ(list_of(parse_body("band names = {}"), "band names"), Items{""});
  EXPECT_EQ(list_of(parse_body("x = { }"), "x"), Items{""});
  EXPECT_EQ(list_of(parse_body("z = {,}"), "z"), (Items{"", ""}));
  EXPECT_EQ(list_of(parse_body("x = {a, {b, c}, d}"), "x"), (Items{"a", "{b", "c}", "d"}));
  EXPECT_EQ(list_of(parse_body("x = {\n}"), "x"), Items{""});
  EXPECT_EQ(list_of(parse_body("wavelength = {1,\n;2,\n3}"), "wavelength"), (Items{"1", "3"}));
  EXPECT_EQ(list_of(parse_body("x = {\n\n a \n}"), "x"), Items{"a"});
}

TEST(EnviHeaderParse, Description) {
  EXPECT_EQ(text_of(parse_body("description = {\n  A test\n  file, with commas }"), "description"),
            "A test\nfile, with commas");
  EXPECT_EQ(text_of(parse_body("description = {{abc}}"), "description"), "abc");
  EXPECT_EQ(text_of(parse_body("description = {\n  line one  \n\n  line two = x }"), "description"),
            "line one\n\nline two = x");
  EXPECT_EQ(text_of(parse_body("description = { {abc} }"), "description"), "{abc}");
}

// A comment after the closing brace ends the value (the reference library
// would swallow the following lines into it).
TEST(EnviHeaderParse, CommentAfterClosingBrace) {
  Header h = parse_body("wavelength = {400, 402} ; c\nlines=3\nx = {5}");
  EXPECT_EQ(keys_of(h), (Items{"wavelength", "lines", "x"}));
  EXPECT_EQ(list_of(h, "wavelength"), (Items{"400", "402"}));
  EXPECT_EQ(text_of(h, "lines"), "3");
  EXPECT_EQ(list_of(h, "x"), Items{"5"});

  Header multi = parse_body("fwhm = {1,\n 2};nm\ndescription = {a\n b} ; note {c}\nk = v");
  EXPECT_EQ(list_of(multi, "fwhm"), (Items{"1", "2"}));
  EXPECT_EQ(text_of(multi, "description"), "a\nb");
  EXPECT_EQ(text_of(multi, "k"), "v");
}

TEST(EnviHeaderParse, UnclosedBraceIsAnError) {
  const std::string msg = error_of("ENVI\nsamples = 1\nwavelength = {1,\n2");
  EXPECT_EQ(msg.rfind("Failed to parse ENVI header file", 0), 0u) << msg;
  EXPECT_NE(msg.find("\"wavelength\""), std::string::npos) << msg;
  EXPECT_NE(msg.find("line 3"), std::string::npos) << msg;
  EXPECT_EQ(error_of("ENVI\nx = {").rfind("Failed to parse ENVI header file", 0), 0u);
  // Text after the brace that is not a comment keeps the value open.
  EXPECT_EQ(error_of("ENVI\nx = {a} b\ny = 1").rfind("Failed to parse", 0), 0u);
}

TEST(EnviHeaderParse, NewlinesAndEncodings) {
  for (const std::string nl : {"\r\n", "\r", "\n"}) {
    Header h = envi::parse_header("ENVI" + nl + "samples = 1" + nl + "wavelength = {1," + nl + " 2}" + nl);
    EXPECT_EQ(text_of(h, "samples"), "1");
    EXPECT_EQ(list_of(h, "wavelength"), (Items{"1", "2"}));
  }
  EXPECT_EQ(text_of(parse_body("wavelength units = \xc2\xb5m"), "wavelength units"), "\xc2\xb5m");
  // Not UTF-8: the whole header is Latin-1, here a lone 0xB5 and 0xE9.
  Header latin = parse_body("wavelength units = \xb5m\ndescription = {caf\xe9}");
  EXPECT_EQ(text_of(latin, "wavelength units"), "\xc2\xb5m");
  EXPECT_EQ(text_of(latin, "description"), "caf\xc3\xa9");
  // Overlong encodings and surrogates are not UTF-8 either.
  EXPECT_EQ(text_of(parse_body("k = \xc0\xaf"), "k"), "\xc3\x80\xc2\xaf");
  EXPECT_EQ(text_of(parse_body("k = \xed\xa0\x80"), "k"), "\xc3\xad\xc2\xa0\xc2\x80");
}

TEST(EnviHeaderParse, HugeHeaderParsesInLinearTime) {
  std::string body;
  for (int i = 0; i < 200000; ++i) body += "key" + std::to_string(i) + " = {" + std::to_string(i) + "}\n";
  body += "description = {\n";
  for (int i = 0; i < 200000; ++i) body += "line\n";
  body += "}\n";
  Header h = parse_body(body);
  EXPECT_EQ(h.fields().size(), 200001u);
  EXPECT_EQ(list_of(h, "key199999"), Items{"199999"});
}

TEST(EnviHeaderRead, FileErrors) {
  vexil::test::TempDir dir;
  EXPECT_THROW(envi::read_header_file(dir / "none.hdr"), vexil::NotFoundError);
  EXPECT_THROW(envi::read_header_file(dir.path()), vexil::BadInputError);
  vexil::test::write_file(dir / "ok.hdr", std::string("ENVI\r\nsamples = 4\r\n"));
  EXPECT_EQ(text_of(envi::read_header_file(dir / "ok.hdr"), "samples"), "4");
}

TEST(EnviInt, PythonIntRules) {
  std::int64_t v = -1;
  struct Case {
    const char* text;
    bool ok;
    std::int64_t value;
  };
  const Case cases[] = {
      {"7", true, 7},
      {" 7 ", true, 7},
      {"+8", true, 8},
      {"-5", true, -5},
      {"1_000", true, 1000},
      {"007", true, 7},
      {"\t12\n", true, 12},
      {"1__0", false, 0},
      {"_1", false, 0},
      {"1_", false, 0},
      {"3.0", false, 0},
      {"0x3", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"1 2", false, 0},
      {"--1", false, 0},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"99999999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    v = -1;
    EXPECT_EQ(envi::parse_int(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

namespace {

const char* kBase = "samples = 3\nlines = 2\nbands = 4\ndata type = 12\ninterleave = bil\nbyte order = 0\n";

std::string layout_error(const std::string& body) {
  try {
    envi::layout_from_header(parse_body(body));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(EnviLayout, ValidHeader) {
  envi::Layout lay = envi::layout_from_header(parse_body(std::string(kBase) + "header offset = 128"));
  EXPECT_EQ(lay.lines, 2);
  EXPECT_EQ(lay.samples, 3);
  EXPECT_EQ(lay.bands, 4);
  EXPECT_EQ(lay.dtype, vexil::DType::UInt16);
  EXPECT_EQ(lay.interleave, envi::Interleave::BIL);
  EXPECT_FALSE(lay.big_endian);
  EXPECT_EQ(lay.header_offset, 128u);
  EXPECT_EQ(lay.data_bytes, 48u);
}

TEST(EnviLayout, MandatoryFieldsInOrder) {
  EXPECT_EQ(layout_error(""), "Mandatory parameter \"lines\" missing from header file.");
  EXPECT_EQ(layout_error("lines = 1\nbyte order = 0"), "Mandatory parameter \"samples\" missing from header file.");
  EXPECT_EQ(layout_error("lines = 1\nsamples = 1\nbands = 1\ndata type = 1\ninterleave = bsq"),
            "Mandatory parameter \"byte order\" missing from header file.");
  EXPECT_THROW(envi::layout_from_header(parse_body("samples = 1")), vexil::MissingKeyError);
}

TEST(EnviLayout, DataTypeCodes) {
  const std::pair<const char*, vexil::DType> codes[] = {
      {"1", vexil::DType::UInt8},      {"2", vexil::DType::Int16},   {"3", vexil::DType::Int32},
      {"4", vexil::DType::Float32},    {"5", vexil::DType::Float64}, {"6", vexil::DType::Complex64},
      {"9", vexil::DType::Complex128}, {"12", vexil::DType::UInt16}, {"13", vexil::DType::UInt32},
      {"14", vexil::DType::Int64},     {"15", vexil::DType::UInt64}};
  for (const auto& [code, type] : codes) {
    envi::Layout lay = envi::layout_from_header(
        parse_body(std::string("lines=1\nsamples=1\nbands=1\ninterleave=bsq\nbyte order=0\ndata type = ") + code));
    EXPECT_EQ(lay.dtype, type) << code;
  }
  for (const char* bad : {"7", "8", "10", "11", "04", "4.0", "0", "", "{4}"}) {
    const std::string msg =
        layout_error(std::string("lines=1\nsamples=1\nbands=1\ninterleave=bsq\nbyte order=0\ndata type = ") + bad);
    EXPECT_NE(msg, "<no error>") << bad;
    if (bad[0] != '{' && bad[0]) {
      EXPECT_NE(msg.find(std::string("'") + bad + "'"), std::string::npos) << msg;
    }
  }
}

TEST(EnviLayout, InterleaveAndByteOrder) {
  const std::pair<const char*, envi::Interleave> ok[] = {{"bsq", envi::Interleave::BSQ},
                                                         {"BSQ", envi::Interleave::BSQ},
                                                         {"Bil", envi::Interleave::BIL},
                                                         {"BIP", envi::Interleave::BIP},
                                                         {" bip ", envi::Interleave::BIP}};
  for (const auto& [text, kind] : ok) {
    envi::Layout lay = envi::layout_from_header(
        parse_body(std::string("lines=1\nsamples=1\nbands=1\ndata type=1\nbyte order=1\ninterleave=") + text));
    EXPECT_EQ(lay.interleave, kind) << text;
    EXPECT_TRUE(lay.big_endian);
  }
  for (const char* bad : {"xyz", "", "bsq2", "{bsq}"})
    EXPECT_NE(layout_error(std::string("lines=1\nsamples=1\nbands=1\ndata type=1\nbyte order=0\ninterleave=") + bad)
                  .find("interleave"),
              std::string::npos)
        << bad;
  for (const char* bad : {"2", "-1", "x", ""})
    EXPECT_NE(layout_error(std::string("lines=1\nsamples=1\nbands=1\ndata type=1\ninterleave=bsq\nbyte order=") + bad)
                  .find("byte order"),
              std::string::npos)
        << bad;
}

TEST(EnviLayout, SizesAndOffsets) {
  EXPECT_NE(layout_error(std::string(kBase) + "lines = -2").find("must not be negative"), std::string::npos);
  EXPECT_NE(layout_error(std::string(kBase) + "lines = 2.0").find("not an integer"), std::string::npos);
  EXPECT_NE(layout_error(std::string(kBase) + "header offset = -1").find("must not be negative"), std::string::npos);
  EXPECT_NE(layout_error(std::string(kBase) + "bands = 99999999999999999999").find("too large"), std::string::npos);
  EXPECT_NE(layout_error(std::string(kBase) + "lines = {2}").find("single value"), std::string::npos);
  // Products that overflow, also when another extent is zero (the strides
  // would still overflow).
  EXPECT_NE(layout_error(std::string(kBase) + "lines = 4294967296\nsamples = 4294967296").find("too large"),
            std::string::npos);
  envi::Layout lay = envi::layout_from_header(parse_body(std::string(kBase) + "lines = 1_0\nbands = +1"));
  EXPECT_EQ(lay.lines, 10);
  EXPECT_EQ(lay.data_bytes, 60u);
}

TEST(EnviLayout, ZeroExtentsAreCorrupt) {
  for (const char* key : {"lines", "samples", "bands"}) {
    for (const char* zero : {"0", "+0", "-0", "0_0"}) {
      const std::string msg = layout_error(std::string(kBase) + key + " = " + zero);
      EXPECT_EQ(msg, std::string("ENVI header is corrupt: it declares ") + key +
                         " = 0, and an image needs at least one line, sample and band.")
          << zero;
    }
  }
  // The file is named when the caller gives it.
  try {
    envi::layout_from_header(parse_body(std::string(kBase) + "samples = 0"), "/d/zero.hdr");
    ADD_FAILURE() << "no error";
  } catch (const vexil::BadInputError& e) {
    EXPECT_STREQ(e.what(),
                 "ENVI header /d/zero.hdr is corrupt: it declares samples = 0, and an image needs at least "
                 "one line, sample and band.");
  }
}

TEST(EnviLayout, ErrorsNameTheHeaderWhenGiven) {
  auto error_with_name = [](const std::string& body) {
    try {
      envi::layout_from_header(parse_body(body), "/d/x.hdr");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("<no error>");
  };
  EXPECT_EQ(error_with_name("lines = 1"), "Mandatory parameter \"samples\" missing from header file /d/x.hdr.");
  EXPECT_EQ(error_with_name(std::string(kBase) + "interleave = xyz"),
            "ENVI header /d/x.hdr: field \"interleave\" must be bsq, bil or bip, not 'xyz'.");
  EXPECT_EQ(error_with_name(std::string(kBase) + "major frame offsets = 3"),
            "ENVI header /d/x.hdr: image frame offsets are not supported.");
  try {
    envi::parse_header("samples = 1\n", "/d/x.hdr");
    ADD_FAILURE() << "no error";
  } catch (const vexil::BadInputError& e) {
    EXPECT_STREQ(e.what(),
                 "File /d/x.hdr does not appear to be an ENVI header (missing \"ENVI\" at beginning of first line).");
  }
}

TEST(EnviLayout, FrameOffsets) {
  EXPECT_EQ(layout_error(std::string(kBase) + "major frame offsets = {0, 0}\nminor frame offsets = 0"), "<no error>");
  EXPECT_EQ(layout_error(std::string(kBase) + "major frame offsets = {0, 2}"),
            "ENVI image frame offsets are not supported.");
  EXPECT_EQ(layout_error(std::string(kBase) + "minor frame offsets = 16"),
            "ENVI image frame offsets are not supported.");
}
