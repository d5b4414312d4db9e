// What the byte model (ustring_model_test.cpp) cannot see: buffers, the
// UTF-16 form, warnings, memory limits; and edge cases as tables.
#include "ustring.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "test_support.h"

// Absurd sizes are asked for on purpose: under AddressSanitizer they must get
// null as from libc, and what a memory limit would refuse is refused.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

namespace {

using namespace std::string_literals;
constexpr size_t npos = ustring::npos;

struct Probe : ustring {
    using ustring::ustring;
    size_t cap() const { return data_cap; }
    size_t wcap() const { return wdata_cap; }
    size_t wlen() const { return wdata_len; }
    int from_bytes() const { return convert_from_data(); }
};

std::string Bytes(const ustring& s) {
    return std::string(s.c_str(), s.length());
}
ustring Raw(const std::string& bytes) {  // NULs included
    ustring s;
    for (char c : bytes) s.append(c, 1);
    return s;
}

const char* const kNull = nullptr;
const std::string kFromUtf8 = "Warning: u_strFromUTF8: error code 10 at line 900\n";
const std::string kToUtf8 = "Warning: u_strToUTF8: error code 10 at line 867\n";

TEST(UstringStorage, CapacityGrowsExactlyAndShrinksBelowHalf) {
    Probe s;
    EXPECT_EQ(4u, s.cap());
    s.c_str_utf16();
    EXPECT_EQ(1u, s.wcap());  // 0 + 1 units: below half of the 4 it started with
    s.append("abcdef");
    EXPECT_EQ(7u, s.cap());
    s.append('g', 1);
    EXPECT_EQ(8u, s.cap());
    s.clear();
    s.assign("abc");  // 4 >= 8 / 2: stays
    EXPECT_EQ(8u, s.cap());
    s.assign("ab");  // 3 < 8 / 2: exactly 3
    EXPECT_EQ(3u, s.cap());
    s.assign(s.c_str(), 1);  // an own prefix: cut in place, then shrunk
    EXPECT_EQ("a", Bytes(s));
    EXPECT_EQ(3u, s.cap());
    s.append(s.c_str()).append(s.c_str());  // each own append asks 2 x length + 1
    EXPECT_EQ("aaaa", Bytes(s));
    EXPECT_EQ(5u, s.cap());
    EXPECT_EQ(1u, Probe("").cap());
    EXPECT_EQ(4u, Probe("abc").cap());
    Probe w("0123456789");
    w.c_str_utf16();
    EXPECT_EQ(11u, w.wcap());
    w.assign("abc");
    w.c_str_utf16();
    EXPECT_EQ(4u, w.wcap());
}

TEST(UstringStorage, AllocationFailureThrowsAndKeepsTheString) {
    Probe s("abc");
    EXPECT_THROW(s.append('x', npos), std::bad_alloc);
    EXPECT_THROW(s.append(u'x', npos), std::bad_alloc);
    EXPECT_EQ("abc", Bytes(s));
    EXPECT_EQ(4u, s.cap());
    s += "d";
    EXPECT_EQ("abcd", Bytes(s));
}

// Sizes are counted in blocks of 16384: longer texts still get exact buffers.
TEST(UstringStorage, LongTextsRoundTripWithExactBuffers) {
    std::string bytes;
    std::u16string units;
    for (int i = 0; i < 12000; ++i) {
        bytes += "\xC3\xA9\xF0\x9F\x98\x80\x61\xE2\x82\xAC";
        units += u"\u00E9\U0001F600a\u20AC";
    }
    Probe s(bytes);
    EXPECT_EQ(units, s.c_str_utf16());
    EXPECT_EQ(units.size() + 1, s.wcap());
    Probe back(units.c_str());
    EXPECT_EQ(bytes, Bytes(back));
    EXPECT_EQ(bytes.size() + 1, back.cap());
    back.append(units.c_str());
    EXPECT_EQ(bytes + bytes, Bytes(back));
    EXPECT_EQ(2 * bytes.size() + 1, back.cap());
}

// What a failed conversion prints and leaves: the warnings are read by
// support engineers, so their texts are pinned.
TEST(UstringConversion, WarningsAndWhatFailuresLeave) {
    struct Case {
        const char* name;
        std::function<std::string()> run;  // returns the bytes left
        std::string bytes, warnings;
    };
    const Case cases[] = {
        {"invalid UTF-8 has no UTF-16 form, and the next call tries again",
         [] {
             Probe s("ab\xFF");
             bool empty = s.from_bytes() == -1 && s.wlen() == 0 && *s.c_str_utf16() == 0;
             return empty ? Bytes(s) : "a UTF-16 form";
         },
         "ab\xFF", kFromUtf8 + kFromUtf8},
        {"a UTF-16 append keeps bytes without a UTF-16 form",
         [] { return Bytes(ustring("\xC3").append(u"x")); }, "\xC3x", kFromUtf8},
        {"bytes after a NUL survive a UTF-16 append",
         [] { return Bytes(ustring("a").append('\0', 1).append(u"\u00E9")); }, "a\0\xC3\xA9"s, ""},
        {"a lone high surrogate empties the string",
         [] { return Bytes(ustring("keep").append(u"a\xD800")); }, "", kToUtf8},
        {"half of the own surrogate pair",
         [] {
             ustring g("\xF0\x9F\x98\x80");
             return Bytes(g.assign(g.c_str_utf16(), 1));
         },
         "", kToUtf8},
        {"a null pointer is the empty text",
         [] {
             const uchar16_t* const null16 = nullptr;
             return Bytes(ustring(kNull).append(kNull).append(null16, 3).assign(kNull, 1));
         },
         "", ""},
        {"normalising invalid UTF-8",
         [] { return Bytes(ustring::normalize(ustring("ab\xFF"), ustring::NFC)); }, "", kFromUtf8},
    };
    for (const Case& c : cases) {
        testutil::StderrCapture err;
        EXPECT_EQ(c.bytes, c.run()) << c.name;
        EXPECT_EQ(c.warnings, err.Stop()) << c.name;
    }
}

// Byte edits drop the UTF-16 form, UTF-16 appends extend it (kept: its
// length after the edit); either way the next c_str_utf16() fits the bytes.
TEST(UstringConversion, TheUtf16FormFollowsEveryEdit) {
    const std::u16string e17(17, u'\u00E9');
    std::string b17;
    for (int i = 0; i < 17; ++i) b17 += "\xC3\xA9";
    const struct {
        const char* start;
        std::function<void(Probe&)> edit;
        std::string bytes;
        std::u16string units;
        size_t kept;
    } cases[] = {
        {"abc  ", [](Probe& s) { s.rtrim(" "); }, "abc", u"abc", 0},
        {"abc  ", [](Probe& s) { s.ltrim("a"); }, "bc  ", u"bc  ", 0},
        {"abc  ", [](Probe& s) { s.assign(s.c_str() + 1, 2); }, "bc", u"bc", 0},
        {"abc  ", [](Probe& s) { s[1] = 'x'; }, "axc  ", u"axc  ", 0},
        {"abc  ", [](Probe& s) { s.replace(' ', '_'); }, "abc__", u"abc__", 0},
        {"abc  ", [](Probe& s) { s.append(u'\u00E9', 17); }, "abc  " + b17, u"abc  " + e17, 22},
        {"", [](Probe& s) { s.append(u"\u00E9"); }, "\xC3\xA9", u"\u00E9", 1},
    };
    for (const auto& c : cases) {
        Probe s(c.start);
        ASSERT_EQ(0, s.from_bytes());
        c.edit(s);
        EXPECT_EQ(c.bytes, Bytes(s)) << c.bytes;
        EXPECT_EQ(c.kept, s.wlen()) << c.bytes;
        EXPECT_EQ(c.units, s.c_str_utf16()) << c.bytes;
    }
}

// Kinds: find_first_of, find_first_not_of, find, find_last_of,
// find_last_not_of, rfind; every argument form must agree.
template <typename Arg>
size_t Search(int kind, const ustring& s, const Arg& a, size_t pos) {
    return kind == 0   ? s.find_first_of(a, pos)
           : kind == 1 ? s.find_first_not_of(a, pos)
           : kind == 2 ? s.find(a, pos)
           : kind == 3 ? s.find_last_of(a, pos)
           : kind == 4 ? s.find_last_not_of(a, pos)
                       : s.rfind(a, pos);
}

TEST(UstringSearch, ByOffset) {
    const std::string abc = "abcabc", nul = "ab\0cd"s, e = "a\xC3\xA9z";
    struct Case {
        int kind;
        std::string text;
        const char* arg;
        size_t pos, want;
    } const cases[] = {
        {0, abc, "xc", 0, 2},      {0, abc, "c", 3, 5},
        {0, abc, "c", 6, npos},    {0, abc, "", 0, npos},
        {0, nul, "dc", 0, npos},   {0, e, "\xA9", 0, 2},
        {0, e, "\xC3\xA9", 0, 1},  {1, abc, "ab", 0, 2},
        {1, abc, "abc", 0, npos},  {1, abc, "a", 3, 4},
        {1, abc, "", 1, 1},        {1, abc, "", 6, npos},
        {1, nul, "ab", 0, npos},   {1, nul, "", 2, npos},
        {2, abc, "abc", 1, 3},     {2, abc, "bca", 0, 1},
        {2, abc, "abcd", 0, npos}, {2, abc, "cab", 3, npos},
        {2, abc, "b", 2, 4},       {2, abc, "", 0, 0},
        {2, abc, "", 5, 5},        {2, abc, "", 6, npos},
        {2, nul, "cd", 0, npos},   {2, nul, "", 2, npos},
        {2, "", "", 0, npos},      {3, abc, "xc", npos, 5},
        {3, abc, "xc", 4, 2},      {3, abc, "a", 2, 0},
        {3, abc, "c", 1, npos},    {3, abc, "", npos, npos},
        {3, nul, "d", npos, 4},    {3, e, "\xC3\xA9", npos, 2},
        {4, abc, "ab", 100, 5},    {4, abc, "abc", npos, npos},
        {4, abc, "bc", 5, 3},      {4, abc, "", 4, 4},
        {4, abc, "", npos, 5},     {4, nul, "abcd", npos, 2},
        {5, abc, "abc", npos, 3},  {5, abc, "abc", 3, 3},
        {5, abc, "abc", 2, 0},     {5, abc, "bc", 4, 4},
        {5, abc, "bc", 3, 1},      {5, abc, "abcabcd", npos, npos},
        {5, abc, "", npos, 5},     {5, abc, "", 1, 1},
        {5, nul, "cd", npos, 3},   {5, "", "", 0, npos},
    };
    for (const Case& c : cases) {
        const ustring text = Raw(c.text);
        const std::string where =
            std::to_string(c.kind) + " '" + c.arg + "' at " + std::to_string(c.pos);
        // A null pointer stands for the empty text, as does the byte 0.
        EXPECT_EQ(c.want, Search(c.kind, text, *c.arg ? c.arg : kNull, c.pos)) << where;
        EXPECT_EQ(c.want, Search(c.kind, text, std::string(c.arg) + "\0zz"s, c.pos)) << where;
        EXPECT_EQ(c.want, Search(c.kind, text, ustring(c.arg), c.pos)) << where;
        if (std::strlen(c.arg) <= 1) {
            EXPECT_EQ(c.want, Search(c.kind, text, c.arg[0], c.pos)) << where;
        }
    }
}

TEST(UstringCompare, SignedByteDifferenceAndOrder) {
    struct Case {
        const char* a;
        const char* b;
        bool caseless;
        size_t n;
        int want;
    } const cases[] = {
        {"abc", "abc", false, npos, 0},
        {"abc", "ABC", false, npos, 'a' - 'A'},
        {"a", "B", false, npos, 'a' - 'B'},
        {"abc", "ABD", true, npos, 'c' - 'd'},
        {"AZMiXeD", "azmixed", true, npos, 0},
        {"abc", "ab", false, npos, 'c'},
        {"ab", "abc", false, npos, -'c'},
        {"\xC3", "a", false, npos, 0xC3 - 'a'},             // unsigned bytes
        {"\xC3\x89", "\xC3\xA9", true, npos, 0x89 - 0xA9},  // no folding from 0x80
        {"[", "{", true, npos, '[' - '{'},
        {"@", "`", true, npos, '@' - '`'},
        {"0123456789abcdefx1", "0123456789abcdefy", false, npos, 'x' - 'y'},
        {"abcd", "abce", false, 3, 0},
        {"abcd", "abce", false, 4, -1},
        {"abcd", "zzzz", false, 0, 0},
        {"abcd", "abc", false, 100, 'd'},
        {"0123456789abcdefgh", "0123456789abcdefgX", false, 17, 0},
    };
    for (const Case& c : cases) {
        const ustring a(c.a), b(c.b);
        const std::string what = std::string(c.a) + " ? " + c.b;
        EXPECT_EQ(c.want, c.n != npos ? a.compare(b, c.n) : ustring::compare(a, b, c.caseless))
            << what;
        if (c.caseless || c.n != npos) continue;
        EXPECT_EQ(c.want, a.compare(b)) << what;
        EXPECT_EQ(c.want == 0, a == b) << what;
        EXPECT_EQ(c.want != 0, a != b) << what;
        EXPECT_EQ(c.want < 0, a < b) << what;
        EXPECT_EQ(c.want > 0, a > b) << what;
        EXPECT_EQ(c.want <= 0, a <= b) << what;
        EXPECT_EQ(c.want >= 0, a >= b) << what;
    }
}

// The walk goes by blocks: a difference or a NUL at any offset of any block
// must still give the exact byte difference.
TEST(UstringCompare, DifferenceAndNulAtEveryOffset) {
    const std::string base = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFG";
    for (size_t k = 0; k < base.size(); ++k) {
        std::string other = base;
        other[k] = '~';
        EXPECT_EQ(base[k] - '~', ustring::compare(base, other, false)) << k;
        EXPECT_EQ('~' - base[k], ustring(other).compare(base)) << k;
        EXPECT_EQ(0, ustring(base).compare(other, k)) << k;
        EXPECT_EQ(base[k] - '~', ustring(base).compare(other, k + 1)) << k;
        EXPECT_EQ(-base[k], ustring(base.substr(0, k)).compare(base)) << k;
        ustring x, y;  // a NUL in a ends the walk even when what follows differs
        x.assign(base.c_str(), k).append('\0', 1).append("x");
        y.assign(base.c_str(), k).append('\0', 1).append("y");
        EXPECT_EQ(0, ustring::compare(x, y, false)) << k;
        EXPECT_EQ(-base[k], ustring::compare(x, base, false)) << k;
    }
}

TEST(UstringNormalize, ComposedAndDecomposedForms) {
    struct Case {
        std::string source;
        const char* nfc;
        const char* nfd;
    } const cases[] = {
        {"\xC3\xA9", "\xC3\xA9", "e\xCC\x81"},
        {"e\xCC\x81", "\xC3\xA9", "e\xCC\x81"},
        {"\xED\x95\x9C", "\xED\x95\x9C", "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"},  // Hangul
        {"a\xCC\x81\xCC\xA3", "\xE1\xBA\xA1\xCC\x81", "a\xCC\xA3\xCC\x81"},        // mark order
        {"\xF0\x9D\x85\x9E", "\xF0\x9D\x85\x97\xF0\x9D\x85\xA5",                   // excluded
         "\xF0\x9D\x85\x97\xF0\x9D\x85\xA5"},
        {"e\xCC\x81\0x"s, "\xC3\xA9", "e\xCC\x81"},  // only the text before a NUL
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const ustring src = Raw(c.source);
        EXPECT_EQ(c.nfc, Bytes(ustring::normalize(src, ustring::NFC))) << c.source;
        EXPECT_EQ(c.nfd, Bytes(src.normalize(ustring::NFD))) << c.source;
    }
}

// The result holds buffers of exactly its size, whether the first guess of
// the output was too large (ASCII) or too small (a threefold expansion).
TEST(UstringNormalize, ResultBuffersAreExact) {
    struct Case {
        std::string source;
        ustring::normalization_form form;
        size_t units, bytes;
    } const cases[] = {
        {"e\xCC\x81", ustring::NFC, 1, 2},
        {std::string(100, 'a'), ustring::NFC, 100, 100},
        {[] {
             std::string t;
             for (int i = 0; i < 500; ++i) t += "\xC7\x96";
             return t;
         }(),
         ustring::NFD, 1500, 2500},
    };
    for (const Case& c : cases) {
        Probe r;
        ustring n = ustring::normalize(ustring(c.source), c.form);
        r.swap(n);
        EXPECT_EQ(c.units, r.wlen()) << c.source;
        EXPECT_EQ(std::max<size_t>(c.units + 1, 4), r.wcap()) << c.source;
        EXPECT_EQ(c.bytes, r.length()) << c.source;
        EXPECT_EQ(std::max<size_t>(c.bytes + 1, 4), r.cap()) << c.source;
    }
}

// Normalising asks for what the text needs, not for the most ICU could
// take: under a memory limit a megabyte of text still normalises.
TEST(UstringNormalize, WorksUnderAMemoryLimit) {
    const std::string text(1 << 20, 'a');
    int status = testutil::RunInChild([&] {
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer: max_allocation_size_mb instead
        const rlimit limit{512u << 20, 512u << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 3;
#endif
        try {
            return Bytes(ustring(text).normalize(ustring::NFD)) == text ? 0 : 4;
        } catch (const std::bad_alloc&) {
            return 5;
        }
    });
    EXPECT_EQ(0, status);
}

}  // namespace
