// A parser that behaves exactly like Python's argparse (3.11) configured with
// this command's options: same classification of each argument, same
// prefix matching, same order of errors, same texts. A general-purpose
// library would differ in the details users and scripts rely on (negative
// numbers as values, which error wins, the exact messages), so the
// algorithm is reproduced here for this fixed option table.
#include "app/cli_parser.hpp"

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "text/text_format.hpp"

namespace vexil::app {

namespace {
#include "text/unicode_tables.inc"
}  // namespace

const std::string_view USAGE_TEXT =
    "usage: vexil convert_to_mat [-h] --img IMG [--gt GT] --out-dir OUT_DIR\n"
    "                            [--crop Y X H W] [--data-key DATA_KEY]\n"
    "                            [--gt-key GT_KEY] [--layout {auto,hwb,bhw,hbw}]\n"
    "                            [--threads N]\n";

const std::string_view HELP_TEXT =
    "usage: vexil convert_to_mat [-h] --img IMG [--gt GT] --out-dir OUT_DIR\n"
    "                            [--crop Y X H W] [--data-key DATA_KEY]\n"
    "                            [--gt-key GT_KEY] [--layout {auto,hwb,bhw,hbw}]\n"
    "                            [--threads N]\n"
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
    // After the options, laid out by hand (argparse would run it into one paragraph).
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

namespace {

// ---------------------------------------------------------------------------
// Unicode helpers for int() and the negative-number test.

// Unicode decimal digit value (category Nd), or -1.
int decimal_value(long cp) {
  if (cp < 0) return -1;
  for (std::uint32_t zero : kDigitZeros) {
    if (static_cast<std::uint32_t>(cp) >= zero && static_cast<std::uint32_t>(cp) <= zero + 9) {
      return static_cast<int>(cp - zero);
    }
  }
  return -1;
}

// Non-ASCII code points that Python's str.isspace() accepts (ASCII ones are
// passed through to the byte-level rules unchanged).
bool is_unicode_space(long cp) {
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// argparse's test '^-\d+$|^-\d*\.\d+$' (Unicode digits; '$' also matches
// before one final newline).
bool looks_like_negative_number(std::string_view s) {
  if (s.empty() || s[0] != '-') return false;
  std::string_view body = s.substr(1);
  if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
  int before_dot = 0;
  int after_dot = 0;
  bool dot = false;
  std::size_t pos = 0;
  while (pos < body.size()) {
    if (body[pos] == '.' && !dot) {
      dot = true;
      ++pos;
      continue;
    }
    if (decimal_value(text::decode_utf8(body, pos)) < 0) return false;
    (dot ? after_dot : before_dot)++;
  }
  return dot ? after_dot > 0 : before_dot > 0;
}

// ---------------------------------------------------------------------------
// The option table, in the order argparse registers the option strings.

enum Action { kHelp, kImg, kGt, kOutDir, kCrop, kDataKey, kGtKey, kLayout, kThreads, kActionCount };

struct OptionString {
  std::string_view text;
  Action action;
};
constexpr OptionString kOptionStrings[] = {
    {"-h", kHelp},     {"--help", kHelp},        {"--img", kImg},      {"--gt", kGt},         {"--out-dir", kOutDir},
    {"--crop", kCrop}, {"--data-key", kDataKey}, {"--gt-key", kGtKey}, {"--layout", kLayout}, {"--threads", kThreads},
};

constexpr std::string_view kActionNames[kActionCount] = {"-h/--help",  "--img",    "--gt",     "--out-dir", "--crop",
                                                         "--data-key", "--gt-key", "--layout", "--threads"};
constexpr int kActionNargs[kActionCount] = {0, 1, 1, 1, 4, 1, 1, 1, 1};
constexpr bool kActionRequired[kActionCount] = {false, true, false, true, false, false, false, false, false};

int lookup(std::string_view s) {
  for (const auto& o : kOptionStrings) {
    if (o.text == s) return o.action;
  }
  return -1;
}

[[noreturn]] void usage_error(const std::string& message) {
  std::fflush(stdout);
  std::string text(USAGE_TEXT);
  text += "vexil convert_to_mat: error: ";
  text += message;
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  throw ParserExit(2);
}

std::string thread_count_problem(std::string_view text) {
  return fmt::format("expected a whole number of threads from 1 to {}, got {}", kMaxThreads, text::str_repr(text));
}

// An error tied to one option ("argument --crop: ...").
struct ArgumentError {
  int action;
  std::string message;
};

// What one command-line word was recognised as.
struct OptionTuple {
  int action = -1;  // -1: looks like an option but names none
  std::string option_string;
  std::optional<std::string> explicit_arg;
};

std::vector<OptionTuple> option_tuples(const std::string& arg) {
  std::vector<OptionTuple> result;
  if (arg[1] == '-') {
    const auto eq = arg.find('=');
    const std::string prefix = arg.substr(0, eq);
    std::optional<std::string> explicit_arg;
    if (eq != std::string::npos) explicit_arg = arg.substr(eq + 1);
    for (const auto& o : kOptionStrings) {
      if (o.text.starts_with(prefix)) {
        result.push_back({o.action, std::string(o.text), explicit_arg});
      }
    }
  } else {
    const std::string short_prefix = arg.substr(0, 2);
    const std::string short_explicit = arg.substr(2);
    for (const auto& o : kOptionStrings) {
      if (o.text == short_prefix) {
        result.push_back({o.action, std::string(o.text), short_explicit});
      } else if (o.text.starts_with(arg)) {
        result.push_back({o.action, std::string(o.text), std::nullopt});
      }
    }
  }
  return result;
}

// Empty when the word is a value; otherwise what option it names.
std::optional<OptionTuple> parse_optional(const std::string& arg) {
  if (arg.empty() || arg[0] != '-') return std::nullopt;
  if (int a = lookup(arg); a >= 0) return OptionTuple{a, arg, std::nullopt};
  if (arg.size() == 1) return std::nullopt;
  if (const auto eq = arg.find('='); eq != std::string::npos) {
    const std::string name = arg.substr(0, eq);
    if (int a = lookup(name); a >= 0) return OptionTuple{a, name, arg.substr(eq + 1)};
  }
  auto tuples = option_tuples(arg);
  if (tuples.size() > 1) {
    std::string matches;
    for (const auto& t : tuples) {
      if (!matches.empty()) matches += ", ";
      matches += t.option_string;
    }
    usage_error("ambiguous option: " + arg + " could match " + matches);
  }
  if (tuples.size() == 1) return tuples.front();
  if (looks_like_negative_number(arg)) return std::nullopt;
  if (arg.find(' ') != std::string::npos) return std::nullopt;
  return OptionTuple{-1, arg, std::nullopt};
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  Options run() {
    classify();
    std::size_t start = 0;
    while (true) {
      std::size_t next = start;
      while (next < args_.size() && !tuples_[next]) ++next;
      if (next == args_.size()) break;
      extras_.insert(extras_.end(), args_.begin() + static_cast<std::ptrdiff_t>(start),
                     args_.begin() + static_cast<std::ptrdiff_t>(next));
      start = consume_optional(next);
    }
    extras_.insert(extras_.end(), args_.begin() + static_cast<std::ptrdiff_t>(start), args_.end());

    std::string missing;
    for (int a = 0; a < kActionCount; ++a) {
      if (kActionRequired[a] && !seen_.count(a)) {
        if (!missing.empty()) missing += ", ";
        missing += kActionNames[a];
      }
    }
    if (!missing.empty()) usage_error("the following arguments are required: " + missing);
    if (!extras_.empty()) {
      std::string joined;
      for (const auto& e : extras_) {
        if (!joined.empty()) joined += ' ';
        joined += e;
      }
      usage_error("unrecognized arguments: " + joined);
    }
    return std::move(options_);
  }

 private:
  // One letter per word: 'O' option, 'A' value, '-' the first "--".
  void classify() {
    tuples_.resize(args_.size());
    bool after_dashes = false;
    for (std::size_t i = 0; i < args_.size(); ++i) {
      if (after_dashes) {
        pattern_ += 'A';
      } else if (args_[i] == "--") {
        pattern_ += '-';
        after_dashes = true;
      } else if ((tuples_[i] = parse_optional(args_[i]))) {
        pattern_ += 'O';
      } else {
        pattern_ += 'A';
      }
    }
  }

  // How many of the words in `pattern` (starting at the option's first
  // value) the action takes; throws when there are too few.
  static std::size_t match_argument(int action, std::string_view pattern) {
    const int nargs = kActionNargs[action];
    int available = 0;
    while (available < nargs && static_cast<std::size_t>(available) < pattern.size() &&
           pattern[static_cast<std::size_t>(available)] == 'A') {
      ++available;
    }
    if (available < nargs) {
      throw ArgumentError{action, nargs == 1 ? std::string("expected one argument")
                                             : "expected " + std::to_string(nargs) + " arguments"};
    }
    return static_cast<std::size_t>(nargs);
  }

  std::size_t consume_optional(std::size_t start) {
    OptionTuple t = *tuples_[start];
    struct Pending {
      int action;
      std::vector<std::string> values;
    };
    std::vector<Pending> pending;
    std::size_t stop = start + 1;
    try {
      while (true) {
        if (t.action < 0) {
          extras_.push_back(args_[start]);
          return start + 1;
        }
        if (t.explicit_arg) {
          const std::size_t count = match_argument(t.action, "A");
          if (count == 0 && t.option_string[1] != '-' && !t.explicit_arg->empty()) {
            // "-hX": a flag followed by more single-letter flags.
            pending.push_back({t.action, {}});
            const std::string next_option = std::string("-") + (*t.explicit_arg)[0];
            const int next_action = lookup(next_option);
            if (next_action < 0) {
              throw ArgumentError{t.action, "ignored explicit argument " + text::str_repr(*t.explicit_arg)};
            }
            std::optional<std::string> rest;
            if (t.explicit_arg->size() > 1) rest = t.explicit_arg->substr(1);
            t = OptionTuple{next_action, next_option, rest};
            continue;
          }
          if (count == 1) {
            pending.push_back({t.action, {*t.explicit_arg}});
            stop = start + 1;
            break;
          }
          throw ArgumentError{t.action, "ignored explicit argument " + text::str_repr(*t.explicit_arg)};
        }
        const std::size_t first = start + 1;
        const std::size_t count = match_argument(t.action, std::string_view(pattern_).substr(first));
        pending.push_back(
            {t.action, std::vector<std::string>(args_.begin() + static_cast<std::ptrdiff_t>(first),
                                                args_.begin() + static_cast<std::ptrdiff_t>(first + count))});
        stop = first + count;
        break;
      }
      for (auto& p : pending) take_action(p.action, p.values);
    } catch (const ArgumentError& e) {
      usage_error("argument " + std::string(kActionNames[e.action]) + ": " + e.message);
    }
    return stop;
  }

  void take_action(int action, const std::vector<std::string>& values) {
    seen_.insert(action);
    switch (action) {
      case kHelp:
        std::fflush(stderr);
        std::fwrite(HELP_TEXT.data(), 1, HELP_TEXT.size(), stdout);
        std::fflush(stdout);
        throw ParserExit(0);
      case kImg: options_.img = values.at(0); break;
      case kGt: options_.gt = values.at(0); break;
      case kOutDir: options_.out_dir = values.at(0); break;
      case kCrop: {
        CropValue parsed[4];
        for (std::size_t i = 0; i < 4; ++i) {
          auto v = parse_integer(values.at(i));
          if (!v) throw ArgumentError{action, "invalid int value: " + text::str_repr(values[i])};
          parsed[i] = std::move(*v);
        }
        options_.crop = CropWindow{parsed[0], parsed[1], parsed[2], parsed[3]};
        break;
      }
      case kDataKey:
      case kGtKey:
        if (const std::string problem = matlab_name_problem(values.at(0)); !problem.empty()) {
          throw ArgumentError{action, problem};
        }
        (action == kDataKey ? options_.data_key : options_.gt_key) = values[0];
        break;
      case kLayout:
        if (const auto layout = parse_layout(values.at(0))) {
          options_.layout = *layout;
          break;
        }
        throw ArgumentError{
            action, "invalid choice: " + text::str_repr(values[0]) + " (choose from 'auto', 'hwb', 'bhw', 'hbw')"};
      case kThreads:
        if (const auto n = parse_thread_count(values.at(0))) {
          options_.threads = *n;
          break;
        }
        throw ArgumentError{action, thread_count_problem(values[0])};
      default: break;
    }
  }

  const std::vector<std::string>& args_;
  std::string pattern_;
  std::vector<std::optional<OptionTuple>> tuples_;
  std::vector<std::string> extras_;
  std::set<int> seen_;
  Options options_;
};

}  // namespace

std::optional<CropValue> parse_integer(std::string_view text) {
  // Non-ASCII whitespace becomes a space and non-ASCII decimal digits their
  // ASCII digit, as int() does before parsing; anything else non-ASCII fails.
  std::string ascii;
  ascii.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ascii += text[pos++];
      continue;
    }
    const long cp = text::decode_utf8(text, pos);
    if (is_unicode_space(cp)) {
      ascii += ' ';
    } else if (int d = decimal_value(cp); d >= 0) {
      ascii += static_cast<char>('0' + d);
    } else {
      return std::nullopt;
    }
  }

  std::size_t i = 0;
  const std::size_t n = ascii.size();
  while (i < n && is_ascii_space(ascii[i])) ++i;
  bool negative = false;
  if (i < n && (ascii[i] == '+' || ascii[i] == '-')) negative = ascii[i++] == '-';
  if (i < n && ascii[i] == '_') return std::nullopt;
  std::string digits;
  char prev = '\0';
  for (; i < n && ((ascii[i] >= '0' && ascii[i] <= '9') || ascii[i] == '_'); ++i) {
    if (ascii[i] == '_') {
      if (prev == '_') return std::nullopt;
    } else {
      digits += ascii[i];
    }
    prev = ascii[i];
  }
  if (digits.empty() || prev == '_') return std::nullopt;
  while (i < n && is_ascii_space(ascii[i])) ++i;
  if (i != n) return std::nullopt;
  // Python refuses integer texts of more than 4300 digits.
  if (digits.size() > 4300) return std::nullopt;

  const auto nonzero = digits.find_first_not_of('0');
  CropValue out("", std::nullopt);
  if (nonzero == std::string::npos) {
    out.text = "0";
    out.value = 0;
    return out;
  }
  const std::string magnitude = digits.substr(nonzero);
  out.text = (negative ? "-" : "") + magnitude;
  constexpr std::string_view kMax = "9223372036854775807";
  constexpr std::string_view kMinMagnitude = "9223372036854775808";
  const std::string_view limit = negative ? kMinMagnitude : kMax;
  if (magnitude.size() < limit.size() || (magnitude.size() == limit.size() && magnitude <= limit)) {
    std::uint64_t u = 0;
    for (char c : magnitude) u = u * 10 + static_cast<std::uint64_t>(c - '0');
    out.value = negative ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
  }
  return out;
}

Options parse_args(const std::vector<std::string>& args) { return Parser(args).run(); }

std::optional<int> parse_thread_count(std::string_view text) {
  const auto v = parse_integer(text);
  if (!v || !v->value || *v->value < 1 || *v->value > kMaxThreads) return std::nullopt;
  return static_cast<int>(*v->value);
}

void apply_environment(Options& options, const char* threads_variable) {
  if (options.threads || !threads_variable || !*threads_variable) return;
  options.threads = parse_thread_count(threads_variable);
  if (!options.threads) usage_error("environment variable VEXIL_THREADS: " + thread_count_problem(threads_variable));
}

}  // namespace vexil::app
