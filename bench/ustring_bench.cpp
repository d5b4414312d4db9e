// ustring beside its peers on identical inputs: std::string for
// construction, appending, search and comparison; ICU's u_strFromUTF8 for the
// UTF-16 conversion; ICU's unorm2_normalize on the same UTF-16 input for
// NFC/NFD (the floor: ustring adds the conversions on both sides).
#include <benchmark/benchmark.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <string>
#include <vector>

#include "ustring.h"

namespace {

// A path-like text, the typical ustring.
const char kPath[] = "/home/user/Brimvale Sync/Projects/report-2026.txt";

// About 4 KiB of mixed text: ASCII, precomposed and decomposed Latin,
// Hangul, CJK and a character beyond the BMP, cut at a character boundary.
std::string MixedText() {
    const std::string seed =
        "Caf\xC3\xA9 cre\xCC\x80me /\xC3\x85str\xC3\xB6m/ "
        "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xE6\x96\x87\xE4\xBB\xB6 "
        "\xF0\x9F\x98\x80 plain ascii segment 0123456789; ";
    std::string s;
    while (s.size() + seed.size() <= 4096) s += seed;
    return s;
}

std::string AsciiText() {
    std::string s;
    while (s.size() < 4096) s += "abcdefghijklmnopqrstuvwxyz/0123456789-";
    s.resize(4096);
    return s;
}

const std::string& Input(int which) {
    static const std::string path = kPath, mixed = MixedText(), ascii = AsciiText();
    return which == 0 ? path : which == 1 ? ascii : mixed;
}

void Label(benchmark::State& state) {
    static const char* names[] = {"path", "ascii4k", "mixed4k"};
    state.SetLabel(names[state.range(0)]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(Input(static_cast<int>(state.range(0))).size()));
}

// ---- construct ----
void BM_Construct_ustring(benchmark::State& state) {
    const char* in = Input(static_cast<int>(state.range(0))).c_str();
    for (auto _ : state) {
        ustring s(in);
        benchmark::DoNotOptimize(s.c_str());
    }
    Label(state);
}
void BM_Construct_stdstring(benchmark::State& state) {
    const char* in = Input(static_cast<int>(state.range(0))).c_str();
    for (auto _ : state) {
        std::string s(in);
        benchmark::DoNotOptimize(s.data());
    }
    Label(state);
}
BENCHMARK(BM_Construct_ustring)->Arg(0)->Arg(2);
BENCHMARK(BM_Construct_stdstring)->Arg(0)->Arg(2);

// ---- append: a path built from 32 components ----
const char* const kComponents[] = {"/home", "/user", "/Brimvale Sync", "/Projects",
                                   "/2026", "/q1",   "/docs",          "/report.txt"};
void BM_Append_ustring(benchmark::State& state) {
    for (auto _ : state) {
        ustring s;
        for (int i = 0; i < 32; ++i) s += kComponents[i % 8];
        benchmark::DoNotOptimize(s.c_str());
    }
}
void BM_Append_stdstring(benchmark::State& state) {
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < 32; ++i) s += kComponents[i % 8];
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_Append_ustring);
BENCHMARK(BM_Append_stdstring);

// ---- find: a pattern at the end, a byte at the end, the last separator ----
void BM_Find_ustring(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    ustring s(in + "needle!");
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.find("needle!"));
        benchmark::DoNotOptimize(s.find_first_of('!'));
        benchmark::DoNotOptimize(s.rfind("/"));
    }
    Label(state);
}
void BM_Find_stdstring(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    std::string s(in + "needle!");
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.find("needle!"));
        benchmark::DoNotOptimize(s.find_first_of('!'));
        benchmark::DoNotOptimize(s.rfind("/"));
    }
    Label(state);
}
BENCHMARK(BM_Find_ustring)->Arg(0)->Arg(2);
BENCHMARK(BM_Find_stdstring)->Arg(0)->Arg(2);

// ---- compare: two equal texts in distinct buffers (the full walk) ----
void BM_Compare_ustring(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    ustring a(in), b(in);
    for (auto _ : state) benchmark::DoNotOptimize(a.compare(b));
    Label(state);
}
void BM_Compare_stdstring(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    std::string a(in), b(in);
    for (auto _ : state) benchmark::DoNotOptimize(a.compare(b));
    Label(state);
}
BENCHMARK(BM_Compare_ustring)->Arg(0)->Arg(2);
BENCHMARK(BM_Compare_stdstring)->Arg(0)->Arg(2);

// ---- UTF-16 conversion of a 4 KiB text ----
// The non-const operator[] drops the held form, so every iteration converts
// again into the buffer kept from the previous one.
void BM_Utf16_ustring(benchmark::State& state) {
    ustring s(Input(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(s[0]);
        benchmark::DoNotOptimize(s.c_str_utf16());
    }
    Label(state);
}
// A fresh string each time: the conversion including its allocation.
void BM_Utf16Fresh_ustring(benchmark::State& state) {
    ustring src(Input(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        ustring s(src);
        benchmark::DoNotOptimize(s.c_str_utf16());
    }
    Label(state);
}
// ICU alone, into a buffer allocated once, with the source length given:
// the floor.
void BM_Utf16_icu(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    std::vector<UChar> out(in.size() + 1);
    for (auto _ : state) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t len = 0;
        u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &len, in.data(),
                      static_cast<int32_t>(in.size()), &err);
        benchmark::DoNotOptimize(len);
        benchmark::DoNotOptimize(out.data());
    }
    Label(state);
}
// ICU the usual way: measure, then convert into a new std::u16string.
void BM_Utf16Measured_icu(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t len = 0;
        u_strFromUTF8(nullptr, 0, &len, in.c_str(), -1, &err);
        std::u16string out(static_cast<size_t>(len), u'\0');
        err = U_ZERO_ERROR;
        u_strFromUTF8(out.data(), len + 1, &len, in.c_str(), -1, &err);
        benchmark::DoNotOptimize(out.data());
    }
    Label(state);
}
BENCHMARK(BM_Utf16_ustring)->Arg(1)->Arg(2);
BENCHMARK(BM_Utf16Fresh_ustring)->Arg(1)->Arg(2);
BENCHMARK(BM_Utf16_icu)->Arg(1)->Arg(2);
BENCHMARK(BM_Utf16Measured_icu)->Arg(1)->Arg(2);

// ---- NFC / NFD of the 4 KiB mixed text ----
void BM_Normalize_ustring(benchmark::State& state) {
    ustring in(Input(2));
    auto form = state.range(0) == 0 ? ustring::NFC : ustring::NFD;
    in.c_str_utf16();  // the same UTF-16 input ICU gets below
    for (auto _ : state) {
        ustring out = in.normalize(form);
        benchmark::DoNotOptimize(out.c_str());
    }
    state.SetLabel(state.range(0) == 0 ? "NFC" : "NFD");
}
void BM_Normalize_icu(benchmark::State& state) {
    ustring in(Input(2));
    const UChar* src = in.c_str_utf16();
    int32_t src_len = u_strlen(src);
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* norm = unorm2_getInstance(
        nullptr, "nfc", state.range(0) == 0 ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &err);
    std::vector<UChar> out(static_cast<size_t>(src_len) * 4 + 1);
    for (auto _ : state) {
        err = U_ZERO_ERROR;
        int32_t len = unorm2_normalize(norm, src, src_len, out.data(),
                                       static_cast<int32_t>(out.size()), &err);
        benchmark::DoNotOptimize(len);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(state.range(0) == 0 ? "NFC" : "NFD");
    if (U_FAILURE(err)) state.SkipWithError("unorm2_normalize failed");
}
BENCHMARK(BM_Normalize_ustring)->Arg(0)->Arg(1);
BENCHMARK(BM_Normalize_icu)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
