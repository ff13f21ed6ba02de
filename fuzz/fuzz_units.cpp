// Byte sizes, throughput and human durations on arbitrary values. Each text
// is read back and checked against the exact value (GMP rationals): rounded
// to the half of its last digit with ties to even, three significant digits
// (two decimals below one), in the smallest unit that keeps it below 1000.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmpxx.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "System/ProgressBar.hpp"
#include "System/ProgressBar/Gmp.hpp"

namespace pb = System::ProgressBar;

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

mpz_class big(std::int64_t v) { return mpz_class(std::to_string(v), 10); }

struct Number {
  bool negative = false;
  mpz_class digits;  // all digits, the point left out
  int decimals = 0;
  std::size_t length = 0;  // characters read
};

Number readNumber(const std::string& text) {
  Number n;
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    n.negative = true;
    ++i;
  }
  std::string digits;
  bool point = false;
  for (; i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.'); ++i) {
    if (text[i] == '.') {
      point = true;
    } else {
      digits.push_back(text[i]);
      n.decimals += point ? 1 : 0;
    }
  }
  require(!digits.empty());
  n.digits = mpz_class(digits, 10);
  n.length = i;
  return n;
}

// `shown` read as digits / 10^decimals is `exact` rounded as promised.
void checkRounded(const Number& shown, const mpq_class& exact, bool belowOneAllowed) {
  mpz_class scale = 1;
  for (int i = 0; i < shown.decimals; ++i) scale *= 10;
  const mpq_class value(shown.digits, scale);
  mpq_class error = value - exact;
  if (error < 0) error = -error;
  const mpq_class half(1, 2 * scale);
  require(error <= half);
  if (error == half) require(mpz_even_p(shown.digits.get_mpz_t()));
  require(value < 1000);
  if (value >= 1) {
    require(shown.digits.get_str().size() == 3);  // "1.21", "12.1", "121"
  } else {
    require(belowOneAllowed && shown.decimals == 2);  // "0.98"
  }
}

void checkSize(std::int64_t count, pb::ByteUnits units) {
  const std::string text = pb::bytesDone(units).runLabel({count, 0}, {});
  const Number n = readNumber(text);
  const std::string unit = text.substr(n.length + 1);
  const std::vector<std::string> names =
      units == pb::ByteUnits::Iec
          ? std::vector<std::string>{"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"}
          : std::vector<std::string>{"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  int k = -1;
  for (int i = 0; i < 7; ++i) {
    if (names[static_cast<std::size_t>(i)] == unit) k = i;
  }
  require(k >= 0 && text[n.length] == ' ');
  const mpz_class base = units == pb::ByteUnits::Iec ? 1024 : 1000;
  const mpz_class magnitude = abs(big(count));
  if (k == 0) {  // plain bytes, exactly
    require(magnitude < base && n.decimals == 0 && n.digits == magnitude);
    require(n.negative == (count < 0));
    return;
  }
  mpz_class unitSize = 1;
  for (int i = 0; i < k; ++i) unitSize *= base;
  const mpq_class exact(magnitude, unitSize);
  checkRounded(n, exact, true);
  // The smallest unit that keeps the digits below 1000.
  if (k > 1) require(exact * base >= mpq_class(1999, 2));
  require(magnitude >= base);
  require(n.negative == (count < 0 && n.digits != 0));
}

void checkRate(std::int64_t done, std::int64_t ns) {
  const pb::TimePoint start{};
  const std::string text =
      pb::throughput("u", "--").runLabel({done, 0}, {start, start + std::chrono::nanoseconds(ns)});
  if (ns <= 0) {
    require(text == "--");
    return;
  }
  const Number n = readNumber(text);
  const std::string prefixes = "kMGTPEZYRQ";
  int k = 0;
  if (text[n.length] != ' ') k = static_cast<int>(prefixes.find(text[n.length])) + 1;
  require(k >= 0 && text.substr(text.size() - 2) == " u");
  mpz_class unitSize = 1;
  for (int i = 0; i < k; ++i) unitSize *= 1000;
  const mpq_class exact(abs(big(done)) * 1'000'000'000, big(ns) * unitSize);
  checkRounded(n, exact, k == 0);
  if (k > 0) require(exact * 1000 >= mpq_class(1999, 2));
  require(n.negative == (done < 0 && n.digits != 0));
}

void checkHuman(std::int64_t high, std::uint64_t low) {
  mpz_class ps = big(high);
  ps <<= 64;
  ps += mpz_class(std::to_string(low), 10);
  const std::string text = pb::humanDuration(pb::durationOf(ps));
  // Whole seconds, ties to even.
  mpz_class seconds, rest;
  const mpz_class unit("1000000000000", 10);
  mpz_fdiv_qr(seconds.get_mpz_t(), rest.get_mpz_t(), ps.get_mpz_t(), unit.get_mpz_t());
  if (rest * 2 > unit || (rest * 2 == unit && mpz_odd_p(seconds.get_mpz_t()))) seconds += 1;
  const mpz_class a = abs(seconds);
  const auto two = [](const mpz_class& v) {
    const std::string s = v.get_str();
    return s.size() < 2 ? "0" + s : s;
  };
  std::string expected = seconds < 0 ? "-" : "";
  if (a < 60) {
    expected += a.get_str() + "s";
  } else if (a < 3600) {
    expected += mpz_class(a / 60).get_str() + "m" + two(a % 60) + "s";
  } else if (a < 86400) {
    expected += mpz_class(a / 3600).get_str() + "h" + two((a % 3600) / 60) + "m";
  } else {
    expected += mpz_class(a / 86400).get_str() + "d" + two((a % 86400) / 3600) + "h";
  }
  require(text == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto count = in.ConsumeIntegral<std::int64_t>();
  checkSize(count, in.ConsumeBool() ? pb::ByteUnits::Iec : pb::ByteUnits::Si);
  checkRate(count, in.ConsumeIntegral<std::int64_t>());
  checkHuman(in.ConsumeIntegral<std::int64_t>(), in.ConsumeIntegral<std::uint64_t>());
  return 0;
}
