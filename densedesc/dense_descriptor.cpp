#include "densedesc/dense_descriptor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "densedesc/describe_kernels.h"
#include "densedesc/descriptor_math.h"
#include "simd/dispatch.h"

#ifdef _OPENMP
#define DENSEDESC_PARALLEL _Pragma("omp parallel")
#define DENSEDESC_FOR _Pragma("omp for schedule(static)")
#else
#define DENSEDESC_PARALLEL
#define DENSEDESC_FOR
#endif

namespace densecorr {

namespace {

// Ranges that keep every window, pad and channel count small and every
// division well defined.
constexpr float kMaxSmoothingSigma = 10.0f;
constexpr int kMaxOrientations = 32;
constexpr int kMaxCellSize = 16;
constexpr int kMaxGridCells = 8;

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

void CheckOptions(const DescribeOptions& o) {
  Require(std::isfinite(o.smoothing_sigma) && o.smoothing_sigma >= 0.0f &&
              o.smoothing_sigma <= kMaxSmoothingSigma,
          "smoothing_sigma must be finite and in [0, 10]");
  Require(o.n_orientations >= 2 && o.n_orientations <= kMaxOrientations,
          "n_orientations must be in [2, 32]");
  Require(o.cell_size >= 1 && o.cell_size <= kMaxCellSize, "cell_size must be in [1, 16]");
  Require(o.grid_cells >= 1 && o.grid_cells <= kMaxGridCells, "grid_cells must be in [1, 8]");
  Require(std::isfinite(o.norm_floor) && o.norm_floor > 0.0f,
          "norm_floor must be finite and positive");
}

void CheckImage(const ImageView& image) {
  Require(image.width >= 0 && image.height >= 0, "image width and height must not be negative");
  Require(image.channels == 1 || image.channels == 3, "image must have 1 or 3 channels");
  Require(image.data != nullptr || image.width == 0 || image.height == 0,
          "image data missing");
  Require(image.type == PixelType::kUint8 || image.type == PixelType::kUint16 ||
              image.type == PixelType::kFloat32 || image.type == PixelType::kFloat64,
          "unknown pixel type");
}

// Rows of padding above and below each pooled orientation map: the farthest
// cell centre from a pixel.
int PoolPad(const std::vector<int>& centres) {
  int pad = 0;
  for (int c : centres) pad = std::max(pad, c < 0 ? -c : c);
  return pad;
}

// Floats to a 64-byte multiple, so that each buffer of the block starts on one.
std::int64_t Rounded(std::int64_t floats) { return (floats + 15) / 16 * 16; }

// The working block of a width x height image: the grey image, its smoothed
// copy and gradient magnitudes (a plane each), the orientation votes and
// their vertically pooled, padded maps (n_orientations planes each).
std::int64_t ScratchFloats(int width, int height, int pad, int n_orient) {
  const std::int64_t n_pixel = std::int64_t{width} * height;
  const std::int64_t padded_plane = (height + 2 * std::int64_t{pad}) * width;
  return 3 * Rounded(n_pixel) + Rounded(n_orient * n_pixel) + n_orient * padded_plane;
}

}  // namespace

std::int64_t DescribeScratchFloats(int width, int height, const DescribeOptions& options) {
  CheckOptions(options);
  if (width <= 0 || height <= 0) return 0;
  return ScratchFloats(width, height,
                       PoolPad(desc::CellCentres(options.grid_cells, options.cell_size)),
                       options.n_orientations);
}

int DescriptorChannels(const DescribeOptions& options) {
  CheckOptions(options);
  return options.n_orientations * options.grid_cells * options.grid_cells;
}

void DescribeImageWith(const DescribeKernels& kernels, const ImageView& image,
                       const DescribeOptions& options, float* out, StopToken* stop,
                       std::ptrdiff_t out_plane, float* scratch) {
  CheckOptions(options);
  CheckImage(image);
  if (image.width == 0 || image.height == 0) return;
  Require(out != nullptr, "output missing");
  Require(out_plane == 0 || out_plane >= std::ptrdiff_t{image.width} * image.height,
          "output channels overlap");

  const std::vector<float> smooth_taps = desc::GaussianTaps(options.smoothing_sigma);
  const std::vector<float> pool_taps = desc::TriangleTaps(options.cell_size);
  const std::vector<int> centres = desc::CellCentres(options.grid_cells, options.cell_size);
  DescribeJob job;
  job.image = image;
  job.width = image.width;
  job.height = image.height;
  job.n_orient = options.n_orientations;
  job.n_pixel = static_cast<std::ptrdiff_t>(job.width) * job.height;
  job.smooth_taps = smooth_taps.data();
  job.n_smooth_taps = static_cast<int>(smooth_taps.size());
  job.pool_taps = pool_taps.data();
  job.n_pool_taps = static_cast<int>(pool_taps.size());
  job.centres = centres.data();
  job.n_centres = static_cast<int>(centres.size());
  job.pad = PoolPad(centres);
  job.padded_height = static_cast<std::ptrdiff_t>(job.height) + 2 * job.pad;
  job.padded_plane = job.padded_height * job.width;
  job.norm_floor = options.norm_floor;
  job.root_normalise = options.root_normalise;
  const std::int64_t n = job.n_orient;

  // Every buffer before any work (a failed allocation leaves `out`
  // untouched), all from one block: together they reach the size that gets
  // huge pages, and a fresh 4 kB page costs more to fault in than the stage
  // spends on it. Each part starts on a 64-byte boundary.
  const std::int64_t plane = Rounded(job.n_pixel);
  const std::int64_t v_floats = Rounded(n * job.n_pixel);
  ScratchBlock<float> block;
  if (scratch == nullptr) {
    block = AllocScratchBlock<float>(ScratchFloats(job.width, job.height, job.pad, job.n_orient));
    scratch = block.get();
  }
  job.grey = scratch;
  job.work = job.grey + plane;
  job.mag = job.work + plane;
  job.pooled_v = job.mag + plane;
  job.pooled = job.pooled_v + v_floats;
  job.out = out;
  job.out_plane = out_plane > 0 ? out_plane : job.n_pixel;

  // Each stage writes every value from fixed inputs in a fixed order, so the
  // split of columns between threads cannot change a bit.
  const int w = job.width;
  // Once a stop is seen, every remaining column is skipped.
  DENSEDESC_PARALLEL
  {
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x)
      if (!StopNow(stop)) kernels.read_smooth(job, x, x + 1);
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x)
      if (!StopNow(stop)) kernels.smooth_across(job, x, x + 1);
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x)
      if (!StopNow(stop)) kernels.orient_pool(job, x, x + 1);
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x)
      if (!StopNow(stop)) kernels.pool_across(job, x, x + 1);
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x)
      if (!StopNow(stop)) kernels.write_out(job, x, x + 1);
  }
  ThrowIfStopped(stop);
}

void DescribeImage(const ImageView& image, const DescribeOptions& options, float* out,
                   StopToken* stop, std::ptrdiff_t out_plane, float* scratch) {
  DescribeImageWith(DescribeKernelsFor(simd::SelectIsa()), image, options, out, stop, out_plane,
                    scratch);
}

}  // namespace densecorr
