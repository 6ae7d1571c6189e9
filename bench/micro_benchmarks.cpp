// Micro benchmarks: the code page 932 and UTF-8 converters (bytes per second) and the building of
// a FolderContents from paths in the order a walk finds them (paths per second).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "compare/folder_contents.h"
#include "compare/path_order.h"
#include "platform/code_page.h"

namespace {

using namespace pairwick;

// Text shaped like the diagnostics log: ASCII paths, with Japanese names and line prefixes.
NarrowText logLikeText(std::size_t bytes) {
  const NarrowText prefix = cp932(u"[DEBUG] 検出 (A): ");
  const NarrowText japanese[] = {cp932(u"表計算"), cp932(u"ソフト"), cp932(u"予定表"),
                                 cp932(u"報告書")};
  std::mt19937 random(42);
  NarrowText text;
  while (text.size() < bytes) {
    text += prefix;
    const int depth = 3 + static_cast<int>(random() % 4);
    for (int level = 0; level < depth; ++level) {
      if (level > 0) text += '/';
      if (random() % 10 == 0) {
        text += japanese[random() % 4];
      } else {
        for (int k = 0; k < 8; ++k) text += static_cast<char>('a' + random() % 26);
      }
    }
    text += "\r\n";
  }
  return text;
}

// The relative paths of a tree of `count` entries (fan-out about 20), in the order of a walk.
std::vector<NarrowText> walkOrderPaths(std::size_t count) {
  std::mt19937 random(7);
  std::vector<NarrowText> paths;
  std::vector<NarrowText> folders{""};
  for (std::size_t next = 0; paths.size() < count; next = (next + 1) % folders.size()) {
    const NarrowText folder = folders[next];
    for (int child = 0; child < 20 && paths.size() < count; ++child) {
      NarrowText name;
      for (int k = 0; k < 4 + static_cast<int>(random() % 9); ++k) {
        name += static_cast<char>('a' + random() % 26);
      }
      paths.push_back(folder.empty() ? name : folder + "/" + name);
      if (random() % 20 < 9) folders.push_back(paths.back());
    }
  }
  // A walk meets a folder's entries in hash order, not sorted.
  std::shuffle(paths.begin(), paths.end(), random);
  return paths;
}

void Cp932LenientDecode(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  WideText out;
  for (auto _ : state) {
    out.clear();
    appendCp932Lenient(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Cp932LenientDecode);

// The final log's conversion: lenient decoding and per-unit UTF-8 in one pass.
void Cp932LenientToUtf8(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  std::string out(text.size() * 3, '\0');
  for (auto _ : state) {
    std::size_t written = 0;
    benchmark::DoNotOptimize(platform::decodeCp932LenientToUtf8(text, out.data(), written));
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Cp932LenientToUtf8);

void Cp932StrictDecode(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  WideText out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(decodeCp932Strict(text, out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Cp932StrictDecode);

void Cp932StrictEncode(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  WideText wide;
  appendCp932Lenient(text, wide);
  NarrowText out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(encodeCp932Strict(wide, out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Cp932StrictEncode);

void Utf8PerUnitEncode(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  WideText wide;
  appendCp932Lenient(text, wide);
  std::string out;
  for (auto _ : state) {
    out.clear();
    appendUtf8PerUnit(wide, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8PerUnitEncode);

// The narrow form of a name as the scanner takes it for every entry (UTF-8 on POSIX).
void NarrowNameFromNative(benchmark::State& state) {
  const NarrowText text = logLikeText(1 << 20);
  WideText wide;
  appendCp932Lenient(text, wide);
  const std::filesystem::path native = std::u16string(wide.begin(), wide.begin() + 4096);
  NarrowText out;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(platform::appendNarrowName(native.native(), out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(NarrowNameFromNative);

void FolderContentsBuild(benchmark::State& state) {
  const std::vector<NarrowText> paths = walkOrderPaths(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    FoundPaths found;
    for (const NarrowText& path : paths) addFound(found, path, kWholePath);
    FolderContents contents;
    putFoundInOrder(found, contents);
    benchmark::DoNotOptimize(contents.tails.bytes.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * paths.size()));
}
BENCHMARK(FolderContentsBuild)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
