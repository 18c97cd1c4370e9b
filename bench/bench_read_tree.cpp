// bench_read_tree.cpp: the native reader alone (index and records, no Python objects), in MB/s,
// over the shared corpus and the generated benchmark documents.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "index/structural_index.hpp"
#include "read/tree_builder.hpp"
#include "storage/big_block.hpp"

namespace {

struct Doc {
  std::string name, path, root;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

vx::SourceText* source_of(const std::string& bytes) {
  char* buffer = static_cast<char*>(vx::big_alloc(bytes.size() + 1));
  std::memcpy(buffer, bytes.data(), bytes.size());
  return vx::SourceText::adopt(buffer, bytes.size(), bytes.size() + 1);
}

void read_tree_bench(benchmark::State& state, const Doc& doc) {
  std::string bytes = slurp(doc.path);
  if (bytes.empty()) {
    state.SkipWithError("missing document");
    return;
  }
  vx::SourceRef source(source_of(bytes));
  // Records are taken in batches and dropped, as the module does when it turns them into nodes.
  for (auto _ : state) {
    vx::TreeReader reader(source.get(), doc.root);
    size_t records = 0;
    vx::ReadProgress progress;
    do {
      progress = reader.run(32 * 1024);
      records += reader.records().size();
      reader.records().recycle(vx::kRetainedRecordBytes);
    } while (progress == vx::ReadProgress::More);
    if (progress == vx::ReadProgress::Failed) {
      state.SkipWithError(reader.take_error().text().c_str());
      return;
    }
    benchmark::DoNotOptimize(records);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void index_bench(benchmark::State& state, const Doc& doc) {
  std::string bytes = slurp(doc.path);
  vx::StructuralIndex window;
  for (auto _ : state) {
    vx::IndexCursor cursor(bytes);
    size_t tags = 0;
    while (!cursor.done()) {
      if (!cursor.next(window, vx::kIndexWindow).ok()) break;
      tags += window.tag_count();
    }
    benchmark::DoNotOptimize(tags);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  // Paths relative to the repository root; the generated files exist once bench_read.py has run.
  const std::string shared = "../shared/corpus/", generated = "bench/results/generated/";
  std::vector<Doc> docs = {
      {"freedesktop", shared + "freedesktop.org.xml", "mime-info"},
      {"iso_639-3", shared + "iso_639-3.xml", "iso_639_3_entries"},
      {"evdev", shared + "evdev.xml", "xkbConfigRegistry"},
      {"attribute-dense", generated + "gen-attribute-dense.xml", "entries"},
      {"text-heavy", generated + "gen-text-heavy.xml", "book"},
      {"tiny-elements", generated + "gen-tiny-elements.xml", "r"},
      {"non-ascii", generated + "gen-non-ascii.xml", "corpus"},
  };
  for (const Doc& d : docs) {
    benchmark::RegisterBenchmark(("read_tree/" + d.name).c_str(), read_tree_bench, d)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("index/" + d.name).c_str(), index_bench, d)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
