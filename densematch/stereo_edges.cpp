#include "densematch/stereo_edges.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/scratch.h"
#include "common/threads.h"
#include "simd/target_clones.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

// The median is found in a histogram of the window's values: bins of
// kBinWidth pixels, wider where the window spans more than kMaxBins of them.
// Inside the median's bin the weighted mean of its values is taken, so the
// result keeps sub-pixel detail; a bin's width is far below the gate.
constexpr float kBinWidth = 0.125f;
constexpr int kMaxBins = 1024;
// A window whose every kScreenStride-th column puts no more than
// kScreenShare of its weight on either side past the gate is not weighed in
// full.
constexpr int kScreenStride = 3;
constexpr float kScreenShare = 0.3f;
// Pixels weighed together: consecutive ones of a column, one per lane (a
// 512-bit vector of them).
constexpr int kLanes = 16;

// 2^y for y in [-126, 0], from plain arithmetic that the compiler
// vectorises, the same on every path: a polynomial for the fraction (within
// 2e-6 of it) and the integer part put into the exponent.
inline float Exp2Negative(float y) {
  const int whole = static_cast<int>(y);  // towards 0
  const int floor = whole - static_cast<int>(static_cast<float>(whole) > y);
  const float f = y - static_cast<float>(floor);  // [0, 1)
  const float p =
      1.0f + f * (0.69314718f + f * (0.24022652f + f * (0.05550411f + f * (0.00961813f +
                                                                          f * 0.00133336f))));
  const std::uint32_t bits = static_cast<std::uint32_t>(floor + 127) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return p * scale;
}

// min(d, cap) for d >= 0 or NaN (NaN gives cap), on the bits: those of
// non-negative floats order like the floats, and integer minima vectorise
// where a float comparison, which may trap, keeps the loop scalar.
inline float AtMost(float d, std::int32_t cap_bits) {
  std::int32_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  bits = std::min(bits, cap_bits);
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

// The two parts of a window pixel's weight exp(-difference / colour_scale -
// distance / radius), as exponents of 2: the distance part per window
// offset (column by column), the colour part per unit of the channels'
// summed difference (their mean is what the scale applies to), and the cap
// on that sum past which the weight is 2^-100: with it the exponent stays
// above -126 at any offset, whatever the images' values.
struct WindowWeights {
  std::vector<float> space_exponent;
  float colour_exponent = 0.0f;
  std::int32_t cap_bits = 0;
  WindowWeights(int radius, float colour_scale, int channels)
      : space_exponent(static_cast<std::size_t>(2 * radius + 1) * (2 * radius + 1)) {
    constexpr float kLog2E = 1.44269504f;
    const int side = 2 * radius + 1;
    for (int ox = -radius; ox <= radius; ++ox)
      for (int oy = -radius; oy <= radius; ++oy)
        space_exponent[(ox + radius) * side + oy + radius] =
            -std::sqrt(static_cast<float>(ox * ox + oy * oy)) / static_cast<float>(radius) *
            kLog2E;
    colour_exponent = -kLog2E / (colour_scale * static_cast<float>(channels));
    const float cap = 100.0f / -colour_exponent;
    std::memcpy(&cap_bits, &cap, sizeof cap);
  }
};

// The weights of kLanes consecutive pixels' windows, summed in all and below
// and above their gates, each lane on its own in offset order (so the sums
// are the same whatever the vector width).
struct LaneSums {
  float total[kLanes], low[kLanes], high[kLanes];
};

// What the lanes of one block share, and each lane's middle.
struct LaneJob {
  const float* guide = nullptr;   // padded, channel c at c * plane
  const float* field = nullptr;   // padded
  const float* inside = nullptr;  // padded: 1 inside the image, 0 in the pad
  Index plane = 0;
  int rows = 0, channels = 0, radius = 0;
  const float* space_exponent = nullptr;  // (2 radius + 1)^2, column by column
  float colour_exponent = 0.0f;
  std::int32_t cap_bits = 0;
  float colour[4][kLanes];  // the middles' guide values (at most 4 channels)
  float centre[kLanes], below_gate[kLanes], above_gate[kLanes];
};

// Sums the weights of the lanes' windows (pixels (x, yb + l)) over every
// `stride`-th column from the middle, x0 .. x1, and all rows. samples (null
// = not kept): each offset's weights and values, kLanes of each in turn,
// offset by offset (pad rows: weight 0, the middle's value).
DENSECORR_WIDE_CLONES
void WeighLanes(const LaneJob& job, int x, int x0, int x1, int yb, int stride, LaneSums* out,
                float* samples) {
  const int r = job.radius, side = 2 * r + 1;
  float total[kLanes], low[kLanes], high[kLanes];
  for (int l = 0; l < kLanes; ++l) total[l] = low[l] = high[l] = 0.0f;
  // Not kept: every offset writes over the same few floats, so that the
  // loop has no branch.
  float unkept[2 * kLanes];
  float* kept = samples != nullptr ? samples : unkept;
  const int step = samples != nullptr ? 2 * kLanes : 0;
  for (int wx = x - (x - x0) / stride * stride; wx <= x1; wx += stride) {
    const float* const space = job.space_exponent + (wx - x + r) * side;
    for (int dy = -r; dy <= r; ++dy) {
      // Lane l reads row yb + l + dy: padded row yb + l + dy + r.
      const Index at = Index{wx} * job.rows + yb + dy + r;
      float difference[kLanes];
      for (int l = 0; l < kLanes; ++l) difference[l] = 0.0f;
      for (int c = 0; c < job.channels; ++c) {
        const float* const g = job.guide + c * job.plane + at;
        for (int l = 0; l < kLanes; ++l) difference[l] += std::fabs(g[l] - job.colour[c][l]);
      }
      const float se = space[dy + r];
      const float* const f = job.field + at;
      const float* const in = job.inside + at;
      for (int l = 0; l < kLanes; ++l) {
        // Finite exactly when the difference with itself is 0; a value that
        // is not, or lies in the pad, counts as the middle one. Every term
        // is computed and selected, not branched on: the loop then
        // vectorises.
        const float w =
            Exp2Negative(AtMost(difference[l], job.cap_bits) * job.colour_exponent + se) * in[l];
        const float v = f[l] - f[l] == 0.0f && in[l] > 0.0f ? f[l] : job.centre[l];
        total[l] += w;
        low[l] += v < job.below_gate[l] ? w : 0.0f;
        high[l] += v > job.above_gate[l] ? w : 0.0f;
        kept[l] = w;
        kept[kLanes + l] = v;
      }
      kept += step;
    }
  }
  for (int l = 0; l < kLanes; ++l) {
    out->total[l] = total[l];
    out->low[l] = low[l];
    out->high[l] = high[l];
  }
}

// Column-major copies with `top` rows above and `bottom` rows below each
// column: the guide's channels, the field (where given), and 1 inside the
// image, 0 in the pad. A run of lanes then reads consecutive floats with no
// bounds to test.
struct Padded {
  int rows = 0;  // of a column
  ScratchBlock<float> block;
  const float* guide = nullptr;  // channel c at c * width * rows
  const float* field = nullptr;
  const float* inside = nullptr;
};

Padded PadColumns(const float* guide, int channels, const float* field, int width, int height,
                  int top, int bottom) {
  Padded out;
  out.rows = top + height + bottom;
  const Index plane = Index{width} * out.rows, n = Index{width} * height;
  const int planes = channels + (field != nullptr ? 2 : 1);
  out.block = AllocScratchBlock<float>(planes * plane);
  float* const g = out.block.get();
  float* const in = g + channels * plane;
  float* const f = field != nullptr ? in + plane : nullptr;
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < width; ++x) {
    for (int q = 0; q < out.rows; ++q) {
      const int y = q - top;
      const bool is_in = y >= 0 && y < height;
      const Index to = Index{x} * out.rows + q, from = Index{x} * height + y;
      for (int c = 0; c < channels; ++c) g[c * plane + to] = is_in ? guide[c * n + from] : 0.0f;
      if (f != nullptr) f[to] = is_in ? field[from] : 0.0f;
      in[to] = is_in ? 1.0f : 0.0f;
    }
  }
  out.guide = g;
  out.field = f;
  out.inside = in;
  return out;
}

// Each pixel's least and greatest finite value over the rows y - r .. y + r
// of its column (+inf and -inf where there is none).
void ColumnRanges(const float* field, int width, int height, int r, float* lo, float* hi) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < width; ++x) {
    const float* column = field + Index{x} * height;
    for (int y = 0; y < height; ++y) {
      float a = HUGE_VALF, b = -HUGE_VALF;
      const int y0 = std::max(0, y - r), y1 = std::min(height - 1, y + r);
      for (int wy = y0; wy <= y1; ++wy) {
        const float value = column[wy];
        if (!std::isfinite(value)) continue;
        a = std::min(a, value);
        b = std::max(b, value);
      }
      lo[Index{x} * height + y] = a;
      hi[Index{x} * height + y] = b;
    }
  }
}

// The field's slope along a line of `count` values `stride` apart: the
// median difference between consecutive finite values (the upper one of an
// even count's middle two), 0 where there is none or its magnitude is below
// `least`. A depth edge is one step among the line's many and does not move it.
float LineSlope(const float* values, int count, Index stride, float least) {
  constexpr int kMaxSteps = 2 * 64;
  float step[kMaxSteps];
  int n = 0;
  for (int i = 0; i + 1 < count && n < kMaxSteps; ++i) {
    const float a = values[i * stride], b = values[(i + 1) * stride];
    if (std::isfinite(a) && std::isfinite(b)) step[n++] = b - a;
  }
  if (n == 0) return 0.0f;
  std::nth_element(step, step + n / 2, step + n);
  const float slope = step[n / 2];
  return std::fabs(slope) >= least ? slope : 0.0f;
}

}  // namespace

float EdgeMedianExp2(float y) { return Exp2Negative(y); }

void EdgeAwareMedian(const float* guide, int channels, int width, int height,
                     const EdgeMedianParams& params, float* field, StopToken* stop) {
  if (width <= 0 || height <= 0) return;
  if (params.radius < 1) return;
  if (!(params.colour_scale > 0.0f) || !(params.gate >= 0.0f) || !(params.slant >= 0.0f) ||
      channels < 1 || channels > 4 || params.radius > 64)
    throw std::invalid_argument("edge-aware median: bad parameters");
  const int r = std::min(params.radius, std::max(width, height));
  const int side = 2 * r + 1;
  const Index n = Index{width} * height;

  const WindowWeights weights(r, params.colour_scale, channels);
  const float gate = params.gate;

  auto out = AllocScratch<float>(n);
  std::copy(field, field + n, out.get());
  auto column_lo = AllocScratch<float>(n);
  auto column_hi = AllocScratch<float>(n);
  ColumnRanges(field, width, height, r, column_lo.get(), column_hi.get());
  const Padded padded = PadColumns(guide, channels, field, width, height, r, r + kLanes);
  const int rows = padded.rows;
  const Index plane = Index{width} * rows;
  const int blocks = (height + kLanes - 1) / kLanes;
  // Each thread's window samples and histogram, allocated (and guarded)
  // before the threads start.
  const Index sample_floats = Index{2 * kLanes} * side * side;
  const Index per_thread = sample_floats + 2 * kMaxBins;
  auto buffers = AllocScratch<float>(MaxThreads() * per_thread);
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    float* const samples = buffers.get() + ThreadNumber() * per_thread;
    float* const bin_weight = samples + sample_floats;
    float* const bin_sum = bin_weight + kMaxBins;
    LaneJob job;
    job.guide = padded.guide;
    job.field = padded.field;
    job.inside = padded.inside;
    job.plane = plane;
    job.rows = rows;
    job.channels = channels;
    job.radius = r;
    job.space_exponent = weights.space_exponent.data();
    job.colour_exponent = weights.colour_exponent;
    job.cap_bits = weights.cap_bits;
#ifdef _OPENMP
#pragma omp for schedule(dynamic, 4)
#endif
    for (int x = 0; x < width; ++x) {
      if (StopNow(stop)) continue;
      const int x0 = std::max(0, x - r), x1 = std::min(width - 1, x + r);
      for (int block = 0; block < blocks; ++block) {
        const int yb = block * kLanes;
        // Lanes whose window spans more than the gate: a narrower one
        // cannot move its middle past it (most blocks end here).
        float centre[kLanes], lo[kLanes], hi[kLanes];
        bool any = false, need[kLanes];
        for (int l = 0; l < kLanes; ++l) {
          const int y = yb + l;
          need[l] = false;
          centre[l] = 0.0f;
          lo[l] = hi[l] = 0.0f;
          if (y >= height) continue;
          const Index p = Index{x} * height + y;
          centre[l] = field[p];
          if (!std::isfinite(centre[l])) {
            centre[l] = 0.0f;
            continue;
          }
          float a = centre[l], b = centre[l];
          for (int wx = x0; wx <= x1; ++wx) {
            a = std::min(a, column_lo[Index{wx} * height + y]);
            b = std::max(b, column_hi[Index{wx} * height + y]);
          }
          lo[l] = a;
          hi[l] = b;
          need[l] = b - a > gate;
          any = any || need[l];
        }
        if (!any) continue;
        for (int l = 0; l < kLanes; ++l) {
          job.centre[l] = centre[l];
          job.below_gate[l] = centre[l] - gate;
          job.above_gate[l] = centre[l] + gate;
        }
        for (int c = 0; c < channels; ++c)
          for (int l = 0; l < kLanes; ++l)
            job.colour[c][l] = padded.guide[c * plane + Index{x} * rows + yb + l + r];
        LaneSums sums;
        const auto weigh = [&](int stride, float* samples) {
          WeighLanes(job, x, x0, x1, yb, stride, &sums, samples);
        };
        // The median moves past the gate only where more than half of the
        // weight lies past it on one side. Every third column first: where
        // it leaves no side near half, the whole window would not either.
        const auto past = [&](int l, float share) {
          return sums.low[l] > share * sums.total[l] || sums.high[l] > share * sums.total[l];
        };
        weigh(kScreenStride, nullptr);
        any = false;
        for (int l = 0; l < kLanes; ++l) {
          need[l] = need[l] && past(l, kScreenShare);
          any = any || need[l];
        }
        if (!any) continue;
        weigh(1, samples);
        for (int l = 0; l < kLanes; ++l) {
          if (!need[l] || !past(l, 0.5f)) continue;
          // This pixel's weighted median, from a histogram of its window.
          const int y = yb + l;
          const Index p = Index{x} * height + y;
          const int count = (x1 - x0 + 1) * side;
          const float total = sums.total[l];
          // The window's values carried to the middle along the slopes;
          // the range widens by as much as that moves them.
          const int y0 = std::max(0, y - r), y1 = std::min(height - 1, y + r);
          const float sx =
              LineSlope(field + Index{x0} * height + y, x1 - x0 + 1, height, params.slant);
          const float sy = LineSlope(field + Index{x} * height + y0, y1 - y0 + 1, 1, params.slant);
          const float spread = (std::fabs(sx) + std::fabs(sy)) * static_cast<float>(r);
          const float low_end = lo[l] - spread, high_end = hi[l] + spread;
          // Values spread past the largest float (a field of huge finite
          // values) cannot be binned: such a window leaves its middle alone.
          if (!(high_end - low_end < HUGE_VALF)) continue;
          const float width_of_bin = std::max(kBinWidth, (high_end - low_end) / (kMaxBins - 1));
          const float per_bin = 1.0f / width_of_bin;
          const int bins = std::min(kMaxBins, static_cast<int>((high_end - low_end) * per_bin) + 1);
          std::fill(bin_weight, bin_weight + bins, 0.0f);
          std::fill(bin_sum, bin_sum + bins, 0.0f);
          for (int i = 0; i < count; ++i) {
            const float w = samples[2 * kLanes * i + l];
            const float v = samples[2 * kLanes * i + kLanes + l] -
                            sx * static_cast<float>(x0 + i / side - x) -
                            sy * static_cast<float>(i % side - r);
            // Rounding may carry v a hair past either end (and, near the
            // largest float, past it): the bin is clamped before the cast.
            const float at_bin = (v - low_end) * per_bin;
            const int b = at_bin > 0.0f ? (at_bin < static_cast<float>(bins - 1)
                                               ? static_cast<int>(at_bin)
                                               : bins - 1)
                                        : 0;
            bin_weight[b] += w;
            bin_sum[b] += w * v;
          }
          const float half = 0.5f * total;
          float below = 0.0f;
          int b = 0;
          while (b + 1 < bins && below + bin_weight[b] < half) below += bin_weight[b++];
          if (!(bin_weight[b] > 0.0f)) continue;
          const float median = bin_sum[b] / bin_weight[b];
          if (std::fabs(median - centre[l]) > gate) out[p] = median;
        }
      }
    }
  }
  ThrowIfStopped(stop);
  std::copy(out.get(), out.get() + n, field);
}

}  // namespace densecorr

namespace densecorr {

namespace {

constexpr int kMaxSnapReach = 16;

struct SnapJob {
  // Padded copies (PadColumns, pad = radius): lane l of a chunk starting at
  // padded row q reads row q + l.
  const float* image1 = nullptr;  // channel c at c * plane1
  const float* inside1 = nullptr;
  const float* image2 = nullptr;  // channel c at c * plane2
  const float* inside2 = nullptr;
  Index plane1 = 0, plane2 = 0;
  int rows1 = 0, rows2 = 0;  // of a padded column
  int w1 = 0, h1 = 0, w2 = 0, channels = 0, radius = 0, spacing = 0, reach = 0;
  int slope_reach = 0;  // the row's slope is read this far either side
  int far = 0;          // reach spacing, at most the width: the farthest candidate
  float slant = 0.0f, edge_step = 0.0f;
  const std::uint8_t* valid = nullptr;
  const float* dx = nullptr;             // as given
  const float* space_exponent = nullptr;  // (2 radius + 1)^2, column by column
  float colour_exponent = 0.0f;           // per unit of the channels' summed difference
  std::int32_t cap_bits = 0;
  std::int32_t truncate_bits = 0;  // the cap on the channels' summed difference
  float margin = 0.0f;
};

// The cost of displacement d for the pixel (x, y) whose window spans
// columns x0 .. x1 and `chunks` runs of kLanes rows from y - radius
// (weights: kLanes per run, run by run, column by column; 0 outside the
// window and the images): per lane, the weighted capped differences summed
// over the columns, then the lanes summed in order.
// Adds one window column's run of kLanes rows to sum: the weighted mean
// absolute difference between image 1 (one) and image 2 between columns
// left and right at fraction f, capped at cap. Always inlined, so that it
// takes the vector width of the clone that calls it.
__attribute__((always_inline)) inline void AddColumnRun(const float* w, const float* one,
                                                        const float* left, const float* right,
                                                        float f, int channels, Index plane1,
                                                        Index plane2, std::int32_t cap_bits,
                                                        float* sum) {
  float difference[kLanes];
  for (int l = 0; l < kLanes; ++l)
    difference[l] = std::fabs(one[l] - (left[l] + f * (right[l] - left[l])));
  for (int c = 1; c < channels; ++c) {
    one += plane1;
    left += plane2;
    right += plane2;
    for (int l = 0; l < kLanes; ++l)
      difference[l] += std::fabs(one[l] - (left[l] + f * (right[l] - left[l])));
  }
  // min(difference, cap) on the bits: a float comparison, which may trap,
  // would keep this loop scalar.
  for (int l = 0; l < kLanes; ++l) sum[l] += w[l] * AtMost(difference[l], cap_bits);
}

// The cost of each displacement d[k], k < count, for the pixel (x, y)
// whose window spans columns x0 .. x1 and `chunks` runs of kLanes rows from
// y - radius (weights: kLanes per run, run by run, column by column; 0
// outside the window and the images): per lane, the weighted capped
// differences summed over the columns, then the lanes summed in order.
DENSECORR_WIDE_CLONES
void WindowCosts(const SnapJob& job, const float* weights, int x0, int x1, int y, int chunks,
                 const float* d, int count, float* cost, float* sum) {
  const float last = static_cast<float>(job.w2 - 1);
  for (int k = 0; k < count; ++k) {
    float total = 0.0f;
    for (int chunk = 0; chunk < chunks; ++chunk) {
      // The sums in memory (kLanes floats of the caller's): as a local
      // array the compiler splits them into scalars and the loop with them.
      for (int l = 0; l < kLanes; ++l) sum[l] = 0.0f;
      // Padded row of the run's first lane: (y - radius + chunk kLanes) + radius.
      const Index row = y + chunk * kLanes;
      for (int qx = x0; qx <= x1; ++qx) {
        float x2 = static_cast<float>(qx) + d[k];
        x2 = x2 > 0.0f ? x2 : 0.0f;
        x2 = x2 < last ? x2 : last;
        const int i0 = static_cast<int>(x2), i1 = std::min(i0 + 1, job.w2 - 1);
        AddColumnRun(weights + ((qx - x0) * chunks + chunk) * kLanes,
                     job.image1 + Index{qx} * job.rows1 + row,
                     job.image2 + Index{i0} * job.rows2 + row,
                     job.image2 + Index{i1} * job.rows2 + row, x2 - static_cast<float>(i0),
                     job.channels, job.plane1, job.plane2, job.truncate_bits, sum);
      }
      for (int l = 0; l < kLanes; ++l) total += sum[l];
    }
    cost[k] = total;
  }
}

// One column of the snap: out[y] for the pixels (x, y), out holding the
// given displacements on entry.
DENSECORR_WIDE_CLONES
void SnapColumn(const SnapJob& job, int x, float* weights, float* out) {
  const int r = job.radius, side = 2 * r + 1, chunks = (side + kLanes - 1) / kLanes;
  const int x0 = std::max(0, x - r), x1 = std::min(job.w1 - 1, x + r);
  for (int y = 0; y < job.h1; ++y) {
    const Index p = Index{x} * job.h1 + y;
    if (job.valid != nullptr && job.valid[p] == 0) continue;
    const float own = job.dx[p];
    if (!std::isfinite(own)) continue;
    // Where the row's steps around the pixel lie closer together, and
    // closer to 0, than edge_step, no step departs that far from the slope
    // (which is one of them, or 0): no candidate, and no slope to find.
    const auto at = [&](int column) { return job.dx[Index{column} * job.h1 + y]; };
    {
      const int around = std::max(job.far, job.slope_reach);
      float least = HUGE_VALF, most = -HUGE_VALF;
      for (int i = std::max(0, x - around); i < std::min(job.w1 - 1, x + around); ++i) {
        const float step = at(i + 1) - at(i);
        least = std::min(least, step);
        most = std::max(most, step);
        if (!std::isfinite(step)) most = HUGE_VALF;
      }
      if (most - least < job.edge_step && std::max(-least, most) < job.edge_step) continue;
    }
    // Neighbours carried to this pixel along the row's slope: those on
    // its own slanted surface then differ from it by less than 1 px.
    const int a = std::max(0, x - job.slope_reach), b = std::min(job.w1 - 1, x + job.slope_reach);
    const float slope = LineSlope(job.dx + Index{a} * job.h1 + y, b - a + 1, job.h1, job.slant);
    // A curved surface strays from that line; its own pixels are those the
    // row reaches without a step that departs from the slope by edge_step:
    // only columns at or past the nearest such step on either side (left,
    // right) hold candidates.
    const auto breaks = [&](int column) {  // between column and column + 1
      return !(std::fabs(at(column + 1) - at(column) - slope) < job.edge_step);
    };
    const int far = job.far;
    int left = -1, right = job.w1;
    for (int i = x - 1; i >= std::max(0, x - far); --i) {
      if (breaks(i)) {
        left = i;
        break;
      }
    }
    for (int i = x; i < std::min(job.w1 - 1, x + far); ++i) {
      if (breaks(i)) {
        right = i + 1;
        break;
      }
    }
    float candidate[2 * kMaxSnapReach];
    int count = 0;
    for (int k = 1; k <= job.reach; ++k) {
      for (int side_sign = -1; side_sign <= 1; side_sign += 2) {
        const int xx = static_cast<int>(std::min<Index>(
            std::max<Index>(x + side_sign * Index{k} * job.spacing, 0), job.w1 - 1));
        if (xx > left && xx < right) continue;
        const float c = at(xx) - slope * static_cast<float>(xx - x);
        if (!std::isfinite(c) || std::fabs(c - own) < 1.0f) continue;
        bool seen = false;
        for (int i = 0; i < count; ++i) seen = seen || std::fabs(candidate[i] - c) < 0.25f;
        if (!seen) candidate[count++] = c;
      }
    }
    if (count == 0) continue;
    // The window's weights, run by run, column by column.
    const Index middle = Index{x} * job.rows1 + y + r;
    for (int qx = x0; qx <= x1; ++qx) {
      const float* const space = job.space_exponent + (qx - x + r) * side;
      for (int chunk = 0; chunk < chunks; ++chunk) {
        float* const w = weights + ((qx - x0) * chunks + chunk) * kLanes;
        const Index row = y + chunk * kLanes;
        const Index at = Index{qx} * job.rows1 + row;
        for (int l = 0; l < kLanes; ++l) w[l] = 0.0f;
        for (int c = 0; c < job.channels; ++c) {
          const float* const one = job.image1 + c * job.plane1;
          const float centre = one[middle];
          for (int l = 0; l < kLanes; ++l) w[l] += std::fabs(one[at + l] - centre);
        }
        // Window rows past the last (the run's tail) and rows outside
        // either image weigh 0.
        float exponent[kLanes], keep[kLanes];
        for (int l = 0; l < kLanes; ++l) {
          const int i = chunk * kLanes + l;
          exponent[l] = space[i < side ? i : 0];
          keep[l] = (i < side ? 1.0f : 0.0f) * job.inside1[at + l] *
                    job.inside2[row + l];  // the same in every column
        }
        for (int l = 0; l < kLanes; ++l)
          w[l] = Exp2Negative(AtMost(w[l], job.cap_bits) * job.colour_exponent + exponent[l]) *
                 keep[l];
      }
    }
    // The pixel's own displacement first, then the candidates.
    float displacement[2 * kMaxSnapReach + 1], cost[2 * kMaxSnapReach + 1];
    displacement[0] = own;
    for (int i = 0; i < count; ++i) displacement[i + 1] = candidate[i];
    WindowCosts(job, weights, x0, x1, y, chunks, displacement, count + 1, cost,
                weights + side * chunks * kLanes);
    const float own_cost = cost[0];
    float best = HUGE_VALF;
    int chosen = -1;
    for (int i = 0; i < count; ++i) {
      if (cost[i + 1] < best) {
        best = cost[i + 1];
        chosen = i;
      }
    }
    if (chosen >= 0 && best < job.margin * own_cost) out[y] = candidate[chosen];
  }
}

}  // namespace

void SnapToEdges(const float* image1, int width1, int height1, const float* image2, int width2,
                 int height2, int channels, const std::uint8_t* valid,
                 const EdgeSnapParams& params, float* dx, StopToken* stop) {
  if (width1 <= 0 || height1 <= 0 || params.radius < 1 || params.reach < 1) return;
  if (width2 <= 0 || height2 <= 0 || channels < 1 || channels > 4 || params.radius > 31 ||
      params.spacing < 1 || params.reach > kMaxSnapReach || !(params.colour_scale > 0.0f) ||
      !(params.truncate >= 0.0f) || !(params.margin >= 0.0f) || !(params.slant >= 0.0f) ||
      !(params.edge_step >= 0.0f))
    throw std::invalid_argument("edge snap: bad parameters");
  const int r = params.radius, side = 2 * r + 1;
  const Index n1 = Index{width1} * height1;
  const WindowWeights weights(r, params.colour_scale, channels);
  // Padded copies with r rows on top: the window of pixel (x, y) starts at
  // padded row y, and its runs of kLanes rows end before padded row
  // height1 + chunks kLanes, which both copies reach (the pad's values are 0
  // and weigh 0; image 2's padded rows are numbered as image 1's).
  const int chunks = (side + kLanes - 1) / kLanes;
  const int rows = height1 + chunks * kLanes;
  const Padded one = PadColumns(image1, channels, nullptr, width1, height1, r, rows - r - height1);
  const Padded two = PadColumns(image2, channels, nullptr, width2, height2, r,
                                std::max(0, rows - r - height2));
  SnapJob job;
  job.image1 = one.guide;
  job.inside1 = one.inside;
  job.image2 = two.guide;
  job.inside2 = two.inside;
  job.rows1 = one.rows;
  job.rows2 = two.rows;
  job.plane1 = Index{width1} * one.rows;
  job.plane2 = Index{width2} * two.rows;
  job.w1 = width1;
  job.h1 = height1;
  job.w2 = width2;
  job.channels = channels;
  job.radius = r;
  job.spacing = params.spacing;
  job.reach = params.reach;
  job.slope_reach = static_cast<int>(std::min<Index>(Index{params.reach} * params.spacing, 64));
  job.far = static_cast<int>(std::min<Index>(Index{params.reach} * params.spacing, width1));
  job.slant = params.slant;
  job.edge_step = params.edge_step;
  job.valid = valid;
  job.dx = dx;
  job.space_exponent = weights.space_exponent.data();
  job.colour_exponent = weights.colour_exponent;
  job.cap_bits = weights.cap_bits;
  const float truncate_sum = params.truncate * static_cast<float>(channels);
  std::memcpy(&job.truncate_bits, &truncate_sum, sizeof truncate_sum);
  job.margin = params.margin;

  auto out = AllocScratch<float>(n1);
  std::copy(dx, dx + n1, out.get());
  // Each thread's window weights, then kLanes sums, allocated (and guarded)
  // before the threads start.
  const Index per_thread = Index{side + 1} * chunks * kLanes;
  auto buffers = AllocScratch<float>(MaxThreads() * per_thread);
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    float* const window = buffers.get() + ThreadNumber() * per_thread;
#ifdef _OPENMP
#pragma omp for schedule(dynamic, 4)
#endif
    for (int x = 0; x < width1; ++x) {
      if (StopNow(stop)) continue;
      SnapColumn(job, x, window, out.get() + Index{x} * height1);
    }
  }
  ThrowIfStopped(stop);
  std::copy(out.get(), out.get() + n1, dx);
}

}  // namespace densecorr
