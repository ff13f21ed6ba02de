// The renderer with every style field drawn from the input, against a
// reference renderer in GMP arithmetic: the whole line must match (text that
// is not UTF-8 written as U+FFFD, as it is counted), and the visible length
// must be the width whenever there is room and done >= 0.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmpxx.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "System/ProgressBar.hpp"
#include "reference_utf8.hpp"

namespace pb = System::ProgressBar;

namespace {

std::string encode(char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else {
    // Continuation bytes from the low end, then the lead byte in front.
    int len = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    const unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string tail;
    for (int i = 1; i < len; ++i) {
      tail.insert(tail.begin(), static_cast<char>(0x80 | (cp & 0x3F)));
      cp >>= 6;
    }
    out += static_cast<char>(leads[len] | cp);
    out += tail;
  }
  return out;
}

std::string repeat(const std::string& unit, const mpz_class& times) {
  std::string out;
  for (mpz_class i = 0; i < times; ++i) out += unit;
  return out;
}

mpz_class big(std::int64_t v) { return mpz_class(std::to_string(v)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string texts[11];  // open, close, prefix, postfix, then seven escapes
  for (std::string& t : texts) t = in.ConsumeRandomLengthString(24);
  const char32_t done = in.ConsumeIntegral<std::uint32_t>();
  const char32_t current = in.ConsumeIntegral<std::uint32_t>();
  const char32_t todo = in.ConsumeIntegral<std::uint32_t>();
  std::int64_t n;  // any width from -2^63 to a few thousand
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      n = in.ConsumeIntegralInRange<std::int64_t>(-16, 3000);
      break;
    case 1:
      n = in.ConsumeIntegralInRange<std::int64_t>(std::numeric_limits<std::int64_t>::min(), -1);
      break;
    default:
      n = in.ConsumeIntegral<std::int64_t>() % 4096;
      break;
  }
  const auto pDone = in.ConsumeIntegral<std::int64_t>();
  const auto pTodo = in.ConsumeIntegral<std::int64_t>();

  const auto escape = [](const std::string& text) {
    return pb::Escape<>([text](const pb::Progress<>&) { return text; });
  };
  pb::Style<> style{texts[0],
                    texts[1],
                    done,
                    current,
                    todo,
                    pb::msg(texts[2]),
                    pb::msg(texts[3]),
                    pb::ConstantWidth{n},
                    escape(texts[4]),
                    escape(texts[5]),
                    escape(texts[6]),
                    escape(texts[7]),
                    escape(texts[8]),
                    escape(texts[9]),
                    escape(texts[10]),
                    pb::WriteNewline};
  const std::string line = pb::renderProgressBar(style, pb::Progress<>{pDone, pTodo}, {});

  // The reference.
  const auto count = [](const std::string& s) { return reference::codePoints(s); };
  const std::size_t prefixGap = texts[2].empty() ? 0 : 1, postfixGap = texts[3].empty() ? 0 : 1;
  const mpz_class fixed =
      mpz_class(static_cast<unsigned long>(count(texts[0]) + count(texts[1]) + count(texts[2]) +
                                           count(texts[3]) + prefixGap + postfixGap));
  mpz_class w = big(n) - fixed;
  if (w < 0) w = 0;
  mpz_class d = 0;
  if (pTodo != 0) {
    const mpz_class product = big(pDone) * w;
    mpz_fdiv_q(d.get_mpz_t(), product.get_mpz_t(), big(pTodo).get_mpz_t());
    if (d > w) d = w;
    if (d < -w) d = -w;
  }
  const mpz_class r = w - d;
  const mpz_class doneCells = d > 0 ? d : mpz_class(0);
  const bool mark = d != 0 && r != 0;
  mpz_class todoCells = d != 0 ? mpz_class(r - 1) : r;
  if (todoCells < 0) todoCells = 0;
  std::string shown[11];
  for (int i = 0; i < 11; ++i) shown[i] = reference::replaced(texts[i]);
  const std::string expected = shown[9] + shown[2] + std::string(prefixGap, ' ') + shown[4] +
                               shown[0] + shown[6] + repeat(encode(done), doneCells) + shown[7] +
                               (mark ? encode(current) : "") + shown[8] +
                               repeat(encode(todo), todoCells) + shown[5] + shown[1] + shown[10] +
                               std::string(postfixGap, ' ') + shown[3];
  if (line != expected) std::abort();

  if (w > 0 && d >= 0) {
    const mpz_class visible = fixed + doneCells + (mark ? 1 : 0) + todoCells;
    if (visible != big(n)) std::abort();
  }
  return 0;
}
