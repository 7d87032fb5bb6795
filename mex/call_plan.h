// What a gateway must know of a call before it creates anything: whether
// every count the core forms fits 32 bits (the "search too large" rule), the
// sizes of the outputs, and the scratch the core will allocate.
//
// The verdict and the counts come from the cores' own geometry functions, so
// the sizing rules live in one place. The scratch figure is an estimate kept
// here, behind these two functions, until the cores report their own plan;
// it is an upper bound of what the current drivers allocate.
#ifndef DENSECORR_MEX_CALL_PLAN_H_
#define DENSECORR_MEX_CALL_PLAN_H_

#include <cstdint>
#include <new>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "common/descriptor.h"
#include "common/scratch.h"
#include "densedisp/pixel_match.h"
#include "densedisp/search_offsets.h"

namespace densecorr {
namespace gateway {

// Generous sizes of the drivers' small per-item records and fixed padding.
constexpr std::uint64_t kTileRecordBytes = 32;    // one per translation / offset run
constexpr std::uint64_t kCellRecordBytes = 64;    // one per pyramid cell
constexpr std::uint64_t kFixedScratchBytes = std::uint64_t{64} << 10;

struct CellcostPlan {
  bool fits = false;
  PyramidGeometry geometry;
  std::uint64_t scratch_bytes = 0;
};

// Arguments that passed every documented check before "search too large".
inline CellcostPlan PlanCellcostCall(const Descriptor& desc1, const Descriptor& desc2,
                                     const PyramidMatchParams& params) noexcept {
  CellcostPlan plan;
  try {
    plan.geometry = ComputePyramidGeometry(desc1.width, desc1.height, params.grid_size,
                                           params.search_radius[0], params.search_radius[1],
                                           params.n_tree_level);
  } catch (const std::bad_alloc&) {
    return plan;  // a count beyond 32 bits
  }
  plan.fits = true;
  const PyramidGeometry& g = plan.geometry;
  const std::uint64_t n_shift = static_cast<std::uint64_t>(g.n_shift);
  const std::uint64_t n_sample = static_cast<std::uint64_t>(g.n_sample);
  const std::uint64_t feat_dim = desc1.feat_dim > 0 ? static_cast<std::uint64_t>(desc1.feat_dim) : 0;
  // The window of image 2's sample grid that the translations reach.
  const std::uint64_t grid = static_cast<std::uint64_t>(params.grid_size);
  const auto samples = [grid](int extent) -> std::uint64_t {
    return extent > 0 ? (static_cast<std::uint64_t>(extent) - 1) / grid + 1 : 0;
  };
  std::uint64_t window_x = samples(desc2.width), window_y = samples(desc2.height);
  const std::uint64_t reach_x = static_cast<std::uint64_t>(g.n_sample_x) + g.n_shift_x;
  const std::uint64_t reach_y = static_cast<std::uint64_t>(g.n_sample_y) + g.n_shift_y;
  if (reach_x < window_x) window_x = reach_x;
  if (reach_y < window_y) window_y = reach_y;
  plan.scratch_bytes = 4 * n_shift * n_sample                        // distance volume
                       + 8 * n_shift + kTileRecordBytes * n_shift    // translation list, tiles
                       + 4 * feat_dim * (n_sample + window_x * window_y)  // packed sample grids
                       + 4 * (n_sample + 1)                          // summed-area table
                       + kCellRecordBytes * static_cast<std::uint64_t>(g.n_cell) +
                       kFixedScratchBytes;
  return plan;
}

struct DensedispPlan {
  bool fits = false;
  int n_offsets = 0;
  int n_pixel = 0;
  std::uint64_t scratch_bytes = 0;
};

inline DensedispPlan PlanDensedispCall(const Descriptor& desc1, const PixelMatchParams& params) noexcept {
  DensedispPlan plan;
  try {
    plan.n_offsets = CountSearchOffsets(params.search_grid_size, params.search_radius[0],
                                        params.search_radius[1]);
    plan.n_pixel = CheckedPixelCount(desc1.width, desc1.height);
    CheckedCount(std::int64_t{plan.n_offsets} * plan.n_pixel);
  } catch (const std::bad_alloc&) {
    return plan;
  }
  plan.fits = true;
  const std::uint64_t n_offsets = static_cast<std::uint64_t>(plan.n_offsets);
  plan.scratch_bytes = 4 * n_offsets * static_cast<std::uint64_t>(plan.n_pixel)  // volume
                       + 8 * n_offsets + 4 * n_offsets                           // offsets, penalty
                       + 2 * kTileRecordBytes * n_offsets                        // offset runs
                       + kFixedScratchBytes;
  return plan;
}

}  // namespace gateway
}  // namespace densecorr

#endif  // DENSECORR_MEX_CALL_PLAN_H_
