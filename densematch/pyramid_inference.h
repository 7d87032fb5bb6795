// Joint choice of one translation per pyramid cell: min-sum belief
// propagation over the quad-tree pyramid's cells, with a truncated L1 cost
// between neighbouring cells of a level and between a cell and its parent.
// Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_PYRAMID_INFERENCE_H_
#define DENSECORR_DENSEMATCH_PYRAMID_INFERENCE_H_

#include <cstdint>

namespace densecorr {

class StopToken;

struct PyramidInferenceParams {
  // Cost of a difference of one translation step (on either axis) between
  // two neighbouring cells of one level, and its cap.
  float neighbour_weight = 0.0f;
  float neighbour_truncate = 0.0f;
  // The same between a cell and its parent.
  float parent_weight = 0.0f;
  float parent_truncate = 0.0f;
  // Each iteration updates every cell once: levels coarse to fine, then fine
  // to coarse.
  int n_iterations = 0;
};

// node_cost: the cellcost table (n_shift = n_shift_x*n_shift_y rows,
// translation index k = kx*n_shift_y + ky; cells level by level, coarsest
// first, cell (i, j) of level l at (4^l - 1)/3 + i*2^l + j with j the row
// index). Every entry must be finite. Writes the chosen translation index of
// every cell to labels (n_cell ints). The result does not depend on the
// thread count: cells updated together share no edge, and each writes only
// its own outgoing messages. Throws std::bad_alloc when memory runs out,
// std::invalid_argument on sizes out of range. stop (null = never): polled
// from the calling thread between iterations; a stop request throws
// Stopped with labels untouched. scratch: null, or
// InferenceScratchFloats(...) floats for the messages (a caller that has
// memory already touched saves faulting in a fresh block).
void InferCellShifts(const float* node_cost, int n_shift_x, int n_shift_y, int n_level,
                     const PyramidInferenceParams& params, int* labels,
                     StopToken* stop = nullptr, float* scratch = nullptr);

// Floats of the messages' scratch for these sizes (0 when out of range).
std::int64_t InferenceScratchFloats(int n_shift_x, int n_shift_y, int n_level);

// The lower envelope of h(k) + weight*(|kx - kx'| + |ky - ky'|) over k' on
// an n_x x n_y grid (ky fastest), capped at min(h) + truncate, in place.
// Exposed for tests.
void TruncatedL1Envelope(float* h, int n_x, int n_y, float weight, float truncate);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_PYRAMID_INFERENCE_H_
