// The UTF-8 unit against Python's own codec, which is the definition it follows: every
// byte string of a seeded set of edge cases and random strings is decoded by python3 once,
// strictly and with 'replace', and validity, the first error's span, the code points and
// the lossy text must all agree. Encoding is checked over every code point.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "platform/process.h"

namespace vellum {
namespace {

// Bytes at every boundary the decoder distinguishes: ASCII, both ends of each
// continuation range a lead byte may narrow to, the never-valid leads C0 C1 F5..FF, and
// the leads with narrowed ranges (E0 ED F0 F4).
const unsigned char kEdgeBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                    0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};

std::string of(std::initializer_list<unsigned char> bytes) {
  std::string s;
  for (unsigned char b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::vector<std::string> cases() {
  std::vector<std::string> out = {""};
  for (int b = 0; b < 256; ++b) {
    const auto b0 = static_cast<unsigned char>(b);
    out.push_back(of({b0}));
    for (unsigned char b1 : kEdgeBytes) out.push_back(of({b0, b1}));
  }
  for (int b = 0xE0; b <= 0xEF; ++b) {
    for (unsigned char b1 : kEdgeBytes) {
      for (unsigned char b2 : kEdgeBytes) out.push_back(of({static_cast<unsigned char>(b), b1, b2}));
    }
  }
  for (int b = 0xF0; b <= 0xF5; ++b) {
    for (unsigned char b1 : kEdgeBytes) {
      for (unsigned char b2 : {0x41, 0x80, 0xBF}) {
        for (unsigned char b3 : {0x41, 0x80, 0xBF}) out.push_back(of({static_cast<unsigned char>(b), b1, b2, b3}));
      }
    }
  }
  // The first and last code point of each length and around the surrogates, whole and cut
  // short, at the end of the string and before more text.
  for (uint32_t cp : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string enc;
    utf8::append(enc, cp);
    for (size_t n = 1; n <= enc.size(); ++n) {
      out.push_back("a" + enc.substr(0, n));
      out.push_back(enc.substr(0, n) + "x" + enc);
    }
  }
  std::mt19937 rng(20240611);
  for (int i = 0; i < 4000; ++i) {
    std::string s;
    const size_t len = rng() % 17;
    for (size_t k = 0; k < len; ++k) {
      const unsigned r = rng();
      s.push_back(static_cast<char>(r % 2 ? kEdgeBytes[(r >> 1) % std::size(kEdgeBytes)] : (r >> 1) % 256));
    }
    out.push_back(std::move(s));
  }
  return out;
}

std::string to_hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// One line per input: "OK START END HEX CP...", where OK is 1 when the strict decode
// succeeds, START END the span of its UnicodeDecodeError (0 0 if none), HEX the 'replace'
// decoding as UTF-8 ("-" when empty) and CP its code points in hex.
constexpr const char* kOracle = R"(import sys
with open(sys.argv[1]) as src, open(sys.argv[2], "w") as dst:
    for line in src:
        b = bytes.fromhex(line.strip())
        try:
            b.decode("utf-8")
            head = "1 0 0"
        except UnicodeDecodeError as e:
            head = f"0 {e.start} {e.end}"
        text = b.decode("utf-8", "replace")
        cps = "".join(" %x" % ord(c) for c in text)
        dst.write(f"{head} {text.encode('utf-8').hex() or '-'}{cps}\n")
)";

struct Expected {
  bool valid = false;
  size_t start = 0, end = 0;
  std::string lossy;
  std::vector<uint32_t> code_points;
};

std::vector<Expected> ask_python(const std::vector<std::string>& inputs) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vellum_utf8_test_" + std::to_string(current_pid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream(dir / "oracle.py") << kOracle;
    std::ofstream in(dir / "in.txt");
    for (const std::string& s : inputs) in << to_hex(s) << '\n';
  }
  const std::string cmd = "python3 '" + (dir / "oracle.py").string() + "' '" + (dir / "in.txt").string() + "' '" +
                          (dir / "out.txt").string() + "'";
  std::vector<Expected> out;
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream results(dir / "out.txt");
    std::string line;
    while (std::getline(results, line)) {
      std::istringstream fields(line);
      Expected e;
      std::string hex;
      fields >> e.valid >> e.start >> e.end >> hex;
      for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
        e.lossy.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      }
      std::string cp;
      while (fields >> cp) e.code_points.push_back(static_cast<uint32_t>(std::stoul(cp, nullptr, 16)));
      out.push_back(std::move(e));
    }
  }
  std::filesystem::remove_all(dir);
  return out;
}

TEST(Utf8, AgreesWithPythonsCodec) {
  const std::vector<std::string> inputs = cases();
  const std::vector<Expected> expected = ask_python(inputs);
  ASSERT_EQ(expected.size(), inputs.size()) << "python3 did not answer for every input";
  int failures = 0;
  for (size_t n = 0; n < inputs.size() && failures < 20; ++n) {
    const std::string& s = inputs[n];
    const Expected& want = expected[n];
    std::vector<uint32_t> cps;
    bool seen_error = false;
    size_t start = 0, end = 0;
    for (size_t i = 0; i < s.size();) {
      const utf8::Sequence seq = utf8::decode_at(s, i);
      ASSERT_GE(seq.length, 1u);
      if (!seq.valid && !seen_error) {
        seen_error = true;
        start = i;
        end = i + seq.length;
      }
      cps.push_back(seq.code_point);
      i += seq.length;
    }
    const bool ok = utf8::is_valid(s) == want.valid && seen_error == !want.valid && start == want.start &&
                    end == want.end && cps == want.code_points && utf8::lossy(s) == want.lossy;
    if (!ok) {
      ++failures;
      ADD_FAILURE() << "input " << to_hex(s) << ": valid " << utf8::is_valid(s) << " want " << want.valid
                    << ", error span " << start << ".." << end << " want " << want.start << ".." << want.end
                    << ", lossy " << to_hex(utf8::lossy(s)) << " want " << to_hex(want.lossy);
    }
  }
}

// decode_at is checked against the codec above; an encoding that decodes back to its code
// point as one well-formed sequence of the whole length is the only correct one.
TEST(Utf8, AppendEncodesEveryScalarValueAndReplacesTheRest) {
  int failures = 0;
  for (uint32_t cp = 0; cp <= 0x10FFFF && failures < 20; ++cp) {
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    const size_t len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    std::string enc;
    utf8::append(enc, cp);
    const utf8::Sequence seq = utf8::decode_at(enc, 0);
    const bool ok = surrogate ? enc == "\xEF\xBF\xBD"
                              : enc.size() == len && seq.valid && seq.length == len && seq.code_point == cp;
    if (!ok) {
      ++failures;
      ADD_FAILURE() << "code point " << std::hex << cp << " encoded as " << to_hex(enc);
    }
  }
  for (uint32_t cp : {0x110000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::string enc = "a";
    utf8::append(enc, cp);
    EXPECT_EQ(enc, "a\xEF\xBF\xBD") << std::hex << cp;
  }
}

}  // namespace
}  // namespace vellum
