// Pixel-by-pixel refinement of an integer displacement field: a local search
// on a grid of offsets with a deformation penalty. Plain C++: no host code.
#ifndef DENSECORR_DENSEDISP_PIXEL_MATCH_H_
#define DENSECORR_DENSEDISP_PIXEL_MATCH_H_

#include "common/descriptor.h"
#include "common/stop.h"

// Parameters of one call. Six 32-bit values, in this order.
struct PixelMatchParams {
  int search_grid_size;       // step g of the offset grid on both axes, >= 1
  int search_radius[2];       // [0] = rx (along x), [1] = ry (along y)
  float deform_coeff;         // weight of the deformation penalty
  float truncate_const;       // pre-fill of the volume: cost of candidates outside image 2
  float label_mismatch_cost;  // volume value of an incompatible label pair (label variant)
};

// Layouts shared by every operation (P1 = desc1.width * desc1.height):
//   disparity   2*P1 int32, (dx, dy) of pixel p = x*height + y at 2p, 2p+1;
//               pixel (x, y) of image 1 matches (x+dx, y+dy) of image 2.
//   best_cost   P1 floats.
//   search_offsets  n_offsets (sx, sy) pairs, sx outer, sy inner (fastest),
//               each from -radius upward in steps of g while <= radius.
//   dist_volume n_offsets planes of P1 floats: entry (k, p) at k*P1 + p.
// All buffers belong to the caller. Any element count that does not fit a
// signed 32-bit integer ends the call with std::bad_alloc before disparity
// or best_cost is touched.
class PixelMatch {
 public:
  // The three RunPixelMatch calls poll `token` (null: never stop) between
  // blocks of pixels and, once a stop is requested, end with
  // densecorr::Stopped; disparity and best_cost may then hold partial
  // results and must be discarded. A token already stopped ends a call
  // before any output is touched. Not owned.
  void SetStopToken(densecorr::StopToken* token) { stop_ = token; }

  // Basic pipeline: the result of the offsets, a volume pre-filled with
  // truncate_const, ComputeDescDist and ComputeBestDisparity, bit for bit,
  // computed block by block of pixels without the volume. Parallel over
  // blocks of pixels.
  void RunPixelMatch(Descriptor desc1, Descriptor desc2, int* disparity, float* best_cost,
                     const PixelMatchParams& params);

  // Label-constrained pipeline. labels1 holds P1 bytes, labels2 P2 bytes, in
  // pixel order; labels a, b are compatible when a == 2, b == 2 or a == b.
  // Incompatible in-image candidates cost label_mismatch_cost; compatible
  // ones their distance clipped at truncate_const. Equals the label
  // ComputeDescDist over a pre-filled volume and ComputeBestDisparity,
  // computed block by block without the volume; parallel over blocks.
  void RunPixelMatch(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                     const unsigned char* labels2, int* disparity, float* best_cost,
                     const PixelMatchParams& params);

  // Region-wise update. regions holds n_regions records (x_first, x_last,
  // y_first, y_last), inclusive pixel bounds in image 1; region_disparities
  // n_regions (rdx, rdy) pairs. Each pixel of each region, in list order, is
  // searched around the region's displacement with a Euclidean penalty and
  // takes the result only where it beats its stored cost strictly (the
  // result of UpdateDescDist region by region). The columns of a large
  // region run in parallel.
  void RunPixelMatch(Descriptor desc1, Descriptor desc2, const int* regions,
                     const int* region_disparities, int* disparity, float* best_cost,
                     int n_regions, const PixelMatchParams& params);

  // Writes the unclipped distance of every in-image candidate into
  // dist_volume; out-of-image entries are left as they are. Parallel over
  // pixels; reads no field of params.
  void ComputeDescDist(Descriptor desc1, Descriptor desc2, const PixelMatchParams& params,
                       float* dist_volume, const int* disparity, const int* search_offsets,
                       int n_offsets);

  // Label-constrained distances (see the label RunPixelMatch).
  void ComputeDescDist(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                       const unsigned char* labels2, const PixelMatchParams& params,
                       float* dist_volume, const int* disparity, const int* search_offsets,
                       int n_offsets);

  // For every pixel picks the first offset with the lowest distance +
  // deform_coeff*(|sx| + |sy|), adds it to the pixel's displacement and
  // stores its distance (without penalty) in best_cost. A pixel with no total
  // below the largest finite float keeps its displacement and gets +Inf.
  // Parallel over pixels.
  void ComputeBestDisparity(const float* dist_volume, int* disparity, float* best_cost,
                            const int* search_offsets, float deform_coeff, int width, int height,
                            int n_offsets);

  // One region of the region-wise update; euclid_penalty[k] is
  // deform_coeff * |offset k| (Euclidean). Reads no field of params.
  void UpdateDescDist(Descriptor desc1, Descriptor desc2, const PixelMatchParams& params,
                      float* best_cost, int* disparity, const int* region,
                      const int* region_disparity, const int* search_offsets,
                      const float* euclid_penalty, int n_offsets);
 private:
  densecorr::StopToken* stop_ = nullptr;
};

#endif  // DENSECORR_DENSEDISP_PIXEL_MATCH_H_
