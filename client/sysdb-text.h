// Text output of brimvale-sysdb: escaping of stored bytes and tables that
// are aligned for a reader at a terminal or one record per line for a script.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The bytes of `text` as printable text: valid UTF-8 stays as it is; every
// byte that is not part of a valid UTF-8 sequence, every control character
// (below 0x20, and 0x7f) and the backslash become \xNN (two lower-case hex
// digits), so that one record always stays on one line and an escape can be
// told from the text itself.
std::string EscapeText(const std::string& text);

// Columns of valid UTF-8 text as a terminal shows them: one per code point
// (wide characters are not told apart).
size_t DisplayWidth(const std::string& utf8);

// Records under a header. Cells are raw stored bytes; Print escapes them.
class Table {
  public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}

    // A record of as many cells as the header has columns.
    void Add(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

    // aligned: every column padded to its widest cell, two spaces apart, an
    // empty cell shown as "-". Otherwise each line is its cells joined by a
    // tab (escaped cells hold no tab). The header comes first either way.
    void Print(std::ostream& out, bool aligned) const;

  private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};
