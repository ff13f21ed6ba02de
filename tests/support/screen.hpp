// A terminal emulated by libvterm: tests feed it the bytes a display writes
// and read back what a person would see.
#pragma once

extern "C" {
#include <vterm.h>
}

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// What the tests ask of an emulated terminal.
class Terminal {
 public:
  virtual ~Terminal() = default;
  virtual void feed(std::string_view bytes) = 0;
  virtual void resize(int rows, int columns) = 0;
  // The scrollback and the screen, top to bottom, without the empty rows at
  // the end.
  virtual std::vector<std::string> lines() const = 0;
  // The screen's rows alone.
  virtual std::vector<std::string> visible() const = 0;
  virtual int cursorRow() const = 0;
};

class Screen final : public Terminal {
 public:
  Screen(int rows, int columns) : rows_(rows), columns_(columns), vt_(vterm_new(rows, columns)) {
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    static const VTermScreenCallbacks callbacks = [] {
      VTermScreenCallbacks c{};
      c.sb_pushline = &Screen::pushLine;
      return c;
    }();
    vterm_screen_set_callbacks(screen_, &callbacks, this);
    vterm_screen_reset(screen_, 1);
  }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  ~Screen() { vterm_free(vt_); }

  void feed(std::string_view bytes) override { vterm_input_write(vt_, bytes.data(), bytes.size()); }
  // A narrower or wider terminal; libvterm 0.1 cuts rows, it does not rewrap them.
  void resize(int rows, int columns) override {
    rows_ = rows;
    columns_ = columns;
    vterm_set_size(vt_, rows, columns);
  }

  // Row `r` as text, without trailing blanks.
  std::string row(int r) const {
    std::string text;
    for (int c = 0; c < columns_;) {
      VTermScreenCell cell{};
      vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
      if (cell.chars[0] == 0) {
        text.push_back(' ');
      } else {
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] != 0; ++i) {
          append(text, cell.chars[i]);
        }
      }
      c += cell.width > 0 ? cell.width : 1;
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }
  std::vector<std::string> lines() const override {
    std::vector<std::string> all = scrolled_;
    for (int r = 0; r < rows_; ++r) all.push_back(row(r));
    while (!all.empty() && all.back().empty()) all.pop_back();
    return all;
  }
  std::vector<std::string> visible() const override {
    std::vector<std::string> all;
    for (int r = 0; r < rows_; ++r) all.push_back(row(r));
    return all;
  }
  int cursorRow() const override {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.row;
  }
  int cursorColumn() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.col;
  }
  // The column of the first cell of row `r` that holds `c`; -1 if none does.
  int columnOf(int r, char32_t c) const {
    for (int col = 0; col < columns_;) {
      VTermScreenCell cell{};
      vterm_screen_get_cell(screen_, VTermPos{r, col}, &cell);
      if (cell.chars[0] == c) return col;
      col += cell.width > 0 ? cell.width : 1;
    }
    return -1;
  }
  // The foreground colour of a cell, as libvterm's palette index (-1: the
  // default colour).
  int colourAt(int r, int c) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
    if (VTERM_COLOR_IS_DEFAULT_FG(&cell.fg)) return -1;
    if (VTERM_COLOR_IS_INDEXED(&cell.fg)) return cell.fg.indexed.idx;
    return (cell.fg.rgb.red << 16) | (cell.fg.rgb.green << 8) | cell.fg.rgb.blue;
  }
  // Columns used by row `r` (wide characters count two).
  int usedColumns(int r) const {
    int used = 0;
    for (int c = 0; c < columns_;) {
      VTermScreenCell cell{};
      vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
      const int w = cell.width > 0 ? cell.width : 1;
      if (cell.chars[0] != 0 && cell.chars[0] != ' ') used = c + w;
      c += w;
    }
    return used;
  }

 private:
  static void append(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  static int pushLine(int columns, const VTermScreenCell* cells, void* user) {
    auto* self = static_cast<Screen*>(user);
    std::string text;
    for (int c = 0; c < columns;) {
      if (cells[c].chars[0] == 0) {
        text.push_back(' ');
      } else {
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cells[c].chars[i] != 0; ++i) {
          append(text, cells[c].chars[i]);
        }
      }
      c += cells[c].width > 0 ? cells[c].width : 1;
    }
    self->scrolled_.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
    return 1;
  }

  int rows_, columns_;
  VTerm* vt_;
  VTermScreen* screen_;
  std::vector<std::string> scrolled_;
};

}  // namespace testsupport
