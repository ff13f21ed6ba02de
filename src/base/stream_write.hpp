// Internal: writing to a stream through its buffer, as a draw does. Do not
// include from public headers.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iosfwd>
#include <string_view>

namespace System::ProgressBar::detail {

// Writes each piece in order (one write each), then flushes once. A stream
// that is not good before the draw, or a write or flush that fails, throws
// (the stream's own exception, or std::ios_base::failure). After a failure
// the error bits the draw caused are cleared if the stream was good before;
// bits set before the draw are left as they were.
void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces);
// As writeDraw for one piece, telling in `accepted` how many bytes went out:
// what the buffer took before it refused more, none when it threw or its
// flush failed.
void writeCounted(std::ostream& stream, std::string_view bytes, std::size_t& accepted);

}  // namespace System::ProgressBar::detail
