// The fuzz target's byte model on programs from a fixed seed; then what it
// cannot see: buffers, the UTF-16 form, warnings, allocation limits.
#include "ustring.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "../../fuzz/ustring_fuzz.cpp"  // also npos
#include "test_support.h"
#include "ustring-internal.h"

// Absurd sizes are asked for on purpose: under AddressSanitizer they must get
// null as from libc, and what a memory limit would refuse is refused.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

namespace {

TEST(UstringModel, GeneratedProgramsAgreeWithTheByteModel) {
    // Half the bytes come from pieces of UTF-8, UTF-16 and NUL, so that
    // programs build valid text, not only noise.
    static const std::string kAlphabet("ab/ e\0\xC3\xA9\xCC\x81\xF0\x9F\x98\x80\xED\xD8\xDC\xFF",
                                       18);
    testutil::TempDir dir;
    const std::string log = dir / "stderr";
    int status = testutil::RunInChild([&] {
        if (!testutil::RedirectStderrTo(log)) return 3;  // conversion warnings are expected
        std::mt19937 gen(1);
        for (int programs = 3000; programs > 0; --programs) {
            std::vector<uint8_t> program(gen() % 1200);
            for (uint8_t& byte : program)
                byte =
                    static_cast<uint8_t>(gen() % 2 ? gen() : kAlphabet[gen() % kAlphabet.size()]);
            LLVMFuzzerTestOneInput(program.data(), program.size());
        }
        return 0;
    });
    const std::string text = testutil::ReadFile(log);
    const size_t at = text.find("ustring model mismatch");
    EXPECT_EQ(0, status) << (at == std::string::npos ? "" : text.substr(at));
}

struct Probe : ustring {
    using ustring::ustring;
    size_t cap() const { return data_cap; }
    size_t wcap() const { return wdata_cap; }
    size_t wlen() const { return wdata_len; }
    int from_bytes() const { return convert_from_data(); }
    // Where the bytes are: "inside" the object, or on the "heap" with the
    // buffer's size.
    std::string storage() const {
        if (bv_internal::Within(c_str(), this, this + 1)) return "inside";
        return "heap " + std::to_string(data_cap);
    }
};

std::string Bytes(const ustring& text) {
    return std::string(text.c_str(), text.length());
}
template <typename Text>
Text Repeat(const Text& piece, int times) {
    Text out;
    while (times-- > 0) out += piece;
    return out;
}

const char* const kNull = nullptr;
const std::string kFromUtf8 = "Warning: u_strFromUTF8: error code 10 at line 900\n";
const std::string kToUtf8 = "Warning: u_strToUTF8: error code 10 at line 867\n";

TEST(UstringStorage, ShortTextsStayInsideLongOnesGrowExactlyAndShrinkBelowHalf) {
    Probe text;
    EXPECT_EQ("inside", text.storage()) << "the empty text";
    text.assign(std::string(23, 'a'));
    EXPECT_EQ("inside", text.storage()) << "23 bytes and their terminator";
    text.append("b");
    EXPECT_EQ("heap 25", text.storage()) << "24 bytes";
    text.append('c', 5);
    EXPECT_EQ("heap 30", text.storage()) << "grown exactly";
    text.assign(text.c_str() + 14);  // an own tail of 15 bytes: 16 >= 30 / 2, the buffer stays
    EXPECT_EQ("heap 30", text.storage()) << "kept while half is used";
    text.append(text.c_str());  // an own append asks for 2 x length + 1
    EXPECT_EQ("heap 31", text.storage()) << "the own text appended";
    text.assign(text.c_str(), 2);  // an own prefix is cut in place
    text.assign("aa");
    EXPECT_EQ("inside", text.storage()) << "a short text left in a heap buffer";
    text.append(std::string(40, 'd'));
    EXPECT_THROW(text.append('x', npos / 2), std::bad_alloc) << "a byte append";
    EXPECT_THROW(text.append(u'x', npos), std::bad_alloc) << "a UTF-16 append";
    EXPECT_EQ("aa" + std::string(40, 'd'), Bytes(text)) << "a refused append changed the text";
    EXPECT_EQ("heap 43", text.storage()) << "a refused append changed the buffer";
}

// What a failed conversion prints and leaves: the warnings are read by
// support engineers, so their texts are pinned.
TEST(UstringConversion, WarningsAndWhatFailuresLeave) {
    struct Failure {
        const char* name;
        std::function<std::string()> run;  // returns the bytes left
        std::string bytes;
        std::string warnings;
    };
    const Failure failures[] = {
        {"invalid UTF-8 has no UTF-16 form, and the next call tries again",
         [] {
             Probe text("ab\xFF");
             bool empty = text.from_bytes() == -1 && text.wlen() == 0 && *text.c_str_utf16() == 0;
             return empty ? Bytes(text) : "a UTF-16 form";
         },
         "ab\xFF", kFromUtf8 + kFromUtf8},
        {"a UTF-16 append keeps bytes without a UTF-16 form",
         [] { return Bytes(ustring("\xC3").append(u"x")); }, "\xC3x", kFromUtf8},
        {"a lone high surrogate empties the string",
         [] { return Bytes(ustring("keep").append(u"a\xD800")); }, "", kToUtf8},
        {"normalising invalid UTF-8",
         [] { return Bytes(ustring::normalize(ustring("ab\xFF"), ustring::NFC)); }, "", kFromUtf8},
        {"normalising ends at a NUL, what follows need not be UTF-8",
         [] {
             ustring text = ustring("e\xCC\x81").append('\0', 1).append("\xFF");
             return Bytes(text.normalize(ustring::NFC));
         },
         "\xC3\xA9", ""},
    };
    for (const Failure& failure : failures) {
        testutil::StderrCapture err;
        EXPECT_EQ(failure.bytes, failure.run()) << failure.name << ": other bytes left";
        EXPECT_EQ(failure.warnings, err.Stop()) << failure.name << ": other warnings";
    }
}

// A null pointer is the empty text to every constructor, edit, search and
// trim.
TEST(UstringSearch, ANullArgumentReadsAsTheEmptyText) {
    const uchar16_t* const null16 = nullptr;
    ustring empty(kNull);
    EXPECT_EQ("", Bytes(empty.append(kNull).append(null16, 3).assign(null16, 2).assign(kNull, 1)));
    ustring text("a/b/");
    struct Search {
        const char* name;
        std::function<size_t(const char*)> run;
        size_t with_null;
    };
    const Search searches[] = {
        {"find_first_of", [&](const char* set) { return text.find_first_of(set, 1); }, npos},
        {"find_first_not_of", [&](const char* set) { return text.find_first_not_of(set, 1); }, 1},
        {"find", [&](const char* pattern) { return text.find(pattern, 1); }, 1},
        {"find_last_of", [&](const char* set) { return text.find_last_of(set, 2); }, npos},
        {"find_last_not_of", [&](const char* set) { return text.find_last_not_of(set, 2); }, 2},
        {"rfind", [&](const char* pattern) { return text.rfind(pattern, 2); }, 2}};
    for (const Search& search : searches)
        EXPECT_EQ(search.with_null, search.run(kNull)) << search.name;
    EXPECT_EQ("a/b/", Bytes(text.trim(kNull).ltrim(kNull).rtrim(kNull))) << "a trim removed bytes";
}

// Text of exactly `size` bytes: filler repeated, cut at a character boundary and
// padded with ASCII.
std::string Filled(const std::string& filler, size_t size) {
    std::string text;
    while (text.size() < size) text += filler;
    size_t cut = size;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text.append(size - cut, 'x');
}

std::string Describe(const bv_internal::Utf8Scan& scan) {
    return std::to_string(scan.len) + (scan.valid ? " valid" : " invalid") +
           (scan.ascii ? " ASCII" : "") + (scan.marks ? " with marks" : "");
}

bool Same(const bv_internal::Utf8Scan& left, const bv_internal::Utf8Scan& right) {
    return left.len == right.len && left.valid == right.valid && left.ascii == right.ascii &&
           left.marks == right.marks;
}

// "" when both scans of text agree with ICU's conversion, else what each says.
std::string ScansDisagree(const std::string& text) {
    UChar units[256];
    UErrorCode err = U_ZERO_ERROR;
    int32_t converted = 0;
    u_strFromUTF8(units, 256, &converted, text.c_str(), -1, &err);
    const size_t end = std::strlen(text.c_str());
    const bool valid = U_SUCCESS(err) != 0;
    const bool ascii =
        std::all_of(text.begin(), text.begin() + end, [](char byte) { return (byte & 0x80) == 0; });
    // Combining diacritical marks (CC, CD) or conjoining jamo (E1 84-87).
    bool marks = false;
    for (size_t at = 0; at < end; ++at) {
        const unsigned char byte = text[at], next = at + 1 < end ? text[at + 1] : 0;
        marks |= byte == 0xCC || byte == 0xCD || (byte == 0xE1 && next >= 0x84 && next <= 0x87);
    }
    const bv_internal::Utf8Scan icu{end, valid, valid && ascii, valid && marks};
    const bv_internal::Utf8Scan scalar = bv_internal::ScanUtf8Scalar(text.data(), text.size());
    bv_internal::Utf8Scan vector = icu;  // kept where this machine has no vector scan
    bv_internal::ScanUtf8Vector(text.data(), text.size(), &vector);
    if (Same(scalar, icu) && Same(vector, icu)) return "";
    return "ICU says " + Describe(icu) + ", the scalar scan " + Describe(scalar) +
           ", the vector scan " + Describe(vector);
}

// Validity as ICU's conversion defines it, from both scans: a fault at every
// offset of texts up to 136 bytes (four 32-byte blocks and a tail) falls at
// every place of a block, after ASCII blocks or mixed ones, and at the end;
// both also tell where marks or jamo make a text likely decomposed.
TEST(UstringValidity, BothScansAgreeWithIcuWhereverTheFaultFalls) {
    struct Fault {
        const char* name;
        std::string bytes;
    };
    const Fault faults[] = {{"a continuation without a lead", "\x80"},
                            {"two continuations", "\xBF\x80"},
                            {"a lone overlong lead", "\xC1"},
                            {"an overlong 2-byte form", "\xC0\xAF"},
                            {"an overlong 3-byte form", "\xE0\x9F\xBF"},
                            {"an overlong 4-byte form", "\xF0\x8F\xBF\xBF"},
                            {"the first surrogate", "\xED\xA0\x80"},
                            {"the last surrogate", "\xED\xBF\xBF"},
                            {"U+110000", "\xF4\x90\x80\x80"},
                            {"a lead beyond F4", "\xF5\x80\x80\x80"},
                            {"the byte FF", "\xFF"},
                            {"a 2-byte sequence cut short", "\xC3"},
                            {"a 3-byte sequence cut short", "\xE2\x82"},
                            {"a 4-byte sequence cut short", "\xF0\x9F\x98"},
                            {"ASCII for a trail", "\xE2\x28\xA1"},
                            {"no fault: a NUL ends the text first", std::string("\0\xFF", 2)},
                            {"no fault: U+10FFFF", "\xF4\x8F\xBF\xBF"}};
    // ASCII; mixed; no marks nor jamo, though close to them; jamo; marks.
    const std::string fillers[] = {"abcdefgh", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                   "\xE1\x88\x80\xCB\x80\xE1\x83\xBF\xCE\x80",
                                   "a\xE1\x84\x80\xE1\x87\xBF", "a\xCD\x85\xCC\x80"};
    int mismatches = 0;
    for (const std::string& filler : fillers)
        for (const Fault& fault : faults)
            for (size_t length = fault.bytes.size(); length <= 136; ++length)
                for (size_t at = 0; at + fault.bytes.size() <= length; ++at) {
                    const std::string disagreement =
                        ScansDisagree(Filled(filler, at) + fault.bytes +
                                      Filled(filler, length - at - fault.bytes.size()));
                    if (!disagreement.empty() && ++mismatches <= 5)
                        ADD_FAILURE() << fault.name << " at byte " << at << " of " << length << ": "
                                      << disagreement;
                }
    EXPECT_EQ(0, mismatches) << "scans that disagree";
    bv_internal::Utf8Scan unused;
    if (!bv_internal::ScanUtf8Vector("", 0, &unused))
        GTEST_SKIP() << "no vector scan on this machine; the scalar one was checked";
}

// The UTF-16 form is converted in one pass into a unit per byte, the most
// it can need, and kept so while at least half of it is used. UTF-8 sizes
// are counted in blocks of 16384: longer texts still get exact buffers.
TEST(UstringStorage, LongTextsRoundTripWithBuffersOfTheirSize) {
    const std::string bytes =
        Repeat<std::string>("\xC3\xA9\xF0\x9F\x98\x80\x61\xE2\x82\xAC", 12000);
    const std::u16string units = Repeat<std::u16string>(u"\u00E9\U0001F600a\u20AC", 12000);
    Probe mixed(bytes);
    EXPECT_EQ(units, mixed.c_str_utf16()) << "the mixed text converted";
    EXPECT_EQ(bytes.size() + 1, mixed.wcap()) << "5 units in 10 bytes: half the buffer is used";
    Probe cjk(Repeat<std::string>("\xE6\x96\x87", 12000));
    EXPECT_EQ(Repeat<std::u16string>(u"\u6587", 12000), cjk.c_str_utf16()) << "CJK converted";
    EXPECT_EQ(12001u, cjk.wcap()) << "1 unit in 3 bytes: shrunk to the units";
    Probe back(units.c_str());
    EXPECT_EQ(bytes, Bytes(back)) << "the units converted back";
    EXPECT_EQ(bytes.size() + 1, back.cap()) << "the bytes' buffer";
    back.append(units.c_str());
    EXPECT_EQ(bytes + bytes, Bytes(back)) << "the units appended";
    EXPECT_EQ(2 * bytes.size() + 1, back.cap()) << "the grown buffer";
}

// UTF-16 edits keep the UTF-16 form, extended, rather than convert the whole text again, even
// after a byte edit dropped it; the next c_str_utf16() fits the bytes. (That byte edits leave no
// stale form, the model checks after every step.)
TEST(UstringConversion, Utf16EditsKeepTheUtf16Form) {
    struct Edit {
        std::function<void(Probe&)> apply;  // to "abc  ", converted
        std::string bytes;
        size_t units_kept;  // the UTF-16 form's length after the edit
    };
    const std::string e17 = Repeat<std::string>("\xC3\xA9", 17);  // 17 units: the heap path
    const Edit edits[] = {
        {[](Probe& text) { text.assign(text.c_str_utf16(), 2); }, "ab", 2},
        {[](Probe& text) { text.append(u'\u00E9', 17); }, "abc  " + e17, 22},
        {[](Probe& text) { text.assign(u"\u00E9"); }, "\xC3\xA9", 1},
        {[](Probe& text) { text.replace(' ', '_').append(u"\u00E9"); }, "abc__\xC3\xA9", 6},
    };
    for (const Edit& edit : edits) {
        Probe text("abc  ");
        ASSERT_EQ(0, text.from_bytes());
        edit.apply(text);
        EXPECT_EQ(edit.bytes, Bytes(text)) << "another edit was made";
        EXPECT_EQ(edit.units_kept, text.wlen()) << edit.bytes << ": the UTF-16 form kept";
        EXPECT_EQ(Units(edit.bytes), text.c_str_utf16()) << edit.bytes << ": a stale UTF-16 form";
    }
}

// Caseless folds exactly 'A'..'Z', never bytes from 0x80; the operators
// never fold.
TEST(UstringCompare, FoldingEdgesAndOperators) {
    struct Caseless {
        const char* left;
        const char* right;
        int difference;
    };
    const Caseless pairs[] = {{"AZMiXeD", "azmixed", 0},
                              {"abc", "ABD", 'c' - 'd'},
                              {"[", "{", '[' - '{'},
                              {"@", "`", '@' - '`'},
                              {"\xC3\x89", "\xC3\xA9", 0x89 - 0xA9}};
    for (const Caseless& pair : pairs)
        EXPECT_EQ(pair.difference, ustring::compare(pair.left, pair.right, true)) << pair.left;
    const ustring lower("abc"), upper("ABC");
    EXPECT_TRUE(lower != upper && lower > upper && lower >= upper) << "an operator folded";
    EXPECT_FALSE(lower == upper || lower < upper || lower <= upper) << "an operator folded";
}

// The walk goes by blocks: a difference or a NUL at any offset of any block
// must still give the exact byte difference.
TEST(UstringCompare, DifferenceAndNulAtEveryOffset) {
    const std::string base = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFG";
    for (size_t at = 0; at < base.size(); ++at) {
        std::string other = base;
        other[at] = '~';
        EXPECT_EQ(base[at] - '~', ustring::compare(base, other, false)) << at;
        EXPECT_EQ('~' - base[at], ustring(other).compare(base)) << at;
        EXPECT_EQ(0, ustring(base).compare(other, at)) << at << ": beyond the bytes compared";
        EXPECT_EQ(base[at] - '~', ustring(base).compare(other, at + 1)) << at;
        EXPECT_EQ(-base[at], ustring(base.substr(0, at)).compare(base)) << at << ": a prefix";
        // A NUL ends the walk even when what follows differs.
        ustring nul_then_x = ustring(base.substr(0, at)).append('\0', 1).append("x");
        ustring nul_then_y = ustring(base.substr(0, at)).append('\0', 1).append("y");
        EXPECT_EQ(0, ustring::compare(nul_then_x, nul_then_y, false)) << at;
        EXPECT_EQ(-base[at], ustring::compare(nul_then_x, base, false)) << at;
    }
}

// The result holds its bytes inside the object or in a buffer of exactly
// their size, and no UTF-16 form, whether it was copied as already normal,
// shrank or grew (past the first buffer tried, here fivefold).
TEST(UstringNormalize, ResultBuffersAreExact) {
    struct Case {
        std::string source;
        ustring::normalization_form form;
        std::string storage;  // of the result
    };
    const Case cases[] = {
        {"e\xCC\x81", ustring::NFC, "inside"},
        {std::string(100, 'a'), ustring::NFC, "heap 101"},
        {Repeat<std::string>("\xEA\xB0\x80", 80), ustring::NFD, "heap 481"},
        {std::string(255, 'a') + "\xC3\xA9", ustring::NFD, "heap 259"},  // a byte more
        {Repeat<std::string>("\xC7\x96", 500), ustring::NFD, "heap 2501"}};
    for (const Case& one : cases) {
        Probe result;
        ustring normalized = ustring::normalize(ustring(one.source), one.form);
        result.swap(normalized);
        EXPECT_EQ(one.storage, result.storage()) << one.source;
        EXPECT_EQ(0u, result.wcap()) << one.source << ": a UTF-16 buffer is held";
    }
}

// Moving takes the heap buffers, allocating nothing (so a growing vector
// moves its strings, never copies them), and leaves the source the empty
// text.
TEST(UstringStorage, MovingTakesTheBuffersAndLeavesTheEmptyText) {
    EXPECT_TRUE(std::is_nothrow_move_constructible_v<ustring>) << "a move may throw";
    Probe source(Repeat<std::string>("caf\xC3\xA9/", 5));
    const char* const bytes = source.c_str();
    const uchar16_t* const units = source.c_str_utf16();
    Probe taken(std::move(source));
    EXPECT_EQ(bytes, taken.c_str()) << "the bytes were copied";
    EXPECT_EQ(units, taken.c_str_utf16()) << "the UTF-16 form was copied";
    Probe short_source("caf\xC3\xA9");
    Probe short_taken(std::move(short_source));
    EXPECT_EQ("caf\xC3\xA9", Bytes(short_taken)) << "a short text was not taken";
    for (Probe* moved : {&source, &short_source}) {
        EXPECT_EQ("", Bytes(*moved)) << "a source keeps bytes";
        EXPECT_EQ(0, *moved->c_str()) << "a source is not terminated";
        EXPECT_EQ(0, *moved->c_str_utf16()) << "a source's UTF-16 form is not terminated";
        EXPECT_EQ("inside", moved->storage()) << "a source still owns a buffer";
        EXPECT_EQ(0u, moved->wcap()) << "a source still owns a UTF-16 buffer";
        EXPECT_EQ("x", Bytes(*moved += "x")) << "a source is no longer usable";
    }

    std::vector<ustring> names;
    std::vector<const char*> buffers;
    for (int i = 0; i < 100; ++i) {
        names.emplace_back("a name too long to be held inside: " + std::to_string(i));
        buffers.push_back(names.back().c_str());
    }
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(buffers[i], names[i].c_str()) << "name " << i << " was copied as the vector grew";
}

}  // namespace
