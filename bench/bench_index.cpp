// bench_index.cpp: throughput of the structural index per builder, built whole and through the
// cursor in pieces of 4096 tags (as the reader consumes it), on real and generated documents.
//
// Usage: bench_index [benchmark flags] [file.xml ...]
// Without files it takes the shared corpus and the generated documents of bench/corpus.py
// (bench/results/generated/), skipping any that are missing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "index/structural_index.hpp"

namespace {

using vx::IndexBuilder;

constexpr size_t kPieceTags = 4096;

std::vector<std::string> default_paths() {
  const std::string root = VX_SOURCE_ROOT;
  std::vector<std::string> paths;
  for (const char* name : {"freedesktop.org.xml", "iso_639-3.xml", "evdev.xml"})
    paths.push_back(root + "/../shared/corpus/" + name);
  for (const char* name : {"gen-attribute-dense.xml", "gen-text-heavy.xml", "gen-tiny-elements.xml",
                           "gen-non-ascii.xml"})
    paths.push_back(root + "/bench/results/generated/" + name);
  return paths;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  out = std::move(text).str();
  return true;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Nominal clock from /proc/cpuinfo, to turn bytes per second into bytes per cycle. 0 if unknown.
double clock_hz() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("cpu MHz", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return std::stod(line.substr(colon + 1)) * 1e6;
    }
  }
  return 0;
}

const double kHz = clock_hz();

void report(benchmark::State& state, size_t bytes, size_t tags) {
  const double total = static_cast<double>(bytes) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["tags"] = static_cast<double>(tags);
  if (kHz > 0) state.counters["B/cycle"] = benchmark::Counter(total / kHz, benchmark::Counter::kIsRate);
}

void index_whole(benchmark::State& state, const std::string* doc, IndexBuilder builder) {
  size_t tags = 0;
  for (auto _ : state) {
    auto result = vx::build_index(*doc, builder);
    if (!result.ok()) {
      state.SkipWithError(result.error().text().c_str());
      return;
    }
    tags = result.value().tag_count();
    benchmark::DoNotOptimize(result.value().tags.data());
  }
  report(state, doc->size(), tags);
}

void index_pieces(benchmark::State& state, const std::string* doc, IndexBuilder builder) {
  size_t tags = 0;
  vx::StructuralIndex piece;
  piece.tags.reserve(kPieceTags);
  for (auto _ : state) {
    vx::IndexCursor cursor(*doc, builder);
    tags = 0;
    while (!cursor.done()) {
      if (!cursor.next(piece, kPieceTags).ok()) {
        state.SkipWithError("unclosed tag");
        return;
      }
      tags += piece.tag_count();
      benchmark::DoNotOptimize(piece.tags.data());
    }
  }
  report(state, doc->size(), tags);
}

// The ceiling: one read of every byte, as memchr for a byte the document lacks.
void read_ceiling(benchmark::State& state, const std::string* doc) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memchr(doc->data(), '\x01', doc->size()));
  }
  report(state, doc->size(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> paths(argv + 1, argv + argc);
  if (paths.empty()) paths = default_paths();

  // Documents live until the end of main; the benchmarks hold pointers to them.
  std::vector<std::unique_ptr<std::string>> docs;
  for (const std::string& path : paths) {
    auto doc = std::make_unique<std::string>();
    if (!read_file(path, *doc)) {
      std::fprintf(stderr, "skipping %s: cannot read it\n", path.c_str());
      continue;
    }
    const std::string name = base_name(path);
    const std::string* text = doc.get();
    docs.push_back(std::move(doc));
    benchmark::RegisterBenchmark(("read_ceiling/" + name).c_str(), read_ceiling, text);
    for (IndexBuilder builder : {IndexBuilder::Scalar, IndexBuilder::QuoteAware}) {
      const std::string label = builder == IndexBuilder::Scalar ? "scalar" : "quote_aware";
      benchmark::RegisterBenchmark(("index_pieces/" + name + "/" + label).c_str(), index_pieces, text,
                                   builder)
          ;
      benchmark::RegisterBenchmark(("index_whole/" + name + "/" + label).c_str(), index_whole, text,
                                   builder)
          ;
    }
  }
  if (docs.empty()) {
    std::fprintf(stderr, "no documents to measure\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
