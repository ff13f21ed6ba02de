// fromString on arbitrary bytes: valid UTF-8 out, valid input unchanged, one
// U+FFFD per maximal ill-formed subsequence. The reference decoder works from
// the table of well-formed byte sequences directly.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "System/ProgressBar.hpp"
#include "reference_utf8.hpp"

namespace pb = System::ProgressBar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using reference::scan;
  using reference::Scan;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string output = pb::fromString(input).runLabel(pb::Progress<>{0, 0}, {});
  const Scan in = scan(input);
  const Scan out = scan(output);
  if (!out.valid) std::abort();
  if (in.valid && output != input) std::abort();
  if (out.replacements != in.replacements + in.illFormed) std::abort();
  return 0;
}
