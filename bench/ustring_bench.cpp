// ustring beside its peers on identical inputs: std::string for
// construction, appending, search and comparison; ICU alone on the same UTF-8
// bytes for normalisation (Normalizer2's UTF-8 path, and its quick check for
// text already in the form asked for) and for the UTF-16 conversion
// (u_strFromUTF8 into a buffer given). At the end a table gives, for each
// pair, ustring's time over ICU's (the median and the best of the
// repetitions).
//
//   ustring_bench --benchmark_repetitions=7 --benchmark_filter='/(16|64|4096)/'
#include <benchmark/benchmark.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
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

// ---- normalisation and UTF-16 conversion at file-name sizes and 4 KiB ----

// Text of exactly `size` bytes: seed repeated, cut at a character boundary
// and padded with ASCII.
std::string Sized(const std::string& seed, size_t size) {
    std::string s;
    while (s.size() < size) s += seed;
    size_t cut = size;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
    s.append(size - cut, 'x');
    return s;
}

const icu::Normalizer2* Icu(ustring::normalization_form form) {
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* n = form == ustring::NFC ? icu::Normalizer2::getNFCInstance(err)
                                                     : icu::Normalizer2::getNFDInstance(err);
    if (U_FAILURE(err)) std::abort();
    return n;
}

std::string IcuNormalized(const std::string& s, ustring::normalization_form form) {
    std::string out;
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode err = U_ZERO_ERROR;
    Icu(form)->normalizeUTF8(0, s, sink, nullptr, err);
    return out;
}

// Name-like text: precomposed Latin, Hangul syllables, CJK, an emoji beyond
// the BMP. Its NFD form has combining marks and conjoining jamo.
const char kNfcSeed[] =
    "Caf\xC3\xA9 cr\xC3\xA8me \xC3\x85str\xC3\xB6m \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 "
    "\xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x98\x80 notes-2026.txt; ";

enum Kind { kAscii, kNfcMixed, kNfdMixed };
const char* const kKindName[] = {"ascii", "nfc-mixed", "nfd-mixed"};

std::string Text(Kind kind, size_t size) {
    if (kind == kAscii) return Sized("Brimvale Sync/Projects/report-2026_v3.txt ", size);
    std::string seed = kind == kNfcMixed ? kNfcSeed : IcuNormalized(kNfcSeed, ustring::NFD);
    return Sized(seed, size);
}

// ustring::normalize on a string that holds no UTF-16 form, as a name just
// read from the disk: the non-const operator[] drops any form kept from the
// previous call.
void NormalizeUstring(benchmark::State& state, Kind kind, size_t size,
                      ustring::normalization_form form) {
    ustring in(Text(kind, size));
    for (auto _ : state) {
        benchmark::DoNotOptimize(&in[0]);
        ustring out = in.normalize(form);
        benchmark::DoNotOptimize(out.c_str());
    }
}

void NormalizeIcu(benchmark::State& state, Kind kind, size_t size,
                  ustring::normalization_form form) {
    const std::string in = Text(kind, size);
    const icu::Normalizer2* n = Icu(form);
    std::vector<char> out(3 * in.size() + 16);
    for (auto _ : state) {
        icu::CheckedArrayByteSink sink(out.data(), static_cast<int32_t>(out.size()));
        UErrorCode err = U_ZERO_ERROR;
        n->normalizeUTF8(0, in, sink, nullptr, err);
        benchmark::DoNotOptimize(sink.NumberOfBytesWritten());
        benchmark::DoNotOptimize(out.data());
    }
}

void QuickCheckIcu(benchmark::State& state, Kind kind, size_t size,
                   ustring::normalization_form form) {
    const std::string in = Text(kind, size);
    const icu::Normalizer2* n = Icu(form);
    UErrorCode err = U_ZERO_ERROR;
    if (!n->isNormalizedUTF8(in, err)) state.SkipWithError("input is not in the form");
    for (auto _ : state) {
        err = U_ZERO_ERROR;
        benchmark::DoNotOptimize(n->isNormalizedUTF8(in, err));
    }
}

// The bytes change (a byte written back in place) so every call converts
// again, into the buffer kept from the previous call.
void Utf16Ustring(benchmark::State& state, Kind kind, size_t size) {
    ustring s(Text(kind, size));
    for (auto _ : state) {
        benchmark::DoNotOptimize(&s[0]);
        benchmark::DoNotOptimize(s.c_str_utf16());
    }
}

void Utf16Icu(benchmark::State& state, Kind kind, size_t size) {
    const std::string in = Text(kind, size);
    std::vector<UChar> out(in.size() + 1);
    for (auto _ : state) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t len = 0;
        u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &len, in.data(),
                      static_cast<int32_t>(in.size()), &err);
        benchmark::DoNotOptimize(len);
        benchmark::DoNotOptimize(out.data());
    }
}

// One row of the closing table: ustring's benchmark and ICU's beside it.
struct Pair {
    std::string ustring_name, icu_name;
};
std::vector<Pair>& Pairs() {
    static std::vector<Pair> pairs;
    return pairs;
}

template <typename Ours, typename Theirs>
void RegisterPair(const std::string& name, const std::string& icu_label, Ours ours, Theirs theirs) {
    const std::string u = name + "/ustring", i = name + "/" + icu_label;
    benchmark::RegisterBenchmark(u.c_str(), ours);
    benchmark::RegisterBenchmark(i.c_str(), theirs);
    Pairs().push_back({u, i});
}

void RegisterComparisons() {
    using F = ustring::normalization_form;
    const char* const form_name[] = {"NFC", "NFD"};
    for (size_t size : {16, 64, 4096}) {
        for (Kind kind : {kAscii, kNfcMixed, kNfdMixed}) {
            for (F form : {ustring::NFC, ustring::NFD}) {
                const bool already =
                    kind == kAscii || (kind == kNfcMixed) == (form == ustring::NFC);
                const std::string name = std::string(form_name[form]) + "/" + kKindName[kind] +
                                         "/" + std::to_string(size);
                auto ours = [=](benchmark::State& s) { NormalizeUstring(s, kind, size, form); };
                RegisterPair(name, "icu", ours,
                             [=](benchmark::State& s) { NormalizeIcu(s, kind, size, form); });
                if (already)
                    RegisterPair(name, "icu-check", ours,
                                 [=](benchmark::State& s) { QuickCheckIcu(s, kind, size, form); });
            }
            const std::string name =
                std::string("UTF16/") + kKindName[kind] + "/" + std::to_string(size);
            RegisterPair(
                name, "icu", [=](benchmark::State& s) { Utf16Ustring(s, kind, size); },
                [=](benchmark::State& s) { Utf16Icu(s, kind, size); });
        }
    }
}

// Collects the CPU time per iteration of every repetition (on a shared
// machine less disturbed than the time that passed), passing the runs on to
// the usual console output, and prints the ratios when all have run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-34s %13s %13s %8s %8s\n", "CPU ns per call, ustring / ICU", "ustring",
                    "ICU", "median", "best");
        for (const Pair& pair : Pairs()) {
            auto ours = times_.find(pair.ustring_name), theirs = times_.find(pair.icu_name);
            if (ours == times_.end() || theirs == times_.end()) continue;
            const double our_median = Median(ours->second), their_median = Median(theirs->second);
            const double our_best = Best(ours->second), their_best = Best(theirs->second);
            std::printf("%-34s %13.1f %13.1f %8.2f %8.2f\n", pair.icu_name.c_str(), our_median,
                        their_median, our_median / their_median, our_best / their_best);
        }
    }

  private:
    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    static double Best(const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    }

    std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterComparisons();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
