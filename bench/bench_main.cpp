// Throughput of both modules on fixed cases, against a peak probe and the
// literal loop nests measured in the same run. Prints Google Benchmark's
// table, then one summary table (see bench/run).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "bench/literal_loops.h"
#include "bench/peak_probe.h"
#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
#include "common/scratch.h"
#include "densedisp/pixel_kernels.h"
#include "densedisp/search_offsets.h"
#include "simd/dispatch.h"

namespace {

void SetThreads(int n) {
#ifdef _OPENMP
  omp_set_num_threads(n);
#else
  (void)n;
#endif
}

struct Image {
  int height = 0, width = 0, feat_dim = 0;
  std::vector<float> values;
  Descriptor desc() const { return Descriptor{values.data(), width, height, feat_dim}; }
};

Image RandomImage(std::mt19937& rng, int height, int width, int feat_dim) {
  Image im{height, width, feat_dim, {}};
  im.values.resize(static_cast<size_t>(height) * width * feat_dim);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (float& v : im.values) v = u(rng);
  return im;
}

bool SameBits(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

// ---------------------------------------------------------------- cases

struct CellCase {
  std::string name;
  Image image1, image2;
  PyramidMatchParams params;
  densecorr::PyramidGeometry geometry;
  std::vector<int> shifts;
  double entries = 0;  // distances computed x channels
  bool exact = false;
  bool literal = true;  // the literal loops run too (not for the scale case)
  // The distance kernel alone writes a whole volume; a case whose volume
  // would not fit memory times it on a slice of translations instead.
  PyramidMatchParams kernel_params;
  densecorr::PyramidGeometry kernel_geometry;
  std::vector<int> kernel_shifts;
  double kernel_entries = 0;
};

struct PixelCase {
  std::string name;
  Image image1, image2;
  PixelMatchParams params;
  std::vector<int> field;
  std::vector<int> offsets;
  int n_offsets = 0;
  double entries = 0;
  bool exact = false;
};

// In-image distances x channels of a translation list.
double CellEntries(const densecorr::PyramidGeometry& g, const std::vector<int>& shifts, int grid,
                   int h, int w, int f) {
  std::int64_t computed = 0;
  for (size_t k = 0; k < shifts.size() / 2; ++k) {
    const int dx = shifts[2 * k], dy = shifts[2 * k + 1];
    std::int64_t cols = 0, rows = 0;
    for (int sx = 0; sx < g.n_sample_x; ++sx) cols += (sx * grid + dx >= 0 && sx * grid + dx < w);
    for (int sy = 0; sy < g.n_sample_y; ++sy) rows += (sy * grid + dy >= 0 && sy * grid + dy < h);
    computed += cols * rows;
  }
  return static_cast<double>(computed) * f;
}

// kernel_columns > 0: the kernel variant runs on that many translation
// columns around dx = 0 only.
CellCase MakeCellCase(const std::string& name, int h, int w, int f, int grid, int rx, int ry,
                      int levels, unsigned seed, int kernel_columns = 0) {
  std::mt19937 rng(seed);
  CellCase c;
  c.name = name;
  c.image1 = RandomImage(rng, h, w, f);
  c.image2 = RandomImage(rng, h, w, f);
  c.params = PyramidMatchParams{grid, levels, {rx, ry}, 8.0f};
  c.geometry = densecorr::ComputePyramidGeometry(w, h, grid, rx, ry, levels);
  const auto& g = c.geometry;
  for (int ix = 0; ix < g.n_shift_x; ++ix) {
    for (int iy = 0; iy < g.n_shift_y; ++iy) {
      c.shifts.push_back(g.shift_range_x[0] + ix * grid);
      c.shifts.push_back(g.shift_range_y[0] + iy * grid);
    }
  }
  c.entries = CellEntries(g, c.shifts, grid, h, w, f);
  c.kernel_params = c.params;
  c.kernel_geometry = c.geometry;
  c.kernel_shifts = c.shifts;
  c.kernel_entries = c.entries;
  if (kernel_columns > 0) {
    // The same translations' columns around dx = 0; the radius only sizes
    // the geometry the kernel call recomputes.
    const int half = kernel_columns / 2;
    c.kernel_params.search_radius[0] = half * grid;
    c.kernel_geometry = densecorr::ComputePyramidGeometry(w, h, grid, half * grid, ry, levels);
    const size_t first = 2 * static_cast<size_t>(g.n_shift_x / 2 - half) * g.n_shift_y;
    c.kernel_shifts.assign(c.shifts.begin() + first,
                           c.shifts.begin() + first + 2 * c.kernel_geometry.n_shift);
    c.kernel_entries = CellEntries(g, c.kernel_shifts, grid, h, w, f);
    c.literal = false;
  }
  return c;
}

// A field constant over block x block tiles (block 1: every pixel its own),
// values in +-spread.
std::vector<int> Field(std::mt19937& rng, int h, int w, int block, int spread) {
  std::uniform_int_distribution<int> u(-spread, spread);
  const int bh = (h + block - 1) / block, bw = (w + block - 1) / block;
  std::vector<int> values(2 * static_cast<size_t>(bh) * bw);
  for (int& v : values) v = u(rng);
  std::vector<int> field(2 * static_cast<size_t>(h) * w);
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const size_t p = static_cast<size_t>(x) * h + y,
                   b = static_cast<size_t>(x / block) * bh + y / block;
      field[2 * p] = values[2 * b];
      field[2 * p + 1] = values[2 * b + 1];
    }
  }
  return field;
}

PixelCase MakePixelCase(const std::string& name, int h, int w, int f, int radius, int block,
                        unsigned seed) {
  std::mt19937 rng(seed);
  PixelCase c;
  c.name = name;
  c.image1 = RandomImage(rng, h, w, f);
  c.image2 = RandomImage(rng, h, w, f);
  c.params = PixelMatchParams{1, {radius, radius}, 0.05f, 1000.0f, 0.0f};
  c.field = Field(rng, h, w, block, 20);
  const auto list = densecorr::BuildSearchOffsets(1, radius, radius, &c.n_offsets);
  c.offsets.assign(list.get(), list.get() + 2 * c.n_offsets);
  std::int64_t computed = 0;
  for (int p = 0; p < h * w; ++p) {
    const int x = p / h, y = p % h;
    for (int k = 0; k < c.n_offsets; ++k) {
      const long long x2 = static_cast<long long>(x) + c.field[2 * p] + c.offsets[2 * k];
      const long long y2 = static_cast<long long>(y) + c.field[2 * p + 1] + c.offsets[2 * k + 1];
      computed += (x2 >= 0 && x2 < w && y2 >= 0 && y2 < h);
    }
  }
  c.entries = static_cast<double>(computed) * f;
  return c;
}

std::vector<CellCase>& CellCases() {
  static std::vector<CellCase> cases;
  return cases;
}
std::vector<PixelCase>& PixelCases() {
  static std::vector<PixelCase> cases;
  return cases;
}

// ---------------------------------------------------------------- runs

struct CellOutputs {
  std::vector<float> volume, cost;
  std::vector<int> shifts;
};

CellOutputs NewCellOutputs(const CellCase& c, bool with_volume = true) {
  const auto& g = c.geometry;
  const auto& kg = c.kernel_geometry;
  return CellOutputs{
      std::vector<float>(with_volume ? static_cast<size_t>(kg.n_shift) * kg.n_sample : 0),
      std::vector<float>(static_cast<size_t>(g.n_shift) * g.n_cell),
      std::vector<int>(2 * static_cast<size_t>(g.n_shift))};
}

void LiteralCellWhole(const CellCase& c, CellOutputs& out) {
  std::fill(out.volume.begin(), out.volume.end(), c.params.truncate_const);
  out.shifts = c.shifts;
  densecorr::ShiftDistLiteral(c.image1.desc(), c.image2.desc(), c.params.grid_size, c.geometry,
                              c.params.truncate_const, out.volume.data(), out.shifts.data());
  literal::NodeCost(out.volume.data(), c.geometry, c.params.n_tree_level, out.cost.data());
}

struct PixelOutputs {
  std::vector<float> volume, cost;
  std::vector<int> field;
};

PixelOutputs NewPixelOutputs(const PixelCase& c) {
  const size_t n_pixel = c.field.size() / 2;
  return PixelOutputs{std::vector<float>(n_pixel * c.n_offsets), std::vector<float>(n_pixel),
                      c.field};
}

void LiteralPixelWhole(const PixelCase& c, PixelOutputs& out) {
  std::fill(out.volume.begin(), out.volume.end(), c.params.truncate_const);
  out.field = c.field;
  literal::DescDist(c.image1.desc(), c.image2.desc(), out.volume.data(), out.field.data(),
                    c.offsets.data(), c.n_offsets);
  literal::BestDisparity(out.volume.data(), out.field.data(), out.cost.data(), c.offsets.data(),
                         c.params.deform_coeff, static_cast<int>(out.cost.size()), c.n_offsets);
}

// ---------------------------------------------------------------- benchmarks

void BM_Cell(benchmark::State& state, size_t index, std::string variant, int threads) {
  SetThreads(threads);
  const CellCase& c = CellCases()[index];
  const auto& kernels = densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa());
  CellOutputs out = NewCellOutputs(c, variant != "whole");
  for (auto _ : state) {
    if (variant == "kernel") {
      densecorr::ComputeShiftDistWith(kernels, c.image1.desc(), c.image2.desc(), c.params.grid_size,
                                      c.kernel_params, out.volume.data(), c.kernel_shifts.data(),
                                      true);
    } else if (variant == "whole") {
      PyramidMatch().RunPyramidMatch(c.image1.desc(), c.image2.desc(), c.params, out.cost.data(),
                                     out.shifts.data());
    } else if (variant == "pooling") {
      PyramidMatch().ComputeNodeCost(out.volume.data(), c.image1.width, c.image1.height, c.params,
                                     c.params.grid_size, out.cost.data());
    } else if (variant == "literal_kernel") {
      densecorr::ShiftDistLiteral(c.image1.desc(), c.image2.desc(), c.params.grid_size, c.geometry,
                                  c.params.truncate_const, out.volume.data(), c.shifts.data());
    } else {
      LiteralCellWhole(c, out);
    }
    benchmark::ClobberMemory();
  }
  state.counters["entries/s"] =
      benchmark::Counter(variant == "kernel" ? c.kernel_entries : c.entries,
                         benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Pixel(benchmark::State& state, size_t index, std::string variant, int threads) {
  SetThreads(threads);
  const PixelCase& c = PixelCases()[index];
  const auto& kernels = densecorr::PixelKernelsFor(densecorr::simd::SelectIsa());
  PixelOutputs out = NewPixelOutputs(c);
  const int n_pixel = static_cast<int>(out.cost.size());
  for (auto _ : state) {
    if (variant == "kernel") {
      densecorr::ComputeDescDistWith(kernels, c.image1.desc(), c.image2.desc(), out.volume.data(),
                                     c.field.data(), c.offsets.data(), c.n_offsets,
                                     c.params.truncate_const, true);
    } else if (variant == "whole") {
      state.PauseTiming();
      out.field = c.field;
      state.ResumeTiming();
      PixelMatch().RunPixelMatch(c.image1.desc(), c.image2.desc(), out.field.data(),
                                 out.cost.data(), c.params);
    } else if (variant == "selection") {
      state.PauseTiming();
      out.field = c.field;
      state.ResumeTiming();
      PixelMatch().ComputeBestDisparity(out.volume.data(), out.field.data(), out.cost.data(),
                                        c.offsets.data(), c.params.deform_coeff, c.image1.width,
                                        c.image1.height, c.n_offsets);
    } else if (variant == "literal_kernel") {
      literal::DescDist(c.image1.desc(), c.image2.desc(), out.volume.data(), c.field.data(),
                        c.offsets.data(), c.n_offsets);
    } else {
      LiteralPixelWhole(c, out);
    }
    benchmark::ClobberMemory();
  }
  (void)n_pixel;
  state.counters["entries/s"] =
      benchmark::Counter(c.entries, benchmark::Counter::kIsIterationInvariantRate);
}

constexpr std::int64_t kProbeRounds = 1 << 22;

double ProbeEntries(int threads) {
  return static_cast<double>(threads) * kProbeRounds * 8 * bench::WidestProbe().lanes;
}

void BM_Peak(benchmark::State& state, int threads) {
  SetThreads(threads);
  const bench::Probe probe = bench::WidestProbe();
  std::vector<float> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = 0.001f * static_cast<float>(i % 97);
  float sink = 0.0f;
  for (auto _ : state) {
#pragma omp parallel num_threads(threads) reduction(+ : sink)
    sink += probe.run(data.data(), kProbeRounds);
  }
  benchmark::DoNotOptimize(sink);
  state.counters["entries/s"] =
      benchmark::Counter(ProbeEntries(threads), benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(probe.name);
}

constexpr size_t kBandwidthFloats = size_t{64} << 20;  // 256 MiB per buffer

// Reads one buffer and writes another: the traffic pattern of a pass that
// streams the volume.
void BM_Bandwidth(benchmark::State& state, int threads) {
  SetThreads(threads);
  std::unique_ptr<float[]> src(new float[kBandwidthFloats]), dst(new float[kBandwidthFloats]);
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(kBandwidthFloats);
#pragma omp parallel for schedule(static)
  for (std::ptrdiff_t i = 0; i < n; ++i) src[i] = dst[i] = 1.0f;
  for (auto _ : state) {
#pragma omp parallel for schedule(static)
    for (std::ptrdiff_t i = 0; i < n; ++i) dst[i] = src[i] + 1.0f;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * n * sizeof(float));
}

// ---------------------------------------------------------------- summary

// Best (smallest) seconds per iteration of every run, by name.
std::map<std::string, double>& Seconds() {
  static std::map<std::string, double> seconds;
  return seconds;
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}  // plain text, no colours
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const double seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string name = run.run_name.function_name;
      auto it = Seconds().find(name);
      if (it == Seconds().end() || seconds < it->second) Seconds()[name] = seconds;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

double Get(const std::string& name) {
  const auto it = Seconds().find(name);
  return it == Seconds().end() ? 0.0 : it->second;
}

std::string Name(const std::string& base, const std::string& variant, int threads) {
  return base + "/" + variant + "/threads:" + std::to_string(threads);
}

// Scratch bytes of one whole call, by case and thread count (counted where
// the core allocates).
std::map<std::string, double>& ScratchBytes() {
  static std::map<std::string, double> bytes;
  return bytes;
}

void PrintSummary(const std::vector<int>& thread_counts) {
  std::printf(
      "\nSummary (best of the repetitions; entries = distances computed x channels; "
      "peak = the probe's rate on as many threads)\n");
  std::printf("%-4s %3s %8s %6s %8s %6s %7s %8s %8s %8s %8s %6s\n", "case", "thr", "kern G/s",
              "peak", "call G/s", "peak", "call/k", "call ms", "scratch", "x lit-k", "x lit-c",
              "exact");
  struct Row {
    std::string name;
    double entries, kernel_entries;
    bool exact, literal;
  };
  std::vector<Row> rows;
  for (const auto& c : CellCases()) {
    rows.push_back({c.name, c.entries, c.kernel_entries, c.exact, c.literal});
  }
  for (const auto& c : PixelCases()) rows.push_back({c.name, c.entries, c.entries, c.exact, true});
  for (const Row& r : rows) {
    for (int t : thread_counts) {
      const double peak = ProbeEntries(t) / Get("peak/threads:" + std::to_string(t));
      const double kernel = Get(Name(r.name, "kernel", t)), call = Get(Name(r.name, "whole", t));
      if (kernel == 0.0 || call == 0.0) continue;  // filtered out
      const double kernel_rate = r.kernel_entries / kernel, call_rate = r.entries / call;
      char literal_k[16] = "-", literal_c[16] = "-";
      if (r.literal && Get(Name(r.name, "literal_kernel", t)) > 0.0 &&
          Get(Name(r.name, "literal_whole", t)) > 0.0) {
        std::snprintf(literal_k, sizeof literal_k, "%.1f",
                      Get(Name(r.name, "literal_kernel", t)) / kernel);
        std::snprintf(literal_c, sizeof literal_c, "%.1f",
                      Get(Name(r.name, "literal_whole", t)) / call);
      }
      std::printf("%-4s %3d %8.2f %5.0f%% %8.2f %5.0f%% %6.0f%% %8.2f %6.1fMB %8s %8s %6s\n",
                  r.name.c_str(), t, kernel_rate * 1e-9, 100.0 * kernel_rate / peak,
                  call_rate * 1e-9, 100.0 * call_rate / peak, 100.0 * call_rate / kernel_rate,
                  call * 1e3, ScratchBytes()[Name(r.name, "whole", t)] / 1e6, literal_k, literal_c,
                  r.literal ? (r.exact ? "yes" : "NO") : "-");
    }
  }
  std::printf("\npeak probe (%s, sub/mul/add, no FMA):", bench::WidestProbe().name);
  for (int t : thread_counts) {
    if (Get("peak/threads:" + std::to_string(t)) == 0.0) continue;
    std::printf("  %d thr %.2f Gentry/s", t,
                ProbeEntries(t) / Get("peak/threads:" + std::to_string(t)) * 1e-9);
  }
  std::printf("\n\nThe step operations alone (the whole call runs them fused):\n");
  for (const auto& group : {std::string("C2"), std::string("D2"), std::string("D2r")}) {
    const std::string reduce = group[0] == 'C' ? "pooling" : "selection";
    for (int t : thread_counts) {
      const double step = Get(Name(group, reduce, t));
      if (step == 0.0) continue;  // filtered out
      std::printf("  %-4s %d thr: %s of the whole volume %.2f ms\n", group.c_str(), t,
                  reduce.c_str(), step * 1e3);
    }
  }
  std::printf("memory bandwidth (read + write, 256 MiB buffers):");
  for (int t : thread_counts) {
    if (Get("bandwidth/threads:" + std::to_string(t)) == 0.0) continue;
    std::printf("  %d thr %.1f GB/s", t,
                2.0 * kBandwidthFloats * sizeof(float) /
                    Get("bandwidth/threads:" + std::to_string(t)) * 1e-9);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  CellCases().push_back(MakeCellCase("C1", 128, 160, 128, 4, 64, 48, 4, 1));
  CellCases().push_back(MakeCellCase("C2", 240, 320, 32, 2, 64, 48, 4, 2));
  // The scale case: its distance volume would take 3.8 GB; the kernel alone
  // is timed on the 9 translation columns around dx = 0.
  CellCases().push_back(MakeCellCase("C3", 480, 640, 32, 2, 128, 96, 5, 6, 9));
  PixelCases().push_back(MakePixelCase("D1", 240, 320, 128, 4, 16, 3));
  PixelCases().push_back(MakePixelCase("D2", 480, 640, 32, 3, 16, 4));
  PixelCases().push_back(MakePixelCase("D2r", 480, 640, 32, 3, 1, 5));

  // Bit-exact check of the fast calls against the literal loops.
  for (auto& c : CellCases()) {
    if (!c.literal) continue;
    CellOutputs fast = NewCellOutputs(c), slow = NewCellOutputs(c);
    PyramidMatch().RunPyramidMatch(c.image1.desc(), c.image2.desc(), c.params, fast.cost.data(),
                                   fast.shifts.data());
    LiteralCellWhole(c, slow);
    c.exact = fast.shifts == slow.shifts &&
              SameBits(fast.cost.data(), slow.cost.data(), fast.cost.size() * sizeof(float));
  }
  for (auto& c : PixelCases()) {
    PixelOutputs fast = NewPixelOutputs(c), slow = NewPixelOutputs(c);
    PixelMatch().RunPixelMatch(c.image1.desc(), c.image2.desc(), fast.field.data(),
                               fast.cost.data(), c.params);
    LiteralPixelWhole(c, slow);
    c.exact = fast.field == slow.field &&
              SameBits(fast.cost.data(), slow.cost.data(), fast.cost.size() * sizeof(float));
  }

  const std::vector<int> thread_counts = {1, 2};
  // Scratch of each whole call, counted where the core allocates.
  for (int t : thread_counts) {
    SetThreads(t);
    for (auto& c : CellCases()) {
      CellOutputs out = NewCellOutputs(c, false);
      const std::uint64_t before = densecorr::ScratchBytesAllocated();
      PyramidMatch().RunPyramidMatch(c.image1.desc(), c.image2.desc(), c.params, out.cost.data(),
                                     out.shifts.data());
      ScratchBytes()[Name(c.name, "whole", t)] =
          static_cast<double>(densecorr::ScratchBytesAllocated() - before);
    }
    for (auto& c : PixelCases()) {
      PixelOutputs out = NewPixelOutputs(c);
      const std::uint64_t before = densecorr::ScratchBytesAllocated();
      PixelMatch().RunPixelMatch(c.image1.desc(), c.image2.desc(), out.field.data(),
                                 out.cost.data(), c.params);
      ScratchBytes()[Name(c.name, "whole", t)] =
          static_cast<double>(densecorr::ScratchBytesAllocated() - before);
    }
  }
  // The probe runs before every case, and the summary keeps its best run:
  // a probe that happened to share the processor with other work would
  // understate the peak and overstate every fraction.
  const auto register_peak = [](int t) {
    benchmark::RegisterBenchmark(("peak/threads:" + std::to_string(t)).c_str(), BM_Peak, t)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  for (int t : thread_counts) {
    benchmark::RegisterBenchmark(("bandwidth/threads:" + std::to_string(t)).c_str(), BM_Bandwidth,
                                 t)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (size_t i = 0; i < CellCases().size(); ++i) {
      register_peak(t);
      const std::string& name = CellCases()[i].name;
      std::vector<std::string> variants = {"kernel", "whole"};
      if (CellCases()[i].literal) {
        variants.push_back("literal_kernel");
        variants.push_back("literal_whole");
      }
      if (name == "C2") variants.push_back("pooling");
      for (const auto& v : variants) {
        benchmark::RegisterBenchmark(Name(name, v, t).c_str(), BM_Cell, i, v, t)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(0.3);
      }
    }
    for (size_t i = 0; i < PixelCases().size(); ++i) {
      register_peak(t);
      const std::string& name = PixelCases()[i].name;
      std::vector<std::string> variants = {"kernel", "whole", "literal_kernel", "literal_whole"};
      if (name != "D1") variants.push_back("selection");
      for (const auto& v : variants) {
        benchmark::RegisterBenchmark(Name(name, v, t).c_str(), BM_Pixel, i, v, t)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(0.3);
      }
    }
  }

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(thread_counts);
  benchmark::Shutdown();
  return 0;
}
