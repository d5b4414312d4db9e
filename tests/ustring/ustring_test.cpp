// ustring storage, conversions, assignment and appending: capacity, the
// UTF-16 form and its invalidation, self-referencing sources, embedded NULs,
// exceptions and the state they leave.
#include "ustring.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

// The allocation-failure tests ask for absurd sizes on purpose; under
// AddressSanitizer the allocator must then return null as libc's does.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

// Reaches the protected fields, to check capacities and the UTF-16 state.
struct Probe : ustring {
    using ustring::ustring;
    using ustring::operator=;
    size_t cap() const { return data_cap; }
    size_t wcap() const { return wdata_cap; }
    size_t wlen() const { return wdata_len; }
};

std::string Bytes(const ustring& s) {
    return std::string(s.c_str(), s.length());
}
std::u16string Units(const ustring& s) {
    return std::u16string(s.c_str_utf16());
}

const char kEAcute[] = "\xC3\xA9";        // U+00E9
const char kGrin[] = "\xF0\x9F\x98\x80";  // U+1F600
const std::string kFromUtf8Warning = "Warning: u_strFromUTF8: error code 10 at line 900\n";
const std::string kToUtf8Warning = "Warning: u_strToUTF8: error code 10 at line 867\n";

TEST(UstringStorage, NewStringIsEmptyInBothForms) {
    Probe s;
    EXPECT_EQ(0u, s.length());
    EXPECT_TRUE(s.empty());
    EXPECT_STREQ("", s.c_str());
    EXPECT_EQ(4u, s.cap());
    EXPECT_EQ(4u, s.wcap());
    EXPECT_EQ(u"", Units(s));
    EXPECT_EQ(1u, s.wcap());  // converting asks for 0 + 1 units: below half of 4
    Probe n(static_cast<const char*>(nullptr)), w(static_cast<const uchar16_t*>(nullptr));
    EXPECT_TRUE(n.empty());
    EXPECT_TRUE(w.empty());
}

TEST(UstringStorage, CapacityGrowsExactlyAndShrinksBelowHalf) {
    Probe s;
    s.append("abcdef");
    EXPECT_EQ(7u, s.cap());
    s.append('g', 1);
    EXPECT_EQ(8u, s.cap());
    s.clear();  // keeps the buffer
    EXPECT_EQ(8u, s.cap());
    EXPECT_STREQ("", s.c_str());
    s.assign("abc");  // 4 >= 8/2: stays
    EXPECT_EQ(8u, s.cap());
    s.assign("ab");  // 3 < 8/2: shrinks to exactly 3
    EXPECT_EQ(3u, s.cap());
    s.append("");  // asks length + 1: fits and is not below half
    EXPECT_EQ(3u, s.cap());
    EXPECT_EQ(1u, Probe("").cap());  // the 4-byte start shrinks for a 1-byte need
    EXPECT_EQ(4u, Probe("abc").cap());
    EXPECT_EQ(4u, Probe('x').cap());
    EXPECT_EQ(11u, Probe("0123456789").cap());

    Probe w("0123456789");
    w.c_str_utf16();
    EXPECT_EQ(11u, w.wcap());
    w = "abc";
    w.c_str_utf16();
    EXPECT_EQ(4u, w.wcap());  // 4 units < 11/2: shrinks
}

TEST(UstringStorage, AllocationFailureThrowsAndKeepsTheString) {
    Probe s("abc");
    EXPECT_THROW(s.append('x', ustring::npos), std::bad_alloc);
    EXPECT_THROW(s.append('x', size_t{1} << 62), std::bad_alloc);
    EXPECT_THROW(s.append(u'x', ustring::npos), std::bad_alloc);
    EXPECT_EQ("abc", Bytes(s));
    EXPECT_EQ(4u, s.cap());
    s += "d";
    EXPECT_EQ("abcd", Bytes(s));
}

TEST(UstringConversion, Utf16FormOfMultiByteText) {
    ustring e(kEAcute);
    EXPECT_EQ(2u, e.length());
    EXPECT_EQ(u"\u00E9", Units(e));
    ustring g(kGrin);
    EXPECT_EQ(4u, g.length());
    EXPECT_EQ(u"\U0001F600", Units(g));

    ustring back(u"a\u00E9\u20AC\U0001F600");
    EXPECT_EQ(std::string("a") + kEAcute + "\xE2\x82\xAC" + kGrin, Bytes(back));
    EXPECT_EQ(1u + 2 + 3 + 4, back.length());

    Probe abc("abc");
    abc += u"def";
    EXPECT_EQ("abcdef", Bytes(abc));
    EXPECT_EQ(6u, abc.wlen());  // a UTF-16 operation leaves a form in place
    abc.append(u'!', 2);
    EXPECT_EQ("abcdef!!", Bytes(abc));
    EXPECT_EQ(u"abcdef!!", Units(abc));
}

// Long enough that sizes are counted over several blocks.
TEST(UstringConversion, LongTextsRoundTripWithExactBuffers) {
    std::string bytes;
    std::u16string units;
    for (int i = 0; i < 12000; ++i) {
        bytes += std::string(kEAcute) + kGrin + "a\xE2\x82\xAC";
        units += u"\u00E9\U0001F600a\u20AC";
    }
    Probe s(bytes);
    EXPECT_EQ(units, Units(s));
    EXPECT_EQ(units.size() + 1, s.wcap());
    Probe back(units.c_str());
    EXPECT_EQ(bytes, Bytes(back));
    EXPECT_EQ(bytes.size() + 1, back.cap());
    back.append(units.c_str());
    EXPECT_EQ(bytes + bytes, Bytes(back));
    EXPECT_EQ(2 * bytes.size() + 1, back.cap());
    EXPECT_EQ(units + units, Units(back));
}

TEST(UstringConversion, InvalidUtf8WarnsOnEveryAttempt) {
    for (const char* bad : {"\x80", "\xC3", "ab\xFF", "\xC0\xAF", "\xED\xA0\x80"}) {
        Probe s(bad);
        testutil::StderrCapture cap;
        EXPECT_EQ(u"", Units(s)) << bad;
        EXPECT_EQ(0u, s.wlen());
        EXPECT_EQ(u"", Units(s));  // nothing cached: the next call tries again
        EXPECT_EQ(kFromUtf8Warning + kFromUtf8Warning, cap.Stop()) << bad;
        EXPECT_EQ(std::string(bad), Bytes(s));  // the bytes stay
    }
}

TEST(UstringConversion, UnpairedSurrogatesLeaveAnEmptyString) {
    const std::u16string lone_high = u"a\xD800", lone_low = u"\xDC00z";
    for (const std::u16string& bad : {lone_high, lone_low}) {
        Probe s("keep");
        testutil::StderrCapture cap;
        s.append(bad.c_str());
        EXPECT_EQ(kToUtf8Warning, cap.Stop());
        EXPECT_TRUE(s.empty());
        EXPECT_EQ(0u, s.wlen());
        EXPECT_STREQ("", s.c_str());
    }
    Probe c("x");
    testutil::StderrCapture cap;
    c = static_cast<uchar16_t>(0xD83D);
    ustring ctor(u"\xDE00");
    EXPECT_EQ(kToUtf8Warning + kToUtf8Warning, cap.Stop());
    EXPECT_TRUE(c.empty());
    EXPECT_TRUE(ctor.empty());
}

// Existing bytes without a complete UTF-16 form must survive a UTF-16
// append: only the added units are converted.
TEST(UstringConversion, Utf16AppendKeepsBytesWithoutAUtf16Form) {
    Probe nul;
    nul.assign("a", 1).append('\0', 1).append("b");
    nul += u"c";
    EXPECT_EQ(std::string("a\0bc", 4), Bytes(nul));
    EXPECT_EQ(0u, nul.wlen());

    Probe bad("\xFF");
    testutil::StderrCapture cap;
    bad += u"x";
    EXPECT_EQ(kFromUtf8Warning, cap.Stop());
    EXPECT_EQ("\xFFx", Bytes(bad));

    Probe zeros("ab");
    zeros.append(u'\0', 2);
    EXPECT_EQ(std::string("ab\0\0", 4), Bytes(zeros));
}

// Every change of the bytes must drop the UTF-16 form, or c_str_utf16()
// would hand out the old text.
TEST(UstringConversion, EveryByteChangeDropsTheUtf16Form) {
    const std::vector<std::pair<const char*, std::function<void(Probe&)>>> changes = {
        {"append(const char*)", [](Probe& s) { s.append("x"); }},
        {"append(const char*, n)", [](Probe& s) { s.append("xyz", 1); }},
        {"append(char, n)", [](Probe& s) { s.append('x', 2); }},
        {"append(ustring)", [](Probe& s) { s.append(ustring("x")); }},
        {"append(std::string)", [](Probe& s) { s.append(std::string("x")); }},
        {"append(own bytes)", [](Probe& s) { s.append(s.c_str()); }},
        {"+= const char*", [](Probe& s) { s += "x"; }},
        {"+= char", [](Probe& s) { s += 'x'; }},
        {"+= ustring", [](Probe& s) { s += ustring("x"); }},
        {"+= std::string", [](Probe& s) { s += std::string("x"); }},
        {"assign(const char*)", [](Probe& s) { s.assign("x/y"); }},
        {"assign(own bytes, n)", [](Probe& s) { s.assign(s.c_str(), 2); }},
        {"assign(char, n)", [](Probe& s) { s.assign('x', 3); }},
        {"assign(ustring)", [](Probe& s) { s.assign(ustring("x")); }},
        {"assign(self, pos)", [](Probe& s) { s.assign(s, 1); }},
        {"assign(std::string)", [](Probe& s) { s.assign(std::string("x")); }},
        {"= const char*", [](Probe& s) { s = "x"; }},
        {"= char", [](Probe& s) { s = 'x'; }},
        {"= std::string", [](Probe& s) { s = std::string("x"); }},
        {"replace", [](Probe& s) { s.replace('/', '\\'); }},
        {"ltrim", [](Probe& s) { s.ltrim("a"); }},
        {"rtrim", [](Probe& s) { s.rtrim("c"); }},
        {"trim", [](Probe& s) { s.trim("ac"); }},
        {"clear", [](Probe& s) { s.clear(); }},
        {"operator[]", [](Probe& s) { s[0] = 'z'; }},
    };
    for (const auto& change : changes) {
        Probe s("a/c");
        ASSERT_EQ(u"a/c", Units(s));
        ASSERT_EQ(3u, s.wlen());
        change.second(s);
        EXPECT_EQ(0u, s.wlen()) << change.first;
        std::u16string expected;
        for (char c : std::string(s.c_str())) expected += static_cast<char16_t>(c);
        EXPECT_EQ(expected, Units(s)) << change.first;
    }
    Probe kept("a/c");
    kept.c_str_utf16();
    kept.rtrim("x").ltrim("y");  // nothing stripped: nothing changes
    EXPECT_EQ(3u, kept.wlen());
}

TEST(UstringAssign, SelfReferencingSources) {
    Probe s("abcd");
    s.append(s.c_str());
    EXPECT_EQ("abcdabcd", Bytes(s));
    EXPECT_EQ(9u, s.cap());  // 2 x length + 1
    s.assign(s.c_str());
    EXPECT_EQ("abcdabcd", Bytes(s));
    s.assign(s.c_str(), 100);
    EXPECT_EQ("abcdabcd", Bytes(s));
    s.assign(s.c_str(), 2);
    EXPECT_EQ("ab", Bytes(s));
    s += s;
    EXPECT_EQ("abab", Bytes(s));
    const ustring& same = s;
    s = same;
    EXPECT_EQ("abab", Bytes(s));
    s.append(s, 1, 2);
    EXPECT_EQ("ababba", Bytes(s));
    s.assign(s, 2, 3);
    EXPECT_EQ("abb", Bytes(s));

    // Sources inside the own buffer, with a reallocation that moves it.
    Probe t("0123456789");
    t.append(t.c_str() + 6);
    EXPECT_EQ("01234567896789", Bytes(t));
    t.append(t.c_str() + 12, 1);
    EXPECT_EQ("012345678967898", Bytes(t));
    t.assign(t.c_str() + 10);
    EXPECT_EQ("67898", Bytes(t));

    Probe embedded;
    embedded.assign("a", 1).append('\0', 1).append("b");
    embedded.append(embedded.c_str());  // copies up to the NUL, asks 2 x 3 + 1
    EXPECT_EQ(std::string("a\0ba", 4), Bytes(embedded));
    EXPECT_EQ(7u, embedded.cap());
}

TEST(UstringAssign, SelfReferencingUtf16Sources) {
    Probe s(kEAcute);
    s.append(s.c_str_utf16());
    EXPECT_EQ(std::string(kEAcute) + kEAcute, Bytes(s));
    s.assign(s.c_str_utf16());
    EXPECT_EQ(u"\u00E9\u00E9", Units(s));
    s.append(s.c_str_utf16() + 1);
    EXPECT_EQ(u"\u00E9\u00E9\u00E9", Units(s));
    s.assign(s.c_str_utf16(), 1);
    EXPECT_EQ(kEAcute, Bytes(s));
    s.assign(s.c_str_utf16() + 1);  // the own terminator: the empty text
    EXPECT_TRUE(s.empty());

    Probe g(kGrin);
    testutil::StderrCapture cap;
    g.assign(g.c_str_utf16(), 1);  // half a surrogate pair
    EXPECT_EQ(kToUtf8Warning, cap.Stop());
    EXPECT_TRUE(g.empty());
}

TEST(UstringAssign, EmbeddedNulBytes) {
    ustring zeros;
    zeros.assign('\0', 3);
    EXPECT_EQ(3u, zeros.length());
    EXPECT_STREQ("", zeros.c_str());
    EXPECT_EQ(ustring::npos, zeros.find(""));
    EXPECT_EQ(ustring::npos, zeros.find_first_not_of("x"));
    EXPECT_EQ(ustring::npos, zeros.find_first_of('\0'));
    EXPECT_EQ(1u, ustring('\0').length());

    // Byte sources stop at their first NUL; so do copies, which go through
    // the substring.
    EXPECT_EQ("ab", Bytes(ustring(std::string("ab\0cd", 5))));
    ustring s;
    s.append("ab\0cd", 5);
    EXPECT_EQ("ab", Bytes(s));
    ustring nul;
    nul.assign("a", 1).append('\0', 1).append("b");
    EXPECT_EQ("a", Bytes(ustring(nul)));
    EXPECT_EQ("a", Bytes(nul.substr(0)));
}

TEST(UstringAssign, PositionsAndTheStateLeftByExceptions) {
    ustring abc("abc");
    EXPECT_EQ("", Bytes(abc.substr(3)));
    EXPECT_EQ("bc", Bytes(abc.substr(1)));
    EXPECT_EQ("b", Bytes(abc.substr(1, 1)));
    EXPECT_EQ("abc", Bytes(abc.substr(0, 100)));

    auto message = [](const std::function<void()>& fn) -> std::string {
        try {
            fn();
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "no exception";
    };
    EXPECT_EQ("substr", message([&] { abc.substr(4); }));

    ustring target("keep");
    EXPECT_EQ("substr", message([&] { target.append(abc, 4); }));
    EXPECT_EQ("keep", Bytes(target));
    EXPECT_EQ("basic_string::substr", message([&] { target.append(std::string("abc"), 4); }));
    EXPECT_EQ("keep", Bytes(target));
    EXPECT_EQ("substr", message([&] { target.assign(target, 5); }));
    EXPECT_EQ("keep", Bytes(target));  // a part of itself: unchanged
    EXPECT_EQ("substr", message([&] { target.assign(abc, 4); }));
    EXPECT_EQ("", Bytes(target));  // cleared before the check
    target = "keep";
    EXPECT_EQ("basic_string::substr", message([&] { target.assign(std::string("abc"), 4); }));
    EXPECT_EQ("", Bytes(target));

    target.assign(abc, 1, ustring::npos);
    EXPECT_EQ("bc", Bytes(target));
    target.append(std::string("xyz"), 1, 1).append(abc, 3);
    EXPECT_EQ("bcy", Bytes(target));
    target.assign(std::string("xyz"), 3);
    EXPECT_EQ("", Bytes(target));
}

TEST(UstringAssign, ConstructorsConcatenationSwapAndMove) {
    ustring a("ab");
    EXPECT_EQ("abcd", Bytes(a + ustring("cd")));
    EXPECT_EQ("abcd", Bytes(a + "cd"));
    EXPECT_EQ("abc", Bytes(a + 'c'));
    EXPECT_EQ(std::string("ab") + kEAcute, Bytes(a + u"\u00E9"));
    EXPECT_EQ(std::string("ab") + kEAcute, Bytes(a + static_cast<uchar16_t>(0xE9)));
    EXPECT_EQ("ab", Bytes(a + static_cast<const char*>(nullptr)));
    EXPECT_EQ("ab", Bytes(a));

    Probe x("left"), y(kEAcute);
    y.c_str_utf16();
    swap(x, y);
    EXPECT_EQ(kEAcute, Bytes(x));
    EXPECT_EQ(1u, x.wlen());
    EXPECT_EQ("left", Bytes(y));
    EXPECT_EQ(0u, y.wlen());
    x.swap(y);
    EXPECT_EQ("left", Bytes(x));

    ustring moved(std::move(x));
    EXPECT_EQ("left", Bytes(moved));
    EXPECT_TRUE(x.empty());
    x = "reused";
    EXPECT_EQ("reused", Bytes(x));
    moved = std::move(x);
    EXPECT_EQ("reused", Bytes(moved));

    ustring r("a/b/c");
    r.replace('/', '\\');
    EXPECT_EQ("a\\b\\c", Bytes(r));
    r.append(static_cast<const char*>(nullptr)).assign(static_cast<const uchar16_t*>(nullptr));
    EXPECT_TRUE(r.empty());
}

}  // namespace
