// Copy and assignment of CString against std::u16string at 16 bytes, 1 KiB and
// 64 KiB of text, and Format of a log path. CString copies share the block
// (one atomic increment); std::u16string copies the text.
#include <string>

#include "benchmark/benchmark.h"
#include "text/cstring.h"

namespace {

// Bytes of text to units of text.
std::u16string TextOfBytes(int64_t bytes) {
  return std::u16string(static_cast<size_t>(bytes / 2), u'x');
}

void BM_CStringCopy(benchmark::State& state) {
  std::u16string text = TextOfBytes(state.range(0));
  CString source(text.c_str());
  for (auto _ : state) {
    CString copy(source);
    benchmark::DoNotOptimize(copy.GetString());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_U16StringCopy(benchmark::State& state) {
  std::u16string source = TextOfBytes(state.range(0));
  for (auto _ : state) {
    std::u16string copy(source);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Assignment alternates between two sources so that every assignment changes
// the target.
void BM_CStringAssign(benchmark::State& state) {
  std::u16string text = TextOfBytes(state.range(0));
  CString first(text.c_str());
  CString second(text.c_str());
  CString target;
  bool flip = false;
  for (auto _ : state) {
    target = flip ? first : second;
    flip = !flip;
    benchmark::DoNotOptimize(target.GetString());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_U16StringAssign(benchmark::State& state) {
  std::u16string first = TextOfBytes(state.range(0));
  std::u16string second = TextOfBytes(state.range(0));
  std::u16string target;
  bool flip = false;
  for (auto _ : state) {
    target = flip ? first : second;
    flip = !flip;
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Assigning text copies it: the CString keeps its own block when it is large
// enough, as std::u16string keeps its capacity.
void BM_CStringAssignText(benchmark::State& state) {
  std::u16string text = TextOfBytes(state.range(0));
  CString target;
  for (auto _ : state) {
    target = text.c_str();
    benchmark::DoNotOptimize(target.GetString());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The log path of a language pack, formatted into a new string each time.
void BM_CStringFormatLogPath(benchmark::State& state) {
  const char16_t* folder = u"C:\\Users\\someone\\AppData\\Local\\Temp";
  for (auto _ : state) {
    CString path;
    path.Format(u"%s\\MIVO%s%sInstall.log", folder, u"_", u"1033");
    benchmark::DoNotOptimize(path.GetString());
  }
}

// The same path formatted again into a string that already owns a block.
void BM_CStringFormatLogPathReused(benchmark::State& state) {
  const char16_t* folder = u"C:\\Users\\someone\\AppData\\Local\\Temp";
  CString path;
  for (auto _ : state) {
    path.Format(u"%s\\MIVO%s%sInstall.log", folder, u"_", u"1033");
    benchmark::DoNotOptimize(path.GetString());
  }
}

// The same path built by concatenation, for comparison.
void BM_U16StringConcatLogPath(benchmark::State& state) {
  const std::u16string folder = u"C:\\Users\\someone\\AppData\\Local\\Temp";
  for (auto _ : state) {
    std::u16string path = folder + u"\\MIVO" + u"_" + u"1033" + u"Install.log";
    benchmark::DoNotOptimize(path.data());
  }
}

}  // namespace

BENCHMARK(BM_CStringCopy)->Arg(16)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_U16StringCopy)->Arg(16)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_CStringAssign)->Arg(16)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_U16StringAssign)->Arg(16)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_CStringAssignText)->Arg(16)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_CStringFormatLogPath);
BENCHMARK(BM_CStringFormatLogPathReused);
BENCHMARK(BM_U16StringConcatLogPath);

BENCHMARK_MAIN();
