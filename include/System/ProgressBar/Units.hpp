// The unit systems shared by the size and rate labels.
#pragma once

namespace System::ProgressBar {

/// How byte counts are scaled: IEC prefixes of 1024 (B, KiB, MiB, GiB, TiB,
/// PiB, EiB, ...) or SI prefixes of 1000 (B, kB, MB, GB, TB, PB, EB, ...).
enum class ByteUnits {
  Iec,
  Si,
};

}  // namespace System::ProgressBar
