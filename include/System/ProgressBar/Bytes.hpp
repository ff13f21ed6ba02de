// Byte-size labels: the counts of a bar read as bytes.
//
//   style.stylePostfix = bytes();                   // "1.21 GiB / 4.00 GiB"
#pragma once

#include <cstdint>

#include "System/ProgressBar/Counts.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Units.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helper of this header: appends `count` as a byte size.
void appendByteSize(Text& out, std::int64_t count, ByteUnits units);
}  // namespace detail

/// Done and todo as byte sizes: "1.21 GiB / 4.00 GiB". Three significant
/// digits with ties to even, from exact integer arithmetic; plain bytes below
/// 1 KiB (1 kB): "512 B / 1023 B"; the unit chosen so that the digits stay
/// below 1000 ("0.98 MiB", never "1000 KiB"); negative counts keep their sign.
template <class Custom = std::monostate>
Label<Custom> bytes(ByteUnits units = ByteUnits::Iec) {
  return detail::countLabel<Custom>([units](Text& out, std::int64_t done, std::int64_t todo) {
    detail::appendByteSize(out, done, units);
    out += " / ";
    detail::appendByteSize(out, todo, units);
  });
}

/// Done alone as a byte size: "1.21 GiB". For work whose total is not known.
template <class Custom = std::monostate>
Label<Custom> bytesDone(ByteUnits units = ByteUnits::Iec) {
  return detail::countLabel<Custom>([units](Text& out, std::int64_t done, std::int64_t) {
    detail::appendByteSize(out, done, units);
  });
}

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> bytes<std::monostate>(ByteUnits);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> bytesDone<std::monostate>(ByteUnits);

}  // namespace System::ProgressBar
