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
#include "simd/dispatch.h"
#include "densedisp/pixel_kernels.h"
#include "densedisp/search_offsets.h"

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

CellCase MakeCellCase(const std::string& name, int h, int w, int f, int grid, int rx, int ry,
                      int levels, unsigned seed) {
  std::mt19937 rng(seed);
  CellCase c;
  c.name = name;
  c.image1 = RandomImage(rng, h, w, f);
  c.image2 = RandomImage(rng, h, w, f);
  c.params = PyramidMatchParams{grid, levels, {rx, ry}, 8.0f};
  c.geometry = densecorr::ComputePyramidGeometry(w, h, grid, rx, ry, levels);
  const auto& g = c.geometry;
  std::int64_t computed = 0;
  for (int ix = 0; ix < g.n_shift_x; ++ix) {
    for (int iy = 0; iy < g.n_shift_y; ++iy) {
      const int dx = g.shift_range_x[0] + ix * grid, dy = g.shift_range_y[0] + iy * grid;
      c.shifts.push_back(dx);
      c.shifts.push_back(dy);
      std::int64_t cols = 0, rows = 0;
      for (int sx = 0; sx < g.n_sample_x; ++sx) cols += (sx * grid + dx >= 0 && sx * grid + dx < w);
      for (int sy = 0; sy < g.n_sample_y; ++sy) rows += (sy * grid + dy >= 0 && sy * grid + dy < h);
      computed += cols * rows;
    }
  }
  c.entries = static_cast<double>(computed) * f;
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

CellOutputs NewCellOutputs(const CellCase& c) {
  const auto& g = c.geometry;
  return CellOutputs{std::vector<float>(static_cast<size_t>(g.n_shift) * g.n_sample),
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
  CellOutputs out = NewCellOutputs(c);
  for (auto _ : state) {
    if (variant == "kernel") {
      densecorr::ComputeShiftDistWith(kernels, c.image1.desc(), c.image2.desc(), c.params.grid_size,
                                      c.params, out.volume.data(), c.shifts.data(), true);
    } else if (variant == "whole") {
      PyramidMatch().RunPyramidMatch(c.image1.desc(), c.image2.desc(), c.params, out.cost.data(),
                                     out.shifts.data());
    } else if (variant == "pooling") {
      PyramidMatch().ComputeNodeCost(out.volume.data(), c.image1.width, c.image1.height, c.params,
                                     c.params.grid_size, out.cost.data());
    } else if (variant == "prefill") {
      std::fill(out.volume.begin(), out.volume.end(), c.params.truncate_const);
    } else if (variant == "literal_kernel") {
      densecorr::ShiftDistLiteral(c.image1.desc(), c.image2.desc(), c.params.grid_size,
                                  c.geometry, c.params.truncate_const, out.volume.data(),
                                  c.shifts.data());
    } else {
      LiteralCellWhole(c, out);
    }
    benchmark::ClobberMemory();
  }
  state.counters["entries/s"] =
      benchmark::Counter(c.entries, benchmark::Counter::kIsIterationInvariantRate);
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
    } else if (variant == "prefill") {
      std::fill(out.volume.begin(), out.volume.end(), c.params.truncate_const);
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

void PrintSummary(const std::vector<int>& thread_counts) {
  std::printf("\nSummary (best of the repetitions; entries = distances computed x channels)\n");
  std::printf("%-4s %3s %9s %6s %8s %8s %7s %8s %8s %6s\n", "case", "thr", "Gentry/s", "peak",
              "kern ms", "call ms", "call/k", "x lit-k", "x lit-c", "exact");
  struct Row {
    std::string name;
    double entries;
    bool exact;
  };
  std::vector<Row> rows;
  for (const auto& c : CellCases()) rows.push_back({c.name, c.entries, c.exact});
  for (const auto& c : PixelCases()) rows.push_back({c.name, c.entries, c.exact});
  for (const Row& r : rows) {
    for (int t : thread_counts) {
      const double peak = ProbeEntries(t) / Get("peak/threads:" + std::to_string(t));
      const double kernel = Get(Name(r.name, "kernel", t)), call = Get(Name(r.name, "whole", t));
      if (kernel == 0.0 || call == 0.0) continue;  // filtered out
      const double rate = r.entries / kernel;
      std::printf("%-4s %3d %9.2f %5.0f%% %8.2f %8.2f %6.0f%% %8.1f %8.1f %6s\n", r.name.c_str(), t,
                  rate * 1e-9, 100.0 * rate / peak, kernel * 1e3, call * 1e3, 100.0 * kernel / call,
                  Get(Name(r.name, "literal_kernel", t)) / kernel,
                  Get(Name(r.name, "literal_whole", t)) / call, r.exact ? "yes" : "NO");
    }
  }
  std::printf("\npeak probe (%s, sub/mul/add, no FMA):", bench::WidestProbe().name);
  for (int t : thread_counts) {
    if (Get("peak/threads:" + std::to_string(t)) == 0.0) continue;
    std::printf("  %d thr %.2f Gentry/s", t,
                ProbeEntries(t) / Get("peak/threads:" + std::to_string(t)) * 1e-9);
  }
  std::printf(
      "\n\nSplit of the whole call, 32-channel cases (pre-fill is fused into the "
      "distance pass; the stand-alone pre-fill shows what fusing saves)\n");
  std::printf("%-4s %3s %9s %9s %9s %9s %9s %9s %9s\n", "case", "thr", "call ms", "dist ms",
              "pool/sel", "rest ms", "prefill", "volume", "p/s GB/s");
  for (const auto& group : {std::string("C2"), std::string("D2"), std::string("D2r")}) {
    size_t volume_bytes = 0;
    for (const auto& c : CellCases()) {
      if (c.name == group)
        volume_bytes = sizeof(float) * c.geometry.n_shift * size_t(c.geometry.n_sample);
    }
    for (const auto& c : PixelCases()) {
      if (c.name == group) volume_bytes = sizeof(float) * c.field.size() / 2 * c.n_offsets;
    }
    if (volume_bytes == 0) continue;
    const std::string reduce = group[0] == 'C' ? "pooling" : "selection";
    for (int t : thread_counts) {
      const double call = Get(Name(group, "whole", t)), dist = Get(Name(group, "kernel", t));
      const double pool = Get(Name(group, reduce, t)), prefill = Get(Name(group, "prefill", t));
      if (call == 0.0 || dist == 0.0 || pool == 0.0) continue;  // filtered out
      std::printf("%-4s %3d %9.2f %9.2f %9.2f %9.2f %9.2f %7.0fMB %9.1f\n", group.c_str(), t,
                  call * 1e3, dist * 1e3, pool * 1e3, (call - dist - pool) * 1e3, prefill * 1e3,
                  volume_bytes / 1e6, volume_bytes / pool * 1e-9);
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
  PixelCases().push_back(MakePixelCase("D1", 240, 320, 128, 4, 16, 3));
  PixelCases().push_back(MakePixelCase("D2", 480, 640, 32, 3, 16, 4));
  PixelCases().push_back(MakePixelCase("D2r", 480, 640, 32, 3, 1, 5));

  // Bit-exact check of the fast calls against the literal loops.
  for (auto& c : CellCases()) {
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
      std::vector<std::string> variants = {"kernel", "whole", "literal_kernel", "literal_whole"};
      if (name == "C2") {
        variants.push_back("pooling");
        variants.push_back("prefill");
      }
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
      if (name != "D1") {
        variants.push_back("selection");
        variants.push_back("prefill");
      }
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
