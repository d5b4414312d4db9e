// Differential fuzzing of ustring: a program decoded from the input runs on a
// pool of ustrings and on a std::string model of their UTF-8 bytes, which must
// agree after every step; searches, comparisons, the UTF-16 form and normalising
// (against ICU itself) are checked on demand. The model adds what std::string
// lacks: forward searches and NUL-terminated or ustring sources stop at a NUL,
// UTF-16 units append their UTF-8 form to the bytes as they are, an unpaired
// surrogate empties the string. The unit tests run it on generated programs.
#include <unicode/unorm2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ustring.h"

namespace {

constexpr size_t npos = ustring::npos;
int g_op;  // the operation being checked, for the report

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "ustring model mismatch: %s (operation %d)\n", what, g_op);
    std::abort();
}
#define CHECK(cond) ((cond) ? void(0) : Fail(#cond))

// A position or count from k: mostly small, sometimes npos or just past len.
size_t Pick(uint8_t k, size_t len) {
    return k == 255 ? npos : k == 254 ? len + 1 : k % (len + 2);
}

// Reads bounded values from the fuzz input; reads past the end give zeros.
struct Input {
    const uint8_t* p;
    size_t n, i = 0;
    bool more() const { return i < n; }
    uint8_t u8() { return i < n ? p[i++] : 0; }
    size_t upto(size_t max) { return u8() % (max + 1); }
    size_t pos(size_t len) { return Pick(u8(), len); }
    size_t count() { return Pick(u8(), 22); }
    std::string bytes(size_t max) {
        std::string s;
        for (size_t len = upto(max); len > 0 && more(); --len) s.push_back(static_cast<char>(u8()));
        return s;
    }
    // Units without 0, many of them surrogates.
    std::u16string units(size_t max) {
        std::u16string s;
        for (size_t len = upto(max); len > 0 && more(); --len) {
            char16_t c = static_cast<char16_t>(u8() | (u8() << 8));
            if ((c & 0xC000) == 0x4000) c = static_cast<char16_t>(0xD800 | (c & 0x7FF));
            s.push_back(c == 0 ? u'a' : c);
        }
        return s;
    }
};

std::string CutAtNul(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF) to
// UTF-16; false on any invalid sequence.
bool ToUtf16(const std::string& s, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : c < 0xC2 ? 9 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF5 ? 3 : 9;
        if (n == 9 || i + n >= s.size() + (n == 0)) return false;
        char32_t cp = n == 0 ? c : c & (0x3F >> n);
        unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        for (size_t k = 1; k <= n; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            cp = 0xDC00 + (cp & 0x3FF);
        }
        out->push_back(static_cast<char16_t>(cp));
        i += n + 1;
    }
    return true;
}

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool ToUtf8(const std::u16string& w, std::string* out) {
    out->clear();
    for (size_t i = 0; i < w.size(); ++i) {
        char32_t cp = w[i];
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= w.size() || w[i + 1] < 0xDC00 || w[i + 1] > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[++i] - 0xDC00);
        }
        int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        // Lead byte: `extra` one-bits above a zero, then the top bits of cp.
        out->push_back(
            static_cast<char>(extra == 0 ? cp : (0xFF00 >> (extra + 1)) | (cp >> 6 * extra)));
        for (int k = extra - 1; k >= 0; --k)
            out->push_back(static_cast<char>(0x80 | ((cp >> 6 * k) & 0x3F)));
    }
    return true;
}

// The UTF-16 form of the bytes up to the first NUL; empty when invalid.
std::u16string Units(const std::string& m) {
    std::u16string w;
    return ToUtf16(CutAtNul(m), &w) ? w : std::u16string();
}
bool Valid(const std::string& m) {
    return !Units(m).empty() || CutAtNul(m).empty();
}
// The bytes after appending the units w to m (assigning: m empty).
std::string AppendUnits(const std::string& m, const std::u16string& w) {
    std::string add;
    return ToUtf8(w, &add) ? m + add : std::string();
}

// The searches: kind 0 find_first_of, 1 find_first_not_of, 2 find, 3
// find_last_of, 4 find_last_not_of, 5 rfind.
size_t Search(int kind, const std::string& m, const std::string& t, size_t pos) {
    auto hit = [&](size_t i) {
        return kind % 3 == 2 ? m.compare(i, t.size(), t) == 0
                             : (m[i] != '\0' && t.find(m[i]) != npos) == (kind % 3 == 0);
    };
    if (kind < 3) {
        if (pos >= m.size() || m[pos] == '\0') return npos;
        if (t.empty()) return kind == 0 ? npos : pos;
        for (size_t i = pos; i < m.size() && m[i] != '\0'; ++i)
            if (hit(i)) return i;
        return npos;
    }
    if (m.empty() || (kind == 3 && t.empty())) return npos;
    size_t start = pos < m.size() ? pos : m.size() - 1;
    if (t.empty()) return start;
    for (size_t i = start + 1; i-- > 0;)
        if (hit(i)) return i;
    return npos;
}

int Compare(const std::string& a, const std::string& b, bool caseless, size_t n) {
    auto fold = [caseless](int c) { return caseless && c >= 'A' && c <= 'Z' ? c + 32 : c; };
    for (size_t i = 0; i < n; ++i) {
        int ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        int cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        if (fold(ca) != fold(cb) || ca == 0) return fold(ca) - fold(cb);
    }
    return 0;
}

void CheckBytes(const ustring& u, const std::string& m) {
    CHECK(u.length() == m.size() && u.size() == m.size() && u.empty() == m.empty());
    CHECK(std::memcmp(u.c_str(), m.data(), m.size()) == 0 && u.c_str()[m.size()] == '\0');
}

void CheckUtf16(const ustring& u, const std::string& m) {
    const uchar16_t* w = u.c_str_utf16();
    CHECK(w != nullptr && Units(m) == w);
    CheckBytes(u, m);  // converting must not touch the bytes
}

std::u16string IcuNormalize(const std::u16string& src, bool nfc) {
    UErrorCode ec = U_ZERO_ERROR;
    const UNormalizer2* n2 =
        unorm2_getInstance(nullptr, "nfc", nfc ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &ec);
    std::u16string out(src.size() * 4 + 16, u'\0');
    int32_t len = unorm2_normalize(n2, src.data(), static_cast<int32_t>(src.size()), &out[0],
                                   static_cast<int32_t>(out.size()), &ec);
    CHECK(U_SUCCESS(ec));
    out.resize(static_cast<size_t>(len));
    return out;
}

void CheckNormalize(const ustring& u, const std::string& m) {
    CHECK(ustring::is_valid(u) == Valid(m));
    for (bool nfc : {true, false}) {
        ustring::normalization_form f = nfc ? ustring::NFC : ustring::NFD;
        std::string want = AppendUnits("", IcuNormalize(Units(m), nfc));  // invalid: empty
        CheckBytes(ustring::normalize(u, f), want);
        CheckBytes(ustring::normalize(u, f).normalize(f), want);
    }
    CheckBytes(u, m);
}

void CheckSearches(const ustring& u, const std::string& m, Input& in, const std::string& arg) {
    // The argument in all four forms; bytes after a NUL must be ignored.
    std::string set = CutAtNul(arg), tail = arg + std::string(1, '\0') + "zz";
    ustring uset(set.c_str());
    char c = arg.empty() ? '\0' : arg[0];
    std::string cset = CutAtNul(std::string(1, c));
    size_t fwd = in.pos(m.size()), back = in.upto(3) == 0 ? npos : in.pos(m.size());
#define FORMS(method, kind, p)                             \
    do {                                                   \
        size_t want = Search(kind, m, set, p);             \
        CHECK(u.method(set.c_str(), p) == want);           \
        CHECK(u.method(tail, p) == want);                  \
        CHECK(u.method(uset, p) == want);                  \
        CHECK(u.method(c, p) == Search(kind, m, cset, p)); \
    } while (0)
    FORMS(find_first_of, 0, fwd);
    FORMS(find_first_not_of, 1, fwd);
    FORMS(find, 2, fwd);
    FORMS(find_last_of, 3, back);
    FORMS(find_last_not_of, 4, back);
    FORMS(rfind, 5, back);
#undef FORMS
    CHECK(u.find(set.c_str()) == Search(2, m, set, 0));
    CHECK(u.rfind(set.c_str()) == Search(5, m, set, npos));
}

void CheckCompare(const ustring& a, const std::string& ma, const ustring& b, const std::string& mb,
                  size_t n) {
    int cs = Compare(ma, mb, false, npos);
    CHECK(ustring::compare(a, b, false) == cs && a.compare(b) == cs);
    CHECK(ustring::compare(a, b, true) == Compare(ma, mb, true, npos));
    CHECK(a.compare(b, n) == Compare(ma, mb, false, n));
    CHECK((a == b) == (cs == 0) && (a != b) == (cs != 0));
    CHECK((a < b) == (cs < 0) && (a > b) == (cs > 0));
    CHECK((a <= b) == (cs <= 0) && (a >= b) == (cs >= 0));
}

// Runs f, which must throw std::out_of_range(what) exactly when `bad`.
template <typename F>
void Throws(bool bad, const char* what, F f) {
    bool threw = false;
    try {
        f();
    } catch (const std::out_of_range& e) {
        threw = std::strcmp(e.what(), what) == 0;
    }
    CHECK(threw == bad);
}

constexpr int kPool = 3;

}  // namespace
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    ustring u[kPool];
    std::string m[kPool];

    for (int step = 0; step < 96 && in.more(); ++step) {
        g_op = in.u8() % 24;
        int a = in.u8() % kPool, b = in.u8() % kPool;
        ustring& x = u[a];
        std::string& mx = m[a];
        std::string s = in.bytes(40);
        std::u16string w = in.units(12);
        size_t len = in.count(), pos = in.pos((g_op == 3 ? s : g_op == 4 ? m[b] : mx).size());
        char c = static_cast<char>(in.u8());
        char16_t c16 = w.empty() ? u'\u00e9' : w[0];
        bool app = (in.u8() & 1), flip = (in.u8() & 1);
        std::string add;          // what a byte source stands for (ops 0-5)
        std::u16string part = w;  // what a UTF-16 source stands for (ops 6-8)
        switch (g_op) {
            case 0:
                app ? x.append(s.c_str()) : x.assign(s.c_str());
                add = CutAtNul(s);
                break;
            case 1:
                app ? x.append(s.c_str(), len) : x.assign(s.c_str(), len);
                add = CutAtNul(s).substr(0, len);
                break;
            case 2:  // copies of a byte, NUL included
                app ? x.append(c, len % 9) : x.assign(c, len % 9);
                add.assign(len % 9, c);
                break;
            case 3: {  // std::string with a position; bytes after a NUL ignored
                bool bad = pos > s.size();
                Throws(bad, "basic_string::substr",
                       [&] { app ? x.append(s, pos, len) : x.assign(s, pos, len); });
                add = bad ? std::string() : CutAtNul(s.substr(pos, len));
                break;
            }
            case 4: {  // ustring with a position, self included
                bool bad = pos > m[b].size();
                Throws(bad, "substr",
                       [&] { app ? x.append(u[b], pos, len) : x.assign(u[b], pos, len); });
                add = bad ? (a == b && !app ? mx : "") : CutAtNul(m[b].substr(pos, len));
                break;
            }
            case 5:  // operators with a ustring, a std::string or a char
                add = flip ? CutAtNul(m[b]) : len % 2 ? CutAtNul(s) : std::string(1, c);
                if (flip) app ? (x += u[b]) : (x = u[b]);
                if (!flip && len % 2) app ? (x += s) : (x = s);
                if (!flip && len % 2 == 0) app ? (x += c) : (x = c);
                break;
            case 6:
                if (flip) app ? (x += w.c_str()) : (x = w.c_str());
                if (!flip) app ? x.append(w.c_str()) : x.assign(w.c_str());
                break;
            case 7:
                app ? x.append(w.c_str(), len) : x.assign(w.c_str(), len);
                part = w.substr(0, len);
                break;
            case 8:  // copies of a unit
                if (flip) app ? (x += c16) : (x = c16);
                if (!flip) app ? x.append(c16, len % 6) : x.assign(c16, len % 6);
                part.assign(flip ? 1 : len % 6, c16);
                break;
            case 9: {  // a pointer to the own text, or into it, stands for its tail
                size_t k = mx.empty() ? 0 : pos % mx.size();
                size_t n = flip ? len : npos;
                std::string tail = CutAtNul(mx.substr(k)).substr(0, n);
                if (app) {
                    flip ? x.append(x.c_str() + k, n) : x.append(x.c_str() + k);
                    mx += tail;
                } else {
                    flip ? x.assign(x.c_str() + k, n) : x.assign(x.c_str() + k);
                    if (k > 0) mx = tail;  // the own start: unchanged, or cut to n bytes
                    if (k == 0 && n < mx.size()) mx.resize(n);
                }
                break;
            }
            case 10: {  // the own UTF-16 form as the source, on valid text
                if (mx.empty() || mx.find('\0') != npos || !Valid(mx)) break;
                std::u16string own = Units(mx), head = own.substr(0, flip ? len : npos);
                if (app) {
                    flip ? x.append(x.c_str_utf16(), len) : x.append(x.c_str_utf16());
                    mx = AppendUnits(mx, head);
                } else {
                    flip ? x.assign(x.c_str_utf16(), len) : x.assign(x.c_str_utf16());
                    if (head.size() < own.size()) mx = AppendUnits("", head);
                }
                break;
            }
            case 11: {  // substr
                bool bad = pos > mx.size();
                ustring r;
                Throws(bad, "substr", [&] { r = x.substr(pos, len); });
                if (!bad) CheckBytes(r, CutAtNul(mx.substr(pos, len)));
                break;
            }
            case 12: {  // trims, with a const char* or a ustring list
                std::string list = CutAtNul(s.substr(0, 6));
                bool left = app || flip, right = !app || flip;
                // The list holds no NUL, so a NUL is never stripped.
                if (left) mx.erase(0, std::min(mx.find_first_not_of(list), mx.size()));
                if (right) mx.erase(mx.find_last_not_of(list) + 1);  // npos + 1: all of it
                ustring ulist(list.c_str());
                if (left && right) len % 2 ? x.trim(ulist) : x.trim(list.c_str());
                if (!right) len % 2 ? x.ltrim(ulist) : x.ltrim(list.c_str());
                if (!left) len % 2 ? x.rtrim(ulist) : x.rtrim(list.c_str());
                break;
            }
            case 13: {  // replace(c1, c2), up to the first NUL
                char from = mx.empty() || flip ? c : mx[pos % mx.size()];
                for (size_t i = 0; i < mx.size() && mx[i] != '\0'; ++i)
                    if (mx[i] == from) mx[i] = s.empty() ? 'r' : s[0];
                x.replace(from, s.empty() ? 'r' : s[0]);
                break;
            }
            case 14:  // searches with a random argument, or a piece of the text
                if (flip && !mx.empty()) s = mx.substr(pos % mx.size(), len % 5);
                CheckSearches(x, mx, in, s.substr(0, 4));
                break;
            case 15:
                CheckCompare(x, mx, u[b], m[b], len);
                break;
            case 16:  // swap, or a move away and on: the source is left empty
                if (len % 3 == 0) {
                    ustring taken(std::move(x));
                    CheckUtf16(x, "");
                    u[b] = std::move(taken);
                    std::string moved;
                    moved.swap(mx);
                    m[b].swap(moved);
                } else {
                    flip ? x.swap(u[b]) : swap(x, u[b]);
                    std::swap(mx, m[b]);
                }
                break;
            case 17: {  // new strings: concatenation and constructors
                std::string left = CutAtNul(mx);
                CheckBytes(ustring(x), left);
                CheckBytes(ustring(s), CutAtNul(s));
                CheckBytes(ustring(s.c_str()), CutAtNul(s));
                CheckBytes(ustring(c), std::string(1, c));
                CheckBytes(x + u[b], left + CutAtNul(m[b]));
                CheckBytes(x + s.c_str(), left + CutAtNul(s));
                CheckBytes(x + c, left + c);
                CheckBytes(x + w.c_str(), AppendUnits(left, w));
                CheckBytes(x + c16, AppendUnits(left, std::u16string(1, c16)));
                break;
            }
            case 18:  // UTF-8 -> UTF-16 -> UTF-8 is the identity on valid text
                CheckUtf16(x, mx);
                if (Valid(mx)) CheckBytes(ustring(x.c_str_utf16()), CutAtNul(mx));
                CheckNormalize(x, mx);
                break;
            case 19: {  // streams: insertion up to the first NUL, extraction of a word
                std::ostringstream os;
                std::istringstream is1(s), is2(s);
                std::string word;
                os << x;
                is1 >> word;
                is2 >> x;
                CHECK(os.str() == CutAtNul(mx) && bool(is1) == bool(is2));
                // What a failed extraction leaves behind is not promised.
                mx = is1 ? CutAtNul(word) : std::string(x.c_str(), x.length());
                break;
            }
            case 20: {  // byte access; a write through it drops the UTF-16 form
                if (mx.empty()) break;
                size_t i = pos % mx.size();
                CHECK(static_cast<const ustring&>(x)[i] == mx[i]);
                CheckUtf16(x, mx);
                if (flip) x[i] = mx[i] = static_cast<char>(c | 1);
                CheckUtf16(x, mx);
                break;
            }
            default: {  // text that keeps the program interesting
                static const char* const kPieces[] = {
                    "abc",       "/a/b//",       "\xc3\xa9", "e\xcc\x81", "\xf0\x9f\x98\x80",
                    "A\xcc\x8a", "\xed\xa0\x80", "\xc3",     "\x80",      "  x "};
                x.append(kPieces[len % 10]);
                mx += kPieces[len % 10];
                break;
            }
        }
        if (g_op < 6) mx = app ? mx + add : add;
        if (g_op >= 6 && g_op < 9) mx = AppendUnits(app ? mx : "", part);
        CheckBytes(x, mx);
        CheckBytes(u[b], m[b]);
        if (mx.size() > 4096) {  // self-appends double the text: keep it bounded
            x.clear();
            mx.clear();
        }
    }
    return 0;
}
