#include "densematch/pyramid_inference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/scratch.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace densecorr {

namespace {

// The L1 envelope along one line of the label grid: two passes.
void EnvelopeLine(float* f, int n, std::ptrdiff_t stride, float weight) {
  for (int k = 1; k < n; ++k) {
    const float from_prev = f[(k - 1) * stride] + weight;
    if (from_prev < f[k * stride]) f[k * stride] = from_prev;
  }
  for (int k = n - 2; k >= 0; --k) {
    const float from_next = f[(k + 1) * stride] + weight;
    if (from_next < f[k * stride]) f[k * stride] = from_next;
  }
}

// One cell's neighbours: the edge (cell -> neighbour) is out-edge e of the
// cell, and reverse[e] is the edge (neighbour -> cell), whose message the
// cell receives.
struct Graph {
  std::vector<int> first;     // n_cell + 1 offsets into the edge arrays
  std::vector<int> target;    // neighbour of each out-edge
  std::vector<int> reverse;   // index of the opposite edge
  std::vector<char> parent;   // 1 = parent/child edge, 0 = same level
  std::vector<int> order;     // cells in update groups
  std::vector<int> group_end; // end of each group in `order`
};

int LevelOffset(int l) { return ((1 << (2 * l)) - 1) / 3; }

Graph BuildGraph(int n_level) {
  Graph g;
  const int n_cell = LevelOffset(n_level);
  g.first.assign(n_cell + 1, 0);
  std::vector<int> nb;
  std::vector<char> kind;
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const int c = LevelOffset(l) + i * n + j;
        g.first[c] = static_cast<int>(nb.size());
        const auto add = [&](int t, char k) {
          nb.push_back(t);
          kind.push_back(k);
        };
        if (i > 0) add(c - n, 0);
        if (i + 1 < n) add(c + n, 0);
        if (j > 0) add(c - 1, 0);
        if (j + 1 < n) add(c + 1, 0);
        if (l > 0) add(LevelOffset(l - 1) + (i / 2) * (n / 2) + j / 2, 1);
        if (l + 1 < n_level) {
          for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) add(LevelOffset(l + 1) + (2 * i + a) * 2 * n + 2 * j + b, 1);
        }
      }
    }
  }
  g.first[n_cell] = static_cast<int>(nb.size());
  g.target = nb;
  g.parent = kind;
  g.reverse.assign(nb.size(), -1);
  for (int c = 0; c < n_cell; ++c) {
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const int t = g.target[e];
      for (int r = g.first[t]; r < g.first[t + 1]; ++r) {
        if (g.target[r] == c) g.reverse[e] = r;
      }
    }
  }
  // Groups: per level, the two colours of the checkerboard. Cells of one
  // group share no edge, so they can be updated at once.
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    for (int colour = 0; colour < 2; ++colour) {
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
          if (((i + j) & 1) == colour) g.order.push_back(LevelOffset(l) + i * n + j);
      if (g.order.size() > (g.group_end.empty() ? 0u : static_cast<size_t>(g.group_end.back())))
        g.group_end.push_back(static_cast<int>(g.order.size()));
    }
  }
  return g;
}

}  // namespace

void TruncatedL1Envelope(float* h, int n_x, int n_y, float weight, float truncate) {
  if (n_x <= 0 || n_y <= 0) return;
  const std::ptrdiff_t n = std::ptrdiff_t{n_x} * n_y;
  float lowest = h[0];
  for (std::ptrdiff_t k = 1; k < n; ++k) lowest = std::min(lowest, h[k]);
  for (int x = 0; x < n_x; ++x) EnvelopeLine(h + std::ptrdiff_t{x} * n_y, n_y, 1, weight);
  for (int y = 0; y < n_y; ++y) EnvelopeLine(h + y, n_x, n_y, weight);
  const float cap = lowest + truncate;
  for (std::ptrdiff_t k = 0; k < n; ++k) h[k] = std::min(h[k], cap);
}

void InferCellShifts(const float* node_cost, int n_shift_x, int n_shift_y, int n_level,
                     const PyramidInferenceParams& params, int* labels) {
  if (n_level < 1 || n_level > 15 || n_shift_x < 1 || n_shift_y < 1)
    throw std::invalid_argument("pyramid inference: sizes out of range");
  const int n_shift = CheckedCount(std::int64_t{n_shift_x} * n_shift_y);
  const int n_cell = LevelOffset(n_level);
  const std::int64_t n_entry = std::int64_t{n_shift} * n_cell;
  for (std::int64_t k = 0; k < n_entry; ++k) {
    if (!std::isfinite(node_cost[k]))
      throw std::invalid_argument("pyramid inference: cell costs must be finite");
  }
  const Graph g = BuildGraph(n_level);
  const int n_edge = static_cast<int>(g.target.size());
  auto messages = AllocScratch<float>(std::int64_t{n_edge} * n_shift);
  std::fill(messages.get(), messages.get() + std::int64_t{n_edge} * n_shift, 0.0f);

  int n_threads = 1;
#ifdef _OPENMP
  n_threads = omp_get_max_threads();
#endif
  // Per-thread belief and message buffers; their contents never cross cells.
  auto scratch = AllocScratch<float>(std::int64_t{2} * n_shift * n_threads);

  const auto update_cell = [&](int c, float* belief, float* h) {
    const float* cost = node_cost + std::ptrdiff_t{c} * n_shift;
    for (int k = 0; k < n_shift; ++k) belief[k] = cost[k];
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const float* in = messages.get() + std::ptrdiff_t{g.reverse[e]} * n_shift;
      for (int k = 0; k < n_shift; ++k) belief[k] += in[k];
    }
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const float* in = messages.get() + std::ptrdiff_t{g.reverse[e]} * n_shift;
      for (int k = 0; k < n_shift; ++k) h[k] = belief[k] - in[k];
      const bool parent = g.parent[e] != 0;
      TruncatedL1Envelope(h, n_shift_x, n_shift_y,
                          parent ? params.parent_weight : params.neighbour_weight,
                          parent ? params.parent_truncate : params.neighbour_truncate);
      // Messages are kept with their minimum at 0, so that sums of many stay
      // in a range where single precision resolves the costs.
      float lowest = h[0];
      for (int k = 1; k < n_shift; ++k) lowest = std::min(lowest, h[k]);
      float* out = messages.get() + std::ptrdiff_t{e} * n_shift;
      for (int k = 0; k < n_shift; ++k) out[k] = h[k] - lowest;
    }
  };

  const int n_group = static_cast<int>(g.group_end.size());
  const auto run_group = [&](int group) {
    const int begin = group == 0 ? 0 : g.group_end[group - 1];
    const int end = g.group_end[group];
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (end - begin > 1)
#endif
    for (int q = begin; q < end; ++q) {
      int t = 0;
#ifdef _OPENMP
      t = omp_get_thread_num();
#endif
      float* belief = scratch.get() + std::ptrdiff_t{2} * n_shift * t;
      update_cell(g.order[q], belief, belief + n_shift);
    }
  };
  for (int it = 0; it < params.n_iterations; ++it) {
    for (int group = 0; group < n_group; ++group) run_group(group);
    for (int group = n_group - 1; group >= 0; --group) run_group(group);
  }

  // Each cell takes the first translation of lowest belief.
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int c = 0; c < n_cell; ++c) {
    int t = 0;
#ifdef _OPENMP
    t = omp_get_thread_num();
#endif
    float* belief = scratch.get() + std::ptrdiff_t{2} * n_shift * t;
    const float* cost = node_cost + std::ptrdiff_t{c} * n_shift;
    for (int k = 0; k < n_shift; ++k) belief[k] = cost[k];
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const float* in = messages.get() + std::ptrdiff_t{g.reverse[e]} * n_shift;
      for (int k = 0; k < n_shift; ++k) belief[k] += in[k];
    }
    int best = 0;
    for (int k = 1; k < n_shift; ++k)
      if (belief[k] < belief[best]) best = k;
    labels[c] = best;
  }
}

}  // namespace densecorr
