// bench_read_tree.cpp: the native reader alone (index and records, no Python objects), in MB/s,
// over the shared corpus and the generated benchmark documents, beside pugixml parsing the same
// bytes in the same loop.
#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entities/attr_map.hpp"
#include "index/structural_index.hpp"
#include "read/tree_builder.hpp"
#include "storage/big_block.hpp"

namespace {

// With --ours-only pugixml is left out, for profiles of the reader alone.
bool with_peer = true;

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

// One pass of the reader over the whole document: records are taken in batches and dropped, as
// the module does when it turns them into nodes, and attribute maps are made from the thread's
// leased blocks, as in the module's reads. False (with the message) when the read fails.
bool read_once(vx::SourceText* source, const std::string& root, size_t* records, std::string* error) {
  vx::AttrLeaseScope attr_leases(source->size());
  vx::TreeReader reader(source, root);
  vx::ReadProgress progress;
  do {
    progress = reader.run(32 * 1024);
    *records += reader.records().size();
    reader.records().recycle(vx::kRetainedRecordBytes);
  } while (progress == vx::ReadProgress::More);
  if (progress != vx::ReadProgress::Failed) return true;
  *error = reader.take_error().text();
  return false;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration reads the document, then has pugixml parse it into a document that is kept and
// reused (its memory warm, the previous tree freed by the next load), with default options.
// The iteration's time is the reader's; pugixml's goes to the counters, with the ratio
// `vs_pugixml` (above 1: the reader is faster).
void read_tree_bench(benchmark::State& state, const Doc& doc) {
  std::string bytes = slurp(doc.path);
  if (bytes.empty()) {
    state.SkipWithError("missing document");
    return;
  }
  vx::SourceRef source(source_of(bytes));
  pugi::xml_document kept;
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    size_t records = 0;
    std::string error;
    if (!read_once(source.get(), doc.root, &records, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    benchmark::DoNotOptimize(records);
    double took = seconds_since(start);
    state.SetIterationTime(took);
    ours += took;

    if (!with_peer) continue;
    start = std::chrono::steady_clock::now();
    pugi::xml_parse_result parsed = kept.load_buffer(bytes.data(), bytes.size());
    theirs += seconds_since(start);
    if (!parsed) {
      state.SkipWithError(parsed.description());
      return;
    }
    benchmark::DoNotOptimize(kept.first_child());
  }
  const double total = static_cast<double>(state.iterations()) * static_cast<double>(bytes.size());
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["pugixml_MiB/s"] = theirs > 0 ? total / theirs / (1024.0 * 1024.0) : 0;
  state.counters["vs_pugixml"] = ours > 0 ? theirs / ours : 0;
}

// Tags per piece when the index alone is built piece by piece.
constexpr size_t kIndexWindow = 4096;

void index_bench(benchmark::State& state, const Doc& doc) {
  std::string bytes = slurp(doc.path);
  vx::StructuralIndex window;
  for (auto _ : state) {
    vx::IndexCursor cursor(bytes);
    size_t tags = 0;
    while (!cursor.done()) {
      if (!cursor.next(window, kIndexWindow).ok()) break;
      tags += window.tag_count();
    }
    benchmark::DoNotOptimize(tags);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  // pugixml copies each document into a fresh malloc block. Left to glibc's defaults, a block
  // that large is mapped and its pages faulted in on every parse, or not, as glibc's adaptive
  // threshold happens to stand: pugixml's figures then swing two- to threefold from run to run.
  // Kept on the heap, its memory stays warm, as the comparison intends.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
  int kept_args = 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ours-only") == 0) {
      with_peer = false;
    } else {
      argv[kept_args++] = argv[i];
    }
  }
  argc = kept_args;
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
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("index/" + d.name).c_str(), index_bench, d)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
