// ustring text operations: the search families, trimming, comparison,
// normalisation, validity and the stream operators.
#include <gtest/gtest.h>

#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "ustring.h"

namespace {

const size_t npos = ustring::npos;

std::string Bytes(const ustring& s) {
    return std::string(s.c_str(), s.length());
}

// Every search form must agree on the same text: const char*, char (for
// one-byte texts), std::string and ustring.
#define EXPECT_ALL_FORMS(expected, str, fn, text, pos)                                \
    do {                                                                              \
        EXPECT_EQ(expected, (str).fn(text, pos)) << #fn "(const char*)";              \
        EXPECT_EQ(expected, (str).fn(std::string(text), pos)) << #fn "(std::string)"; \
        EXPECT_EQ(expected, (str).fn(ustring(text), pos)) << #fn "(ustring)";         \
        if (std::string(text).size() == 1) {                                          \
            EXPECT_EQ(expected, (str).fn((text)[0], pos)) << #fn "(char)";            \
        }                                                                             \
    } while (0)

TEST(UstringSearch, ForwardFamilies) {
    ustring s("abcabc");
    EXPECT_ALL_FORMS(2u, s, find_first_of, "xc", 0);
    EXPECT_ALL_FORMS(5u, s, find_first_of, "c", 3);
    EXPECT_ALL_FORMS(npos, s, find_first_of, "xyz", 0);
    EXPECT_ALL_FORMS(npos, s, find_first_of, "a", 6);
    EXPECT_ALL_FORMS(2u, s, find_first_not_of, "ab", 0);
    EXPECT_ALL_FORMS(npos, s, find_first_not_of, "abc", 0);
    EXPECT_ALL_FORMS(4u, s, find_first_not_of, "a", 3);
    EXPECT_ALL_FORMS(3u, s, find, "abc", 1);
    EXPECT_ALL_FORMS(1u, s, find, "bca", 0);
    EXPECT_ALL_FORMS(npos, s, find, "abcd", 0);
    EXPECT_ALL_FORMS(npos, s, find, "cab", 3);
    EXPECT_ALL_FORMS(4u, s, find, "b", 2);

    ustring abc("abc");
    EXPECT_EQ(0u, abc.find(""));
    EXPECT_EQ(npos, abc.find("", 3));
    EXPECT_EQ(1u, abc.find('\0', 1));  // the byte 0 is the empty text
    EXPECT_EQ(1u, abc.find_first_not_of("", 1));
    EXPECT_EQ(npos, abc.find_first_of(""));
    EXPECT_EQ(npos, abc.find_first_of('\0'));
    EXPECT_EQ(npos, abc.find(static_cast<const char*>(nullptr), 5));
}

TEST(UstringSearch, BackwardFamilies) {
    ustring s("abcabc");
    EXPECT_ALL_FORMS(5u, s, find_last_of, "xc", npos);
    EXPECT_ALL_FORMS(2u, s, find_last_of, "xc", 4);
    EXPECT_ALL_FORMS(0u, s, find_last_of, "a", 2);
    EXPECT_ALL_FORMS(npos, s, find_last_of, "c", 1);
    EXPECT_ALL_FORMS(5u, s, find_last_not_of, "ab", 100);
    EXPECT_ALL_FORMS(npos, s, find_last_not_of, "abc", npos);
    EXPECT_ALL_FORMS(3u, s, find_last_not_of, "bc", 5);
    EXPECT_ALL_FORMS(3u, s, rfind, "abc", npos);
    EXPECT_ALL_FORMS(3u, s, rfind, "abc", 3);
    EXPECT_ALL_FORMS(0u, s, rfind, "abc", 2);
    EXPECT_ALL_FORMS(4u, s, rfind, "bc", 4);  // the match may run past the start
    EXPECT_ALL_FORMS(1u, s, rfind, "bc", 3);
    EXPECT_ALL_FORMS(npos, s, rfind, "abcabcd", npos);

    ustring abc("abc");
    EXPECT_EQ(2u, abc.rfind("", npos));
    EXPECT_EQ(1u, abc.rfind("", 1));
    EXPECT_EQ(npos, abc.find_last_of(""));
    EXPECT_EQ(2u, abc.find_last_not_of(""));
    EXPECT_EQ(1u, abc.find_last_not_of('\0', 1));
}

TEST(UstringSearch, EmptyStringsNulBytesAndMultiByteSets) {
    ustring empty;
    for (const char* t : {"", "a", "ab"}) {
        for (size_t pos : {size_t{0}, size_t{1}, npos}) {
            EXPECT_EQ(npos, empty.find(t, pos));
            EXPECT_EQ(npos, empty.rfind(t, pos));
            EXPECT_EQ(npos, empty.find_first_of(t, pos));
            EXPECT_EQ(npos, empty.find_first_not_of(t, pos));
            EXPECT_EQ(npos, empty.find_last_of(t, pos));
            EXPECT_EQ(npos, empty.find_last_not_of(t, pos));
        }
    }

    // Forward scans stop at the first NUL byte; backward ones do not.
    ustring nul;
    nul.assign("ab", 2).append('\0', 1).append("cd");
    EXPECT_EQ(npos, nul.find("cd"));
    EXPECT_EQ(npos, nul.find_first_of("dc"));
    EXPECT_EQ(npos, nul.find_first_not_of("ab"));
    EXPECT_EQ(npos, nul.find("", 2));
    EXPECT_EQ(3u, nul.rfind("cd"));
    EXPECT_EQ(4u, nul.find_last_of('d'));
    EXPECT_EQ(2u, nul.find_last_not_of("abcd"));
    // A pattern read from a std::string ends at its own first NUL.
    EXPECT_EQ(1u, ustring("abz").find(std::string("b\0z", 3)));

    // Sets are bytes: each byte of a multi-byte character stands alone.
    ustring e("a\xC3\xA9z");
    EXPECT_EQ(1u, e.find_first_of("\xC3\xA9"));
    EXPECT_EQ(2u, e.find_first_of("\xA9"));
    EXPECT_EQ(2u, e.find_last_of("\xC3\xA9"));
    EXPECT_EQ(3u, e.find_first_not_of("a\xC3\xA9"));
    EXPECT_EQ(1u, e.find("\xC3\xA9"));
}

TEST(UstringTrim, StripsOnlyTheListedBytes) {
    ustring path("/a/b//");
    path.rtrim("/\\");
    EXPECT_EQ("/a/b", Bytes(path));
    ustring slashes("/\\//");
    slashes.rtrim(ustring("/\\"));
    EXPECT_EQ("", Bytes(slashes));
    ustring spaced("  x ");
    spaced.ltrim(" ");
    EXPECT_EQ("x ", Bytes(spaced));
    EXPECT_EQ(2u, spaced.length());
    ustring both("--x-y--");
    both.trim("-");
    EXPECT_EQ("x-y", Bytes(both));
    ustring all("----");
    all.ltrim(ustring("-"));
    EXPECT_TRUE(all.empty());
    ustring untouched("abc");
    untouched.trim("").trim(static_cast<const char*>(nullptr)).rtrim("x");
    EXPECT_EQ("abc", Bytes(untouched));
    ustring self("aXbXa");
    self.trim(self);  // the list is taken before either pass
    EXPECT_EQ("", Bytes(self));
}

TEST(UstringCompare, ReturnsTheByteDifference) {
    EXPECT_EQ('c' - 'd', ustring::compare("abc", "ABD", true));
    EXPECT_EQ(0x61 - 0x42, ustring::compare("a", "B", false));
    EXPECT_EQ(0, ustring::compare("MiXeD", "mixed", true));
    EXPECT_EQ('c', ustring::compare("abc", "ab", false));
    EXPECT_EQ(-'c', ustring("ab").compare("abc"));
    EXPECT_EQ(0xC3 - 'a', ustring::compare("\xC3", "a", false));  // unsigned bytes
    // Bytes from 0x80 upwards never fold: U+00C9 and U+00E9 stay different.
    EXPECT_EQ(0x89 - 0xA9, ustring::compare("\xC3\x89", "\xC3\xA9", true));
    // Past the word-at-a-time prefix.
    EXPECT_EQ('x' - 'y', ustring::compare("0123456789abcdefx1", "0123456789abcdefy", false));
    EXPECT_EQ(0, ustring::compare("0123456789abcdef", "0123456789abcdef", false));

    ustring abcd("abcd");
    EXPECT_EQ(0, abcd.compare("abce", 3));
    EXPECT_EQ(-1, abcd.compare("abce", 4));
    EXPECT_EQ(0, abcd.compare("zzzz", 0));
    EXPECT_EQ('d', abcd.compare("abc", 100));
    EXPECT_EQ(0, ustring("0123456789abcdefgh").compare("0123456789abcdefgX", 17));
}

// The walk is done in blocks: a difference or NUL at any offset of any block
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
        EXPECT_EQ(-static_cast<int>(base[k]), ustring(base.substr(0, k)).compare(base)) << k;
        EXPECT_EQ(static_cast<int>(base[k]), ustring(base).compare(base.substr(0, k))) << k;

        // A NUL in a ends the walk even when the bytes behind it differ.
        ustring with_nul, with_nul_too;
        with_nul.assign(base.c_str(), k).append('\0', 1).append("x");
        with_nul_too.assign(base.c_str(), k).append('\0', 1).append("y");
        EXPECT_EQ(0, ustring::compare(with_nul, with_nul_too, false)) << k;
        EXPECT_EQ(-static_cast<int>(base[k]), ustring::compare(with_nul, base, false)) << k;
    }
}

TEST(UstringCompare, RelationalOperatorsOrderMapKeys) {
    ustring abc("abc");
    EXPECT_TRUE(abc <= ustring("abc"));
    EXPECT_TRUE(abc >= ustring("abc"));
    EXPECT_TRUE(abc == ustring("abc"));
    EXPECT_FALSE(abc != ustring("abc"));
    EXPECT_TRUE(abc < ustring("abd"));
    EXPECT_TRUE(ustring("ab") < abc);
    EXPECT_TRUE(ustring("abd") > abc);
    EXPECT_FALSE(abc < abc);
    EXPECT_TRUE(ustring("B") < ustring("a"));  // no folding

    std::map<ustring, int> m;
    for (const char* k : {"z", "\xC3\xA9", "a", "ab", "A", ""}) m[k] = 1;
    std::vector<std::string> order;
    for (const auto& kv : m) order.push_back(Bytes(kv.first));
    EXPECT_EQ((std::vector<std::string>{"", "A", "a", "ab", "z", "\xC3\xA9"}), order);
}

struct NormCase {
    const char* name;
    const char* source;
    const char* nfc;
    const char* nfd;
};

TEST(UstringNormalize, ComposedAndDecomposedForms) {
    const NormCase cases[] = {
        {"e-acute composed", "\xC3\xA9", "\xC3\xA9", "e\xCC\x81"},
        {"e-acute decomposed", "e\xCC\x81", "\xC3\xA9", "e\xCC\x81"},
        {"Hangul LVT syllable", "\xED\x95\x9C", "\xED\x95\x9C",
         "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"},
        {"Hangul LV jamo", "\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1"},
        {"mixed path", "/A\xCC\x8Astr\xC3\xB6m/\xC3\xA9t\xC3\xA9",
         "/\xC3\x85str\xC3\xB6m/\xC3\xA9t\xC3\xA9", "/A\xCC\x8Astro\xCC\x88m/e\xCC\x81te\xCC\x81"},
        // Combining marks out of canonical order are reordered.
        {"reordered marks", "a\xCC\x81\xCC\xA3", "\xE1\xBA\xA1\xCC\x81", "a\xCC\xA3\xCC\x81"},
    };
    for (const NormCase& c : cases) {
        ustring src(c.source);
        ustring nfc = ustring::normalize(src, ustring::NFC);
        ustring nfd = src.normalize(ustring::NFD);
        EXPECT_EQ(c.nfc, Bytes(nfc)) << c.name;
        EXPECT_EQ(c.nfd, Bytes(nfd)) << c.name;
        EXPECT_EQ(c.nfc, Bytes(nfd.normalize(ustring::NFC))) << c.name;
        EXPECT_EQ(c.nfd, Bytes(nfc.normalize(ustring::NFD))) << c.name;
        EXPECT_EQ(c.source, Bytes(src)) << c.name;  // the source is untouched
    }
    EXPECT_EQ(3u, ustring::normalize(ustring("\xC3\xA9"), ustring::NFD).length());
    EXPECT_EQ(2u, ustring::normalize(ustring("e\xCC\x81"), ustring::NFC).length());
}

TEST(UstringNormalize, BeyondTheBmpAsciiAndEmpty) {
    // U+1D15E is excluded from composition: both forms decompose it.
    const char* half_note = "\xF0\x9D\x85\x9E";
    const char* stem_parts = "\xF0\x9D\x85\x97\xF0\x9D\x85\xA5";
    EXPECT_EQ(stem_parts, Bytes(ustring::normalize(ustring(half_note), ustring::NFD)));
    EXPECT_EQ(stem_parts, Bytes(ustring::normalize(ustring(half_note), ustring::NFC)));
    const char* grin = "x\xF0\x9F\x98\x80y";
    EXPECT_EQ(grin, Bytes(ustring(grin).normalize(ustring::NFC)));
    EXPECT_EQ(grin, Bytes(ustring(grin).normalize(ustring::NFD)));

    const char* ascii = "/home/user/Sync Folder/a-b_c.txt";
    EXPECT_EQ(ascii, Bytes(ustring(ascii).normalize(ustring::NFC)));
    EXPECT_EQ(ascii, Bytes(ustring(ascii).normalize(ustring::NFD)));

    testutil::StderrCapture cap;
    EXPECT_TRUE(ustring::normalize(ustring(), ustring::NFC).empty());
    EXPECT_TRUE(ustring().normalize(ustring::NFD).empty());
    EXPECT_EQ("", cap.Stop());
}

TEST(UstringNormalize, LargeExpansionAndInvalidInput) {
    // U+01D6 decomposes into three code points; many of them outgrow any
    // modest first guess of the output size.
    std::string composed, decomposed;
    for (int i = 0; i < 500; ++i) {
        composed += "\xC7\x96";
        decomposed += "u\xCC\x88\xCC\x84";
    }
    ustring nfd = ustring::normalize(ustring(composed), ustring::NFD);
    EXPECT_EQ(decomposed, Bytes(nfd));
    EXPECT_EQ(1500u, std::u16string(nfd.c_str_utf16()).size());
    EXPECT_EQ(composed, Bytes(ustring::normalize(nfd, ustring::NFC)));

    // Only the text before an embedded NUL is normalised, however the NUL
    // came in.
    ustring nul_bytes("e\xCC\x81"), nul_units("e\xCC\x81");
    nul_bytes.append('\0', 1).append("x");
    nul_units.append(u'\0', 1).append(u"x");
    EXPECT_EQ("\xC3\xA9", Bytes(nul_bytes.normalize(ustring::NFC)));
    EXPECT_EQ("\xC3\xA9", Bytes(nul_units.normalize(ustring::NFC)));

    testutil::StderrCapture cap;
    EXPECT_TRUE(ustring::normalize(ustring("ab\xFF"), ustring::NFC).empty());
    EXPECT_EQ("Warning: u_strFromUTF8: error code 10 at line 900\n", cap.Stop());
}

TEST(UstringValidity, InvalidSequencesOnly) {
    EXPECT_TRUE(ustring::is_valid(ustring()));
    EXPECT_TRUE(ustring::is_valid("plain ASCII ~!@#"));
    EXPECT_TRUE(ustring::is_valid("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_TRUE(ustring::is_valid("\xEF\xBF\xBE"));  // a noncharacter is still valid
    for (const char* bad : {"\x80", "\xC3", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xE2\x82", "\xFF"})
        EXPECT_FALSE(ustring::is_valid(bad)) << bad;
}

TEST(UstringStream, InsertionAndExtraction) {
    std::ostringstream out;
    ustring nul;
    nul.assign("ab", 2).append('\0', 1).append("cd");
    out << ustring("x\xC3\xA9") << '|' << nul << '|' << ustring();
    EXPECT_EQ("x\xC3\xA9|ab|", out.str());

    std::istringstream in("  ab cd");
    ustring word("old");
    in >> word;
    EXPECT_EQ("ab", Bytes(word));
    EXPECT_EQ(' ', in.peek());  // left before the space
    in >> word;
    EXPECT_EQ("cd", Bytes(word));
    EXPECT_FALSE(in.fail());
    in >> word;
    EXPECT_TRUE(in.fail());

    std::istringstream wide("abcdef \xC3\xA9t\xC3\xA9");
    wide >> std::setw(3) >> word;  // the width is honoured
    EXPECT_EQ("abc", Bytes(word));
    wide >> word >> word;
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", Bytes(word));
}

}  // namespace
