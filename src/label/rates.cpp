// Rates on average and at the recent speed.
#include "System/ProgressBar/Rates.hpp"

#include <cmath>
#include <cstdint>

#include "base/arithmetic.hpp"
#include "label/significant.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr const char* kSiPrefixes[] = {"", "k", "M", "G", "T", "P", "E", "Z", "Y", "R", "Q"};

// |done| per second over `ns` nanoseconds, as an exact fraction.
Significant averageRate(std::int64_t done, Int128 ns, unsigned base) {
  const UInt128 num = magnitude(done) * static_cast<UInt128>(kNanosPerSecond);
  return significant(num, static_cast<UInt128>(ns), base);
}

// A rate known only as a double, close enough as a fraction over 2^20.
Significant approximateRate(double perSecond, unsigned base) {
  const long double scaled = std::fabs(static_cast<long double>(perSecond)) * 1048576.0L;
  const long double cap = 0x1p110L;
  const UInt128 num = static_cast<UInt128>(std::isfinite(scaled) && scaled < cap ? scaled : cap);
  return significant(num, UInt128{1} << 20, base);
}

void writeRate(Text& out, const Significant& value, bool negative, std::string_view unit) {
  appendSignificant(out, value, negative);
  out += kSiPrefixes[value.prefix];
  out.push_back(' ');
  out += unit;
}

void writeByteRate(Text& out, const Significant& value, bool negative, ByteUnits units) {
  appendSignificant(out, value, negative);
  out.push_back(' ');
  out += byteUnit(units, value.prefix);
  out += "/s";
}

}  // namespace

bool appendAverageRate(Text& out, std::int64_t done, const Timing& timing, std::string_view unit) {
  const Int128 ns = nanosecondsBetween(timing.timingStart, timing.timingLastUpdate);
  if (ns <= 0) return false;
  writeRate(out, averageRate(done, ns, 1000), done < 0, unit);
  return true;
}

bool appendAverageByteRate(Text& out, std::int64_t done, const Timing& timing, ByteUnits units) {
  const Int128 ns = nanosecondsBetween(timing.timingStart, timing.timingLastUpdate);
  if (ns <= 0) return false;
  writeByteRate(out, averageRate(done, ns, byteBase(units)), done < 0, units);
  return true;
}

void appendRate(Text& out, double perSecond, std::string_view unit) {
  writeRate(out, approximateRate(perSecond, 1000), perSecond < 0, unit);
}

void appendByteRate(Text& out, double perSecond, ByteUnits units) {
  writeByteRate(out, approximateRate(perSecond, byteBase(units)), perSecond < 0, units);
}

std::optional<double> recentSpeed(std::chrono::nanoseconds halfLife, std::int64_t done,
                                  const Timing& timing) {
  if (timing.timingHistory != nullptr) {
    return timing.timingHistory->recentSpeed(halfLife, done, timing.timingLastUpdate);
  }
  const Int128 ns = nanosecondsBetween(timing.timingStart, timing.timingLastUpdate);
  if (ns <= 0) return std::nullopt;
  return static_cast<double>(done) / (static_cast<double>(ns) / kNanosPerSecond);
}

std::optional<Duration> timeLeftAt(double perSecond, std::int64_t done, std::int64_t todo) {
  if (!(perSecond > 0) || !std::isfinite(perSecond)) return std::nullopt;
  const long double seconds =
      static_cast<long double>(Int128{todo} - Int128{done}) / static_cast<long double>(perSecond);
  const long double picoseconds = seconds * static_cast<long double>(kPicosPerSecond);
  if (!std::isfinite(picoseconds) || std::fabs(picoseconds) >= 0x1p126L) return std::nullopt;
  return Duration::fromPicoseconds(static_cast<Int128>(std::floor(picoseconds)));
}

}  // namespace System::ProgressBar::detail
