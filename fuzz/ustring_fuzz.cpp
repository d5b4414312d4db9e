// Differential fuzzing of ustring: a program of string operations is decoded
// from the input and run on a small pool of ustrings and, beside them, on a
// std::string model of each string's UTF-8 bytes. After every operation the
// bytes, the length, every search result and every comparison must agree
// with the model; the UTF-16 form must be the conversion of the bytes up to
// the first NUL; normalisation must match ICU applied directly and be
// idempotent.
//
// The model encodes the documented semantics that a plain std::string does
// not have: forward searches stop at the first NUL byte, NUL-terminated
// arguments are cut at their NUL, substr and ustring sources stop at the
// first NUL, appending UTF-16 units adds their UTF-8 form to the existing
// bytes (kept as they are, past an embedded NUL or invalid sequence too),
// and an unpaired surrogate empties the string.
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

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

[[noreturn]] void Fail(const char* what, int op) {
    std::fprintf(stderr, "ustring model mismatch: %s (operation %d)\n", what, op);
    std::abort();
}
#define CHECK(cond, op)                 \
    do {                                \
        if (!(cond)) Fail(#cond, (op)); \
    } while (0)

// Reads bounded values from the fuzz input; reads past the end give zeros.
class Input {
  public:
    Input(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool more() const { return i_ < n_; }
    uint8_t u8() { return i_ < n_ ? p_[i_++] : 0; }
    size_t upto(size_t max) { return max == 0 ? 0 : u8() % (max + 1); }
    // A position argument: mostly small, sometimes npos or just past the end.
    size_t pos(size_t len) {
        uint8_t k = u8();
        if (k == 255) return npos;
        if (k == 254) return len + 1;
        return k % (len + 2);
    }
    // A count argument: small, or npos.
    size_t count() {
        uint8_t k = u8();
        return k >= 250 ? npos : k % 24;
    }
    std::string bytes(size_t max) {
        size_t len = upto(max);
        std::string s;
        while (len-- > 0 && i_ < n_) s.push_back(static_cast<char>(p_[i_++]));
        return s;
    }
    std::u16string units(size_t max) {
        size_t len = upto(max);
        std::u16string s;
        while (len-- > 0 && i_ + 1 < n_) {
            char16_t c = static_cast<char16_t>(p_[i_] | (p_[i_ + 1] << 8));
            i_ += 2;
            // Keep most units in the plain and surrogate ranges that matter.
            if ((c & 0xC000) == 0x4000) c = static_cast<char16_t>(0xD800 | (c & 0x7FF));
            if (c == 0) c = u'a';
            s.push_back(c);
        }
        return s;
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

std::string CutAtNul(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

// Strict UTF-8 decoding (the well-formed sequences of the Unicode standard:
// no overlongs, no surrogates, nothing above U+10FFFF). s holds no NUL.
bool DecodeUtf8(const std::string& s, std::u32string* out) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            cp = c;
            n = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + n >= s.size() && n > 0) return false;
        for (size_t k = 1; k <= n; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            unsigned char l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
            if (d < l || d > h) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (out) out->push_back(cp);
        i += n + 1;
    }
    return true;
}

bool ValidUtf8(const std::string& s) {
    return DecodeUtf8(s, nullptr);
}

std::u16string ToUtf16(const std::string& s) {
    std::u32string cps;
    DecodeUtf8(s, &cps);
    std::u16string w;
    for (char32_t cp : cps) {
        if (cp < 0x10000) {
            w.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            w.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            w.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
    }
    return w;
}

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool FromUtf16(const std::u16string& w, std::string* out) {
    std::string s;
    for (size_t i = 0; i < w.size(); ++i) {
        char32_t cp = w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= w.size() || w[i + 1] < 0xDC00 || w[i + 1] > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            s.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    *out = s;
    return true;
}

// The UTF-16 form the string holds or would produce: the conversion of the
// bytes up to the first NUL, or nothing when they are not valid UTF-8.
std::u16string HeldUnits(const std::string& m) {
    std::string c = CutAtNul(m);
    return ValidUtf8(c) ? ToUtf16(c) : std::u16string();
}

// The bytes after a UTF-16 operation left `units` as the UTF-16 form.
std::string Rebuild(const std::u16string& units) {
    std::string s;
    return FromUtf16(units, &s) ? s : std::string();
}

// The bytes after appending UTF-16 units: the existing bytes are kept as
// they are (also past an embedded NUL, also when they are not valid UTF-8)
// and the units are added in UTF-8; an unpaired surrogate empties the string.
std::string AppendUnits(const std::string& m, const std::u16string& units) {
    std::string add;
    return FromUtf16(units, &add) ? m + add : std::string();
}

// ---- search model ----------------------------------------------------------

bool Agrees(size_t got, size_t want, size_t) {
    return got == want;
}

bool InSet(const std::string& set, char c) {
    return c != '\0' && set.find(c) != std::string::npos;
}

// End of a forward scan from pos: the first NUL at or after pos, or length.
size_t ScanEnd(const std::string& m, size_t pos) {
    size_t z = m.find('\0', pos);
    return z == std::string::npos ? m.size() : z;
}

size_t FirstOf(const std::string& m, const std::string& set, size_t pos) {
    if (pos >= m.size() || set.empty()) return npos;
    for (size_t i = pos, e = ScanEnd(m, pos); i < e; ++i)
        if (InSet(set, m[i])) return i;
    return npos;
}

size_t FirstNotOf(const std::string& m, const std::string& set, size_t pos) {
    if (pos >= m.size()) return npos;
    if (set.empty()) return m[pos] == '\0' ? npos : pos;  // a NUL at pos ends the scan first
    for (size_t i = pos, e = ScanEnd(m, pos); i < e; ++i)
        if (!InSet(set, m[i])) return i;
    return npos;
}

bool MatchAt(const std::string& m, const std::string& pat, size_t i) {
    return i + pat.size() <= m.size() && m.compare(i, pat.size(), pat) == 0;
}

size_t Find(const std::string& m, const std::string& pat, size_t pos) {
    if (pos >= m.size()) return npos;
    if (pat.empty()) return m[pos] == '\0' ? npos : pos;
    for (size_t i = pos, e = ScanEnd(m, pos); i < e; ++i)
        if (MatchAt(m, pat, i)) return i;
    return npos;
}

size_t BackStart(const std::string& m, size_t pos) {
    return pos < m.size() ? pos : m.size() - 1;
}

size_t LastOf(const std::string& m, const std::string& set, size_t pos) {
    if (m.empty() || set.empty()) return npos;
    for (size_t i = BackStart(m, pos) + 1; i-- > 0;)
        if (InSet(set, m[i])) return i;
    return npos;
}

size_t LastNotOf(const std::string& m, const std::string& set, size_t pos) {
    if (m.empty()) return npos;
    size_t start = BackStart(m, pos);
    if (set.empty()) return start;
    for (size_t i = start + 1; i-- > 0;)
        if (!InSet(set, m[i])) return i;
    return npos;
}

size_t RFind(const std::string& m, const std::string& pat, size_t pos) {
    if (m.empty()) return npos;
    size_t start = BackStart(m, pos);
    if (pat.empty()) return start;
    for (size_t i = start + 1; i-- > 0;)
        if (MatchAt(m, pat, i)) return i;
    return npos;
}

int ModelCompare(const std::string& a, const std::string& b, bool caseless, size_t n) {
    auto fold = [caseless](unsigned char c) -> int {
        return (caseless && c >= 'A' && c <= 'Z') ? c + 32 : c;
    };
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        int fa = fold(ca), fb = fold(cb);
        if (fa != fb || ca == 0) return fa - fb;
    }
    return 0;
}

// ---- checks ------------------------------------------------------------------

std::string Hex(const char* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(p[i]));
        s += b;
    }
    return s;
}

void CheckBytes(const ustring& u, const std::string& m, int op) {
    if (u.length() != m.size() || std::memcmp(u.c_str(), m.data(), m.size()) != 0)
        std::fprintf(stderr, "ustring holds [%s], model [%s]\n", Hex(u.c_str(), u.length()).c_str(),
                     Hex(m.data(), m.size()).c_str());
    CHECK(u.length() == m.size(), op);
    CHECK(u.size() == m.size(), op);
    CHECK(u.empty() == m.empty(), op);
    CHECK(std::memcmp(u.c_str(), m.data(), m.size()) == 0, op);
    CHECK(u.c_str()[m.size()] == '\0', op);
    CHECK(u.c_str_utf8() == u.c_str(), op);
}

void CheckUtf16(const ustring& u, const std::string& m, int op) {
    std::u16string want = HeldUnits(m);
    const uchar16_t* w = u.c_str_utf16();
    CHECK(w != nullptr, op);
    CHECK(std::char_traits<char16_t>::length(w) == want.size(), op);
    CHECK(want.compare(0, want.size(), w, want.size()) == 0, op);
    CheckBytes(u, m, op);  // converting must not touch the bytes
}

std::u16string IcuNormalize(const std::u16string& src, bool nfc) {
    UErrorCode ec = U_ZERO_ERROR;
    const UNormalizer2* n2 =
        unorm2_getInstance(nullptr, "nfc", nfc ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &ec);
    if (U_FAILURE(ec) || !n2) std::abort();
    int32_t need =
        unorm2_normalize(n2, src.data(), static_cast<int32_t>(src.size()), nullptr, 0, &ec);
    ec = U_ZERO_ERROR;
    std::u16string out(static_cast<size_t>(need) + 1, u'\0');
    int32_t len = unorm2_normalize(n2, src.data(), static_cast<int32_t>(src.size()), &out[0],
                                   static_cast<int32_t>(out.size()), &ec);
    if (U_FAILURE(ec)) std::abort();
    out.resize(static_cast<size_t>(len));
    return out;
}

void CheckNormalize(const ustring& u, const std::string& m, int op) {
    std::string c = CutAtNul(m);
    bool valid = ValidUtf8(c);
    CHECK(ustring::is_valid(u) == valid, op);
    for (int form = 0; form < 2; ++form) {
        ustring::normalization_form f = form == 0 ? ustring::NFC : ustring::NFD;
        ustring r = ustring::normalize(u, f);
        std::string want = valid ? Rebuild(IcuNormalize(ToUtf16(c), form == 0)) : std::string();
        CheckBytes(r, want, op);
        CHECK(ustring::is_valid(r), op);
        ustring again = r.normalize(f);
        CheckBytes(again, want, op);
    }
    CheckBytes(u, m, op);
}

void CheckSearches(const ustring& u, const std::string& m, Input& in, const std::string& setc,
                   int op) {
    // The argument in all four forms; the std::string form may carry bytes
    // after a NUL, which must be ignored.
    std::string set = CutAtNul(setc);
    std::string tail = setc + std::string(1, '\0') + "zz";
    ustring uset(set.c_str());
    char c = setc.empty() ? '\0' : setc[0];
    std::string cset = c ? std::string(1, c) : std::string();
    size_t pos = in.pos(m.size());
    size_t bpos = in.upto(3) == 0 ? npos : in.pos(m.size());

#define SEARCH4(method, model, p)                                \
    do {                                                         \
        size_t want = model(m, set, p);                          \
        CHECK(Agrees(u.method(set.c_str(), p), want, p), op);    \
        CHECK(Agrees(u.method(tail, p), want, p), op);           \
        CHECK(Agrees(u.method(uset, p), want, p), op);           \
        CHECK(Agrees(u.method(c, p), model(m, cset, p), p), op); \
    } while (0)

    SEARCH4(find_first_of, FirstOf, pos);
    SEARCH4(find_first_not_of, FirstNotOf, pos);
    SEARCH4(find, Find, pos);
    SEARCH4(find_last_of, LastOf, bpos);
    SEARCH4(find_last_not_of, LastNotOf, bpos);
    SEARCH4(rfind, RFind, bpos);
#undef SEARCH4
    // Default arguments.
    CHECK(Agrees(u.find(set.c_str()), Find(m, set, 0), 0), op);
    CHECK(u.rfind(set.c_str()) == RFind(m, set, npos), op);
}

void CheckCompare(const ustring& a, const std::string& ma, const ustring& b, const std::string& mb,
                  size_t n, int op) {
    int cs = ModelCompare(ma, mb, false, npos);
    CHECK(ustring::compare(a, b, false) == cs, op);
    CHECK(ustring::compare(a, b, true) == ModelCompare(ma, mb, true, npos), op);
    CHECK(a.compare(b) == cs, op);
    CHECK(a.compare(b, n) == ModelCompare(ma, mb, false, n), op);
    CHECK((a == b) == (cs == 0), op);
    CHECK((a != b) == (cs != 0), op);
    CHECK((a < b) == (cs < 0), op);
    CHECK((a > b) == (cs > 0), op);
    CHECK((a <= b) == (cs <= 0), op);
    CHECK((a >= b) == (cs >= 0), op);
}

// Runs f, which must throw std::out_of_range with `what` exactly when
// `expect_throw` is set.
template <typename F>
void ExpectThrow(bool expect_throw, const char* what, F f, int op) {
    bool threw = false;
    try {
        f();
    } catch (const std::out_of_range& e) {
        threw = true;
        CHECK(std::strcmp(e.what(), what) == 0, op);
    }
    CHECK(threw == expect_throw, op);
}

constexpr int kPool = 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    ustring u[kPool];
    std::string m[kPool];

    for (int step = 0; step < 96 && in.more(); ++step) {
        int op = in.u8() % 40;
        int a = in.u8() % kPool;
        int b = in.u8() % kPool;
        ustring& x = u[a];
        std::string& mx = m[a];

        switch (op) {
            case 0: {  // assign(const char*)
                std::string s = in.bytes(40);
                x.assign(s.c_str());
                mx = CutAtNul(s);
                break;
            }
            case 1: {  // append(const char*)
                std::string s = in.bytes(40);
                x.append(s.c_str());
                mx += CutAtNul(s);
                break;
            }
            case 2: {  // append(const char*, len)
                std::string s = in.bytes(40);
                size_t len = in.count();
                x.append(s.c_str(), len);
                mx += CutAtNul(s).substr(0, len);
                break;
            }
            case 3: {  // assign(const char*, len)
                std::string s = in.bytes(40);
                size_t len = in.count();
                x.assign(s.c_str(), len);
                mx = CutAtNul(s).substr(0, len);
                break;
            }
            case 4: {  // own bytes appended: doubled up to the first NUL
                x.append(x.c_str());
                mx += CutAtNul(mx);
                break;
            }
            case 5: {  // own bytes appended with a count
                size_t len = in.count();
                x.append(x.c_str(), len);
                mx += CutAtNul(mx.substr(0, len));
                break;
            }
            case 6: {  // own bytes assigned: unchanged, or truncated by a count
                if (in.u8() & 1) {
                    x.assign(x.c_str());
                } else {
                    size_t len = in.count();
                    x.assign(x.c_str(), len);
                    if (len < mx.size()) mx.resize(len);
                }
                break;
            }
            case 7: {  // append(char, n) / assign(char, n), NUL included
                char c = static_cast<char>(in.u8());
                size_t n = in.upto(8);
                if (in.u8() & 1) {
                    x.append(c, n);
                    mx += std::string(n, c);
                } else {
                    x.assign(c, n);
                    mx.assign(n, c);
                }
                break;
            }
            case 8: {  // append(const ustring&, pos, len), self included
                size_t pos = in.pos(m[b].size());
                size_t len = in.count();
                bool bad = pos > m[b].size();
                std::string add = bad ? std::string() : CutAtNul(m[b].substr(pos, len));
                ExpectThrow(
                    bad, "substr", [&] { x.append(u[b], pos, len); }, op);
                mx += add;
                break;
            }
            case 9: {  // assign(const ustring&, pos, len), self included
                size_t pos = in.pos(m[b].size());
                size_t len = in.count();
                bool bad = pos > m[b].size();
                std::string val = bad ? std::string() : CutAtNul(m[b].substr(pos, len));
                ExpectThrow(
                    bad, "substr", [&] { x.assign(u[b], pos, len); }, op);
                if (!bad)
                    mx = val;
                else if (a != b)
                    mx.clear();
                break;
            }
            case 10: {  // std::string forms, bytes after a NUL ignored
                std::string s = in.bytes(40);
                size_t pos = in.pos(s.size());
                size_t len = in.count();
                bool bad = pos > s.size();
                std::string val = bad ? std::string() : CutAtNul(s.substr(pos, len));
                if (in.u8() & 1) {
                    ExpectThrow(
                        bad, "basic_string::substr", [&] { x.append(s, pos, len); }, op);
                    mx += val;
                } else {
                    ExpectThrow(
                        bad, "basic_string::substr", [&] { x.assign(s, pos, len); }, op);
                    mx = val;
                }
                break;
            }
            case 11: {  // operators with ustring, std::string, char, const char*
                std::string s = in.bytes(16);
                switch (in.u8() % 6) {
                    case 0:
                        x = u[b];
                        mx = CutAtNul(m[b]);
                        break;
                    case 1:
                        x += u[b];
                        mx += CutAtNul(m[b]);
                        break;
                    case 2:
                        x = s;
                        mx = CutAtNul(s);
                        break;
                    case 3:
                        x += s;
                        mx += CutAtNul(s);
                        break;
                    case 4: {
                        char c = static_cast<char>(in.u8());
                        x = c;
                        mx.assign(1, c);
                        break;
                    }
                    default: {
                        char c = static_cast<char>(in.u8());
                        x += c;
                        mx.push_back(c);
                        break;
                    }
                }
                break;
            }
            case 12: {  // UTF-16 append(const uchar16_t*)
                std::u16string w = in.units(12);
                x.append(w.c_str());
                mx = AppendUnits(mx, w);
                break;
            }
            case 13: {  // UTF-16 append(const uchar16_t*, len)
                std::u16string w = in.units(12);
                size_t len = in.count();
                x.append(w.c_str(), len);
                mx = AppendUnits(mx, w.substr(0, len));
                break;
            }
            case 14: {  // UTF-16 assign forms
                std::u16string w = in.units(12);
                size_t len = in.count();
                if (in.u8() & 1) {
                    x.assign(w.c_str());
                    mx = Rebuild(w);
                } else {
                    x.assign(w.c_str(), len);
                    mx = Rebuild(w.substr(0, len));
                }
                break;
            }
            case 15: {  // UTF-16 unit copies
                char16_t c = static_cast<char16_t>(in.u8() | (in.u8() << 8));
                if (c == 0) c = u'x';
                size_t n = in.upto(5);
                if (in.u8() & 1) {
                    x.append(c, n);
                    mx = AppendUnits(mx, std::u16string(n, c));
                } else {
                    x.assign(c, n);
                    mx = Rebuild(std::u16string(n, c));
                }
                break;
            }
            case 16: {  // UTF-16 operators
                std::u16string w = in.units(8);
                if (in.u8() & 1) {
                    x += w.c_str();
                    mx = AppendUnits(mx, w);
                } else {
                    x = w.c_str();
                    mx = Rebuild(w);
                }
                break;
            }
            case 17: {  // own UTF-16 form as the source, on valid NUL-free text
                if (mx.empty() || mx.find('\0') != std::string::npos || !ValidUtf8(mx)) break;
                std::u16string w = ToUtf16(mx);
                size_t len = in.count();
                switch (in.u8() % 4) {
                    case 0:
                        x.append(x.c_str_utf16());
                        mx = AppendUnits(mx, w);
                        break;
                    case 1:
                        x.append(x.c_str_utf16(), len);
                        mx = AppendUnits(mx, w.substr(0, len));
                        break;
                    case 2:
                        x.assign(x.c_str_utf16());
                        break;
                    default:
                        x.assign(x.c_str_utf16(), len);
                        if (len < w.size()) mx = Rebuild(w.substr(0, len));
                        break;
                }
                break;
            }
            case 18: {  // substr
                size_t start = in.pos(mx.size());
                size_t len = in.count();
                bool bad = start > mx.size();
                ustring r;
                ExpectThrow(
                    bad, "substr", [&] { r = x.substr(start, len); }, op);
                if (!bad) CheckBytes(r, CutAtNul(mx.substr(start, len)), op);
                break;
            }
            case 19: {  // trims with const char* or ustring sets
                std::string list = CutAtNul(in.bytes(6));
                int which = in.u8() % 6;
                bool left = which % 3 != 1, right = which % 3 != 0;
                if (!mx.empty() && !list.empty()) {
                    if (left) {
                        size_t k = 0;
                        while (k < mx.size() && InSet(list, mx[k])) ++k;
                        mx.erase(0, k);
                    }
                    if (right && !mx.empty()) {
                        size_t k = mx.size();
                        while (k > 0 && InSet(list, mx[k - 1])) --k;
                        mx.resize(k);
                    }
                }
                ustring ulist(list.c_str());
                bool use_u = which >= 3;
                if (left && right)
                    use_u ? x.trim(ulist) : x.trim(list.c_str());
                else if (left)
                    use_u ? x.ltrim(ulist) : x.ltrim(list.c_str());
                else
                    use_u ? x.rtrim(ulist) : x.rtrim(list.c_str());
                break;
            }
            case 20: {  // replace(c1, c2), up to the first NUL
                char c1 = static_cast<char>(in.u8());
                char c2 = static_cast<char>(in.u8());
                if (in.u8() & 1) {  // pick a byte that occurs
                    if (!mx.empty()) c1 = mx[in.upto(mx.size() - 1)];
                }
                for (size_t i = 0, e = ScanEnd(mx, 0); i < e; ++i)
                    if (mx[i] == c1) mx[i] = c2;
                x.replace(c1, c2);
                break;
            }
            case 21: {  // searches with a random argument
                CheckSearches(x, mx, in, in.bytes(4), op);
                break;
            }
            case 22: {  // searches with a piece of the string itself
                std::string pat;
                if (!mx.empty()) {
                    size_t p = in.upto(mx.size() - 1);
                    pat = mx.substr(p, in.upto(4));
                }
                CheckSearches(x, mx, in, pat, op);
                break;
            }
            case 23: {  // comparisons
                CheckCompare(x, mx, u[b], m[b], in.count(), op);
                break;
            }
            case 24: {  // swap, member and free
                if (in.u8() & 1)
                    x.swap(u[b]);
                else
                    swap(x, u[b]);
                std::swap(mx, m[b]);
                break;
            }
            case 25: {  // clear
                x.clear();
                mx.clear();
                break;
            }
            case 26: {  // concatenation
                std::string s = in.bytes(12);
                std::u16string w = in.units(4);
                ustring r;
                std::string want;
                switch (in.u8() % 5) {
                    case 0:
                        r = x + u[b];
                        want = CutAtNul(mx) + CutAtNul(m[b]);
                        break;
                    case 1:
                        r = x + s.c_str();
                        want = CutAtNul(mx) + CutAtNul(s);
                        break;
                    case 2: {
                        char c = s.empty() ? 'q' : s[0];
                        r = x + c;
                        want = CutAtNul(mx) + c;
                        break;
                    }
                    case 3:
                        r = x + w.c_str();
                        want = AppendUnits(CutAtNul(mx), w);
                        break;
                    default: {
                        char16_t c = w.empty() ? u'\u00e9' : w[0];
                        r = x + c;
                        want = AppendUnits(CutAtNul(mx), std::u16string(1, c));
                        break;
                    }
                }
                CheckBytes(r, want, op);
                break;
            }
            case 27: {  // UTF-8 -> UTF-16 -> UTF-8 is the identity on valid text
                CheckUtf16(x, mx, op);
                std::string c = CutAtNul(mx);
                if (ValidUtf8(c)) {
                    ustring back(x.c_str_utf16());
                    CheckBytes(back, c, op);
                }
                break;
            }
            case 28: {  // normalisation and validity
                CheckNormalize(x, mx, op);
                break;
            }
            case 29: {  // constructors
                std::string s = in.bytes(16);
                switch (in.u8() % 5) {
                    case 0: {
                        ustring t(x);
                        CheckBytes(t, CutAtNul(mx), op);
                        break;
                    }
                    case 1: {
                        ustring t(s);
                        CheckBytes(t, CutAtNul(s), op);
                        break;
                    }
                    case 2: {
                        ustring t(s.c_str());
                        CheckBytes(t, CutAtNul(s), op);
                        break;
                    }
                    case 3: {
                        char c = s.empty() ? '\0' : s[0];
                        ustring t(c);
                        CheckBytes(t, std::string(1, c), op);
                        break;
                    }
                    default: {
                        ustring t(std::move(u[b]));
                        CheckBytes(t, m[b], op);
                        CheckBytes(u[b], std::string(), op);
                        u[b] = t;
                        m[b] = CutAtNul(m[b]);
                        break;
                    }
                }
                break;
            }
            case 30: {  // stream insertion writes up to the first NUL
                std::ostringstream os;
                os << x;
                CHECK(os.str() == CutAtNul(mx), op);
                break;
            }
            case 31: {  // stream extraction reads one word
                std::string s = in.bytes(20);
                std::istringstream is1(s), is2(s);
                std::string word;
                is1 >> word;
                is2 >> x;
                CHECK(static_cast<bool>(is1) == static_cast<bool>(is2), op);
                // What a failed extraction leaves behind is not promised.
                if (is1)
                    mx = CutAtNul(word);
                else
                    mx.assign(x.c_str(), x.length());
                break;
            }
            case 32: {  // byte access, const and non-const
                if (mx.empty()) break;
                size_t i = in.upto(mx.size() - 1);
                const ustring& cx = x;
                CHECK(cx[i] == mx[i], op);
                if (in.u8() & 1) {
                    char c = static_cast<char>(in.u8() | 1);
                    x[i] = c;
                    mx[i] = c;
                }
                break;
            }
            case 33: {  // UTF-16 form after a change through operator[]
                CheckUtf16(x, mx, op);
                break;
            }
            case 34: {  // a pointer into the own text stands for its tail
                if (mx.empty()) break;
                size_t k = in.upto(mx.size() - 1);
                std::string tail = CutAtNul(mx.substr(k));
                switch (in.u8() % 3) {
                    case 0:
                        x.append(x.c_str() + k);
                        mx += tail;
                        break;
                    case 1: {
                        size_t len = in.count();
                        x.append(x.c_str() + k, len);
                        mx += tail.substr(0, len);
                        break;
                    }
                    default:  // the whole own text is no change, NULs and all
                        x.assign(x.c_str() + k);
                        if (k > 0) mx = tail;
                        break;
                }
                break;
            }
            default: {  // plain ASCII / UTF-8 text keeps the program interesting
                static const char* const kPieces[] = {
                    "abc",       "/a/b//",       "\xc3\xa9", "e\xcc\x81", "\xf0\x9f\x98\x80",
                    "A\xcc\x8a", "\xed\xa0\x80", "\xc3",     "\x80",      "  x "};
                const char* p = kPieces[in.u8() % 10];
                x.append(p);
                mx += p;
                break;
            }
        }
        CheckBytes(x, mx, op);
        CheckBytes(u[b], m[b], op);
        // Self-appends double the text; keep the run bounded.
        if (mx.size() > 4096) {
            x.clear();
            mx.clear();
        }
    }
    for (int i = 0; i < kPool; ++i) {
        CheckUtf16(u[i], m[i], 100 + i);
        CheckCompare(u[i], m[i], u[(i + 1) % kPool], m[(i + 1) % kPool], 4, 100 + i);
    }
    return 0;
}
