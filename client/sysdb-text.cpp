// Escaping and table layout of brimvale-sysdb's text output.
#include "sysdb-text.h"

#include <algorithm>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the
// byte there does not start one (overlong forms, surrogates and code points
// above U+10FFFF are invalid, as in the Unicode standard's table 3-7).
size_t Utf8SequenceAt(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t len;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < len; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

void AppendEscape(std::string& out, unsigned char byte) {
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    out += code;
}

}  // namespace

std::string EscapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        size_t len = Utf8SequenceAt(text, i);
        if (len == 0 || byte < 0x20 || byte == 0x7F || byte == '\\') {
            AppendEscape(out, byte);
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

size_t DisplayWidth(const std::string& utf8) {
    size_t width = 0;
    for (char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
    return width;
}

void Table::Print(std::ostream& out, bool aligned) const {
    std::vector<std::vector<std::string>> lines;
    lines.push_back(header_);
    for (const std::vector<std::string>& row : rows_) {
        std::vector<std::string> escaped;
        for (const std::string& cell : row)
            escaped.push_back(aligned && cell.empty() ? "-" : EscapeText(cell));
        lines.push_back(std::move(escaped));
    }
    std::vector<size_t> widths(header_.size(), 0);
    for (const std::vector<std::string>& line : lines)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(line[c]));

    for (const std::vector<std::string>& line : lines) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            text += line[c];
            if (c + 1 == line.size()) break;
            if (aligned)
                text += std::string(widths[c] - DisplayWidth(line[c]) + 2, ' ');
            else
                text += '\t';
        }
        out << text << '\n';
    }
}
