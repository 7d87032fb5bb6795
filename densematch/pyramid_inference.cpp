#include "densematch/pyramid_inference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/scratch.h"
#include "common/stop.h"
#include "simd/dispatch.h"
#include "simd/target_clones.h"

#ifdef _OPENMP
#include <omp.h>
#endif

#ifdef DENSECORR_HAS_WIDE_CLONES
#include <immintrin.h>
#endif

namespace densecorr {

namespace {

// The message loops are also built for AVX2 and AVX-512 (DENSECORR_WIDE_CLONES):
// lanes are independent translations (adds, subtractions and minima), so
// every build gives the same bits. With AVX-512, the messages' transposes
// run in registers (see MessageFrom512).
#ifdef DENSECORR_HAS_WIDE_CLONES
#define DENSECORR_WIDE_MESSAGES
#endif

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
  // At most 9 edges a cell, four ints each, plus the cell lists: refused up
  // front when the system cannot hold them.
  GuardScratchRequest(static_cast<std::uint64_t>(n_cell) * (9 * (3 * sizeof(int) + 1) + 3 * sizeof(int)));
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

// Lowest value of n floats, eight running minima at a time (min is exact, so
// the grouping cannot change the result).
DENSECORR_INLINE float Lowest(const float* h, std::ptrdiff_t n) {
  float lane[8];
  const std::ptrdiff_t n8 = n - n % 8;
  for (int i = 0; i < 8; ++i) lane[i] = n8 > 0 ? h[i] : h[0];
  for (std::ptrdiff_t k = 8; k < n8; k += 8)
    for (int i = 0; i < 8; ++i) lane[i] = h[k + i] < lane[i] ? h[k + i] : lane[i];
  float lowest = h[0];
  for (int i = 0; i < 8; ++i) lowest = lane[i] < lowest ? lane[i] : lowest;
  for (std::ptrdiff_t k = n8; k < n; ++k) lowest = h[k] < lowest ? h[k] : lowest;
  return lowest;
}

// The envelope along the outer index of an n_outer x n_inner array (inner
// fastest): whole rows at a time, so the inner loop runs over independent
// entries.
DENSECORR_INLINE void EnvelopeOuter(float* f, int n_outer, int n_inner, float weight) {
  for (int o = 1; o < n_outer; ++o) {
    float* row = f + std::ptrdiff_t{o} * n_inner;
    const float* prev = row - n_inner;
    for (int i = 0; i < n_inner; ++i) {
      const float v = prev[i] + weight;
      row[i] = v < row[i] ? v : row[i];
    }
  }
  for (int o = n_outer - 2; o >= 0; --o) {
    float* row = f + std::ptrdiff_t{o} * n_inner;
    const float* next = row + n_inner;
    for (int i = 0; i < n_inner; ++i) {
      const float v = next[i] + weight;
      row[i] = v < row[i] ? v : row[i];
    }
  }
}

void EnvelopeWith(float* h, float* scratch, int n_x, int n_y, float weight, float truncate) {
  if (n_x <= 0 || n_y <= 0) return;
  const std::ptrdiff_t n = std::ptrdiff_t{n_x} * n_y;
  const float cap = Lowest(h, n) + truncate;
  // Along x: rows of n_y entries. Along y: the same on the transpose.
  EnvelopeOuter(h, n_x, n_y, weight);
  for (int x = 0; x < n_x; ++x)
    for (int y = 0; y < n_y; ++y) scratch[std::ptrdiff_t{y} * n_x + x] = h[std::ptrdiff_t{x} * n_y + y];
  EnvelopeOuter(scratch, n_y, n_x, weight);
  for (int x = 0; x < n_x; ++x)
    for (int y = 0; y < n_y; ++y) {
      const float v = scratch[std::ptrdiff_t{y} * n_x + x];
      h[std::ptrdiff_t{x} * n_y + y] = v < cap ? v : cap;
    }
}

#if defined(DENSECORR_WIDE_MESSAGES)
// GCC 12 warns of the unset source operand its AVX-512 shuffle intrinsics
// pass themselves (_mm512_undefined_ps); every lane here is set.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// A 16 x 16 block of floats transposed in registers: r[i] lane j becomes
// r[j] lane i.
__attribute__((target("avx512f"))) inline void Transpose16(__m512 r[16]) {
  __m512 t[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {
    const __m512d a = _mm512_castps_pd(t[4 * i]), b = _mm512_castps_pd(t[4 * i + 1]);
    const __m512d c = _mm512_castps_pd(t[4 * i + 2]), d = _mm512_castps_pd(t[4 * i + 3]);
    r[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
    r[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
    r[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
    r[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
  }
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 4; ++j) {
      t[8 * i + j] = _mm512_shuffle_f32x4(r[8 * i + j], r[8 * i + 4 + j], 0x88);
      t[8 * i + 4 + j] = _mm512_shuffle_f32x4(r[8 * i + j], r[8 * i + 4 + j], 0xdd);
    }
  }
  for (int j = 0; j < 8; ++j) {
    r[j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0x88);
    r[8 + j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0xdd);
  }
}

// One row of a chain: the lowest of the row and the chain's previous value
// plus weight, stored and kept.
template <int V>
__attribute__((target("avx512f"))) DENSECORR_INLINE void ChainStep(__m512* chain, float* row,
                                                                   __m512 w) {
  for (int k = 0; k < V; ++k) {
    chain[k] = _mm512_min_ps(_mm512_add_ps(chain[k], w), _mm512_load_ps(row + 16 * k));
    _mm512_store_ps(row + 16 * k, chain[k]);
  }
}

// The envelope along the outer index of rows of 16 * V floats, starting
// both passes at once: a forward chain from the first row and a backward
// chain from the last. Until they meet, each chain stores its one-sided
// result (every row is the lowest of its own value and the rows on one
// side plus their distance); past the middle each runs over the other's
// results and stores the envelope. Each entry ends as the lowest of the
// chains h[j] + weight + ... + weight, one addition per row of distance, as
// the two passes one after the other give it: a longer chain adds more
// non-negative weights and is never lower, and min is exact. Twice the
// independent chains of the two passes, half as long. Rows are aligned
// vectors, so no load waits on a store still in flight to the same line.
template <int V>
__attribute__((target("avx512f"))) DENSECORR_INLINE void EnvelopeBothWays(float* f, int n_outer,
                                                                          std::ptrdiff_t stride,
                                                                          __m512 w) {
  if (n_outer < 2) return;
  __m512 fw[V], bw[V];
  const float* last = f + (n_outer - 1) * stride;
  for (int k = 0; k < V; ++k) {
    fw[k] = _mm512_load_ps(f + 16 * k);
    bw[k] = _mm512_load_ps(last + 16 * k);
  }
  int i = 1, j = n_outer - 2;
  for (; i < j; ++i, --j) {
    ChainStep<V>(fw, f + i * stride, w);
    ChainStep<V>(bw, f + j * stride, w);
  }
  if (i == j) {
    // The middle row of an odd count: both sides' chains end here.
    float* row = f + i * stride;
    for (int k = 0; k < V; ++k) {
      fw[k] = _mm512_min_ps(_mm512_add_ps(fw[k], w), _mm512_load_ps(row + 16 * k));
      bw[k] = _mm512_min_ps(_mm512_add_ps(bw[k], w), fw[k]);
      fw[k] = bw[k];
      _mm512_store_ps(row + 16 * k, bw[k]);
    }
    ++i;
    --j;
  }
  for (; i < n_outer; ++i, --j) {
    ChainStep<V>(fw, f + i * stride, w);
    ChainStep<V>(bw, f + j * stride, w);
  }
}

// EnvelopeBothWays over rows of `width` floats (a multiple of 16, aligned),
// in strips of at most four vectors: lanes are independent.
__attribute__((target("avx512f"))) void EnvelopeRows512(float* f, int n_outer, int width,
                                                        float weight) {
  const __m512 w = _mm512_set1_ps(weight);
  for (int x = 0; x < width; x += 64) {
    switch (std::min(4, (width - x) / 16)) {
      case 1: EnvelopeBothWays<1>(f + x, n_outer, width, w); break;
      case 2: EnvelopeBothWays<2>(f + x, n_outer, width, w); break;
      case 3: EnvelopeBothWays<3>(f + x, n_outer, width, w); break;
      default: EnvelopeBothWays<4>(f + x, n_outer, width, w); break;
    }
  }
}

// Rows of the padded layouts: an extent rounded up to whole vectors.
inline int PaddedRow(int n) { return (n + 15) / 16 * 16; }

// h = belief - in (in null: belief) in rows of PaddedRow(n_y) floats, the
// lanes past n_y zeros (they stay in their own lanes along x and are never
// transposed); returns h's lowest value.
__attribute__((target("avx512f"))) float PaddedDifference512(const float* __restrict belief,
                                                             const float* __restrict in, int n_x,
                                                             int n_y, float* __restrict h) {
  const int row = PaddedRow(n_y);
  __m512 lowest = _mm512_set1_ps(std::numeric_limits<float>::infinity());
  for (int x = 0; x < n_x; ++x) {
    const float* b = belief + std::ptrdiff_t{x} * n_y;
    const float* m = in != nullptr ? in + std::ptrdiff_t{x} * n_y : nullptr;
    float* dst = h + std::ptrdiff_t{x} * row;
    for (int y = 0; y < row; y += 16) {
      const __mmask16 lanes =
          static_cast<__mmask16>(n_y - y >= 16 ? 0xffffu : (1u << (n_y - y)) - 1u);
      __m512 v = _mm512_maskz_loadu_ps(lanes, b + y);
      if (m != nullptr) v = _mm512_sub_ps(v, _mm512_maskz_loadu_ps(lanes, m + y));
      _mm512_store_ps(dst + y, v);
      lowest = _mm512_mask_min_ps(lowest, lanes, lowest, v);
    }
  }
  alignas(64) float lane[16];
  _mm512_store_ps(lane, lowest);
  return *std::min_element(lane, lane + 16);
}

// MessageFrom with both transposes 16 x 16 blocks in registers instead of
// one float at a time, h built here from belief and in (as Difference) in
// a padded layout, and both envelopes' passes run at once. Every entry
// takes the same additions and minima as in MessageFrom (vminps(v, cap) is
// v < cap ? v : cap). Only where MessageFrom may be used (finite values,
// tame weights). h: n_x * PaddedRow(n_y) floats, spare: n_y *
// PaddedRow(n_x), both aligned to 64 bytes.
__attribute__((target("avx512f"))) void MessageFrom512(const float* __restrict belief,
                                                       const float* __restrict in,
                                                       float* __restrict h,
                                                       float* __restrict spare, int n_x,
                                                       int n_y, float weight, float truncate,
                                                       float* __restrict out) {
  const float lowest = PaddedDifference512(belief, in, n_x, n_y, h);
  const float cap = lowest + truncate;
  const int hrow = PaddedRow(n_y), row = PaddedRow(n_x);
  EnvelopeRows512(h, n_x, hrow, weight);
  __m512 r[16];
  for (int yb = 0; yb < n_y; yb += 16) {
    const int rows = std::min(16, n_y - yb);
    for (int xb = 0; xb < row; xb += 16) {
      for (int i = 0; i < 16; ++i) {
        r[i] = xb + i < n_x ? _mm512_load_ps(h + std::ptrdiff_t{xb + i} * hrow + yb)
                            : _mm512_setzero_ps();
      }
      Transpose16(r);
      for (int j = 0; j < rows; ++j) _mm512_store_ps(spare + std::ptrdiff_t{yb + j} * row + xb, r[j]);
    }
  }
  EnvelopeRows512(spare, n_y, row, weight);
  const __m512 cap_v = _mm512_set1_ps(cap), lowest_v = _mm512_set1_ps(lowest);
  for (int xb = 0; xb < n_x; xb += 16) {
    const int cols = std::min(16, n_x - xb);
    for (int yb = 0; yb < n_y; yb += 16) {
      const int rows = std::min(16, n_y - yb);
      const __mmask16 lanes = static_cast<__mmask16>((1u << rows) - 1u);
      for (int j = 0; j < 16; ++j) {
        r[j] = j < rows ? _mm512_load_ps(spare + std::ptrdiff_t{yb + j} * row + xb)
                        : _mm512_setzero_ps();
      }
      Transpose16(r);
      for (int i = 0; i < cols; ++i) {
        const __m512 v = _mm512_sub_ps(_mm512_min_ps(r[i], cap_v), lowest_v);
        _mm512_mask_storeu_ps(out + std::ptrdiff_t{xb + i} * n_y + yb, lanes, v);
      }
    }
  }
}
#pragma GCC diagnostic pop
#else
inline int PaddedRow(int n) { return n; }
#endif

// Whether every value is finite, and the largest magnitude: one pass with
// no branch, so that it runs in vectors.
DENSECORR_WIDE_CLONES
bool AllFinite(const float* __restrict v, std::int64_t n, float* largest) {
  float top = 0.0f;
  int bad = 0;
  for (std::int64_t k = 0; k < n; ++k) {
    const float a = std::fabs(v[k]);
    bad |= !(a <= std::numeric_limits<float>::max());
    top = a > top ? a : top;
  }
  *largest = top;
  return bad == 0;
}

// The first index of the lowest of n finite values: the lowest first (in
// vectors), then the first entry equal to it.
DENSECORR_WIDE_CLONES
int FirstLowest(const float* __restrict v, int n) {
  const float lowest = Lowest(v, n);
  int k = 0;
  while (v[k] != lowest) ++k;
  return k;
}

// belief[k] += in[k].
DENSECORR_WIDE_CLONES
void AddTo(float* __restrict belief, const float* __restrict in, int n) {
  for (int k = 0; k < n; ++k) belief[k] += in[k];
}

// h = belief - in (in null: belief); returns h's lowest value.
DENSECORR_WIDE_CLONES
float Difference(const float* __restrict belief, const float* __restrict in, int n,
                 float* __restrict h) {
  if (in != nullptr)
    for (int k = 0; k < n; ++k) h[k] = belief[k] - in[k];
  else
    for (int k = 0; k < n; ++k) h[k] = belief[k];
  return Lowest(h, n);
}

// The outgoing message from h, whose lowest value is `lowest`: the truncated
// L1 envelope minus `lowest`, written to out. Only where every value of h
// is finite and weight, truncate >= 0: then the envelope's lowest value is
// h's own (adding weight never lowers a value, and the cap lies above it),
// so it need not be searched for again. spare: n_x * n_y floats.
DENSECORR_WIDE_CLONES
void MessageFrom(float* __restrict h, float* __restrict spare, int n_x, int n_y, float weight,
                 float truncate, float lowest, float* __restrict out) {
  const float cap = lowest + truncate;
  EnvelopeOuter(h, n_x, n_y, weight);
  for (int x = 0; x < n_x; ++x)
    for (int y = 0; y < n_y; ++y) spare[std::ptrdiff_t{y} * n_x + x] = h[std::ptrdiff_t{x} * n_y + y];
  EnvelopeOuter(spare, n_y, n_x, weight);
  for (int x = 0; x < n_x; ++x) {
    for (int y = 0; y < n_y; ++y) {
      const float v = spare[std::ptrdiff_t{y} * n_x + x];
      out[std::ptrdiff_t{x} * n_y + y] = (v < cap ? v : cap) - lowest;
    }
  }
}

}  // namespace

void TruncatedL1Envelope(float* h, int n_x, int n_y, float weight, float truncate) {
  if (n_x <= 0 || n_y <= 0) return;
  std::vector<float> scratch(static_cast<size_t>(n_x) * n_y);
  EnvelopeWith(h, scratch.data(), n_x, n_y, weight, truncate);
}

namespace {

// Directed edges of an n_level pyramid: each level's 4-neighbour pairs and
// each cell's parent link, both ways.
std::int64_t EdgeCount(int n_level) {
  std::int64_t edges = 0;
  for (int l = 0; l < n_level; ++l) {
    const std::int64_t n = std::int64_t{1} << l;
    edges += 4 * n * (n - 1);
    if (l > 0) edges += 2 * n * n;
  }
  return edges;
}

}  // namespace

std::int64_t InferenceScratchFloats(int n_shift_x, int n_shift_y, int n_level) {
  if (n_level < 1 || n_level > 15 || n_shift_x < 1 || n_shift_y < 1) return 0;
  return EdgeCount(n_level) * n_shift_x * n_shift_y;
}

void InferCellShifts(const float* node_cost, int n_shift_x, int n_shift_y, int n_level,
                     const PyramidInferenceParams& params, int* labels, StopToken* stop,
                     float* scratch) {
  if (n_level < 1 || n_level > 15 || n_shift_x < 1 || n_shift_y < 1)
    throw std::invalid_argument("pyramid inference: sizes out of range");
  const int n_shift = CheckedCount(std::int64_t{n_shift_x} * n_shift_y);
  const int n_cell = LevelOffset(n_level);
  const std::int64_t n_entry = std::int64_t{n_shift} * n_cell;
  float max_cost = 0.0f;
  if (!AllFinite(node_cost, n_entry, &max_cost))
    throw std::invalid_argument("pyramid inference: cell costs must be finite");
  const Graph g = BuildGraph(n_level);
  const int n_edge = static_cast<int>(g.target.size());
  if (n_edge != EdgeCount(n_level)) throw std::logic_error("pyramid inference: edge count");
  // Messages start at 0: one not yet written is skipped (adding or
  // subtracting 0 changes no value), so the block is never cleared.
  ScratchBlock<float> own;
  if (scratch == nullptr) {
    own = AllocScratch<float>(std::int64_t{n_edge} * n_shift);
    scratch = own.get();
  }
  float* const messages = scratch;
  std::vector<char> written(static_cast<size_t>(n_edge), 0);

  int n_threads = 1;
#ifdef _OPENMP
  n_threads = omp_get_max_threads();
#endif
  // Per-thread belief, message and transpose buffers; their contents never
  // cross cells.
  bool wide = false;
#if defined(DENSECORR_WIDE_MESSAGES)
  wide = simd::SelectIsa() == simd::Isa::kAvx512;
#endif
  (void)wide;
  // Each whole vectors, so that every buffer starts on a line (the padded
  // layouts of MessageFrom512 are aligned).
  const auto lines = [](std::int64_t floats) { return (floats + 15) / 16 * 16; };
  const std::int64_t belief_floats = lines(n_shift);
  const std::int64_t h_floats =
      lines(std::max<std::int64_t>(n_shift, std::int64_t{n_shift_x} * PaddedRow(n_shift_y)));
  const std::int64_t spare_floats =
      lines(std::max<std::int64_t>(n_shift, std::int64_t{n_shift_y} * PaddedRow(n_shift_x)));
  const std::int64_t per_thread = belief_floats + h_floats + spare_floats;
  auto buffers = AllocScratch<float>(per_thread * n_threads);

  // Costs and caps far from the float range's end, and no negative weight:
  // every sum stays finite, and each message's lowest value is known
  // before its envelope (see MessageFrom). Otherwise it is searched for.
  const auto tame = [](float value) { return value >= 0.0f && value <= 1e30f; };
  const bool known_lowest = max_cost <= 1e30f && tame(params.neighbour_weight) &&
                            tame(params.parent_weight) && tame(params.neighbour_truncate) &&
                            tame(params.parent_truncate);

  const auto incoming = [&](int e) -> const float* {
    const int r = g.reverse[e];
    return written[r] ? messages + std::ptrdiff_t{r} * n_shift : nullptr;
  };
  const auto belief_of = [&](int c, float* belief) {
    const float* cost = node_cost + std::ptrdiff_t{c} * n_shift;
    std::copy(cost, cost + n_shift, belief);
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const float* in = incoming(e);
      if (in != nullptr) AddTo(belief, in, n_shift);
    }
  };
  // skip: the parent/child edges whose message nothing reads before this
  // cell's next update writes it again: +1 those to the parent (in the
  // sweep towards the finer levels the parent has had its turn, and its
  // next comes after this cell's), -1 those to the children (in the sweep
  // back, unless it is the last: the children have had theirs, and their
  // next comes after this cell's; the last one's are read by the labels).
  // Skipping them changes no value.
  const auto update_cell = [&](int c, int skip, float* belief, float* h, float* spare) {
    belief_of(c, belief);
    for (int e = g.first[c]; e < g.first[c + 1]; ++e) {
      const bool parent = g.parent[e] != 0;
      if (parent && skip != 0 && (g.target[e] < c) == (skip > 0)) continue;
      const float weight = parent ? params.parent_weight : params.neighbour_weight;
      const float truncate = parent ? params.parent_truncate : params.neighbour_truncate;
      // Messages are kept with their minimum at 0, so that sums of many stay
      // in a range where single precision resolves the costs.
      float* out = messages + std::ptrdiff_t{e} * n_shift;
      written[e] = 1;
      if (known_lowest) {
#if defined(DENSECORR_WIDE_MESSAGES)
        if (wide) {
          MessageFrom512(belief, incoming(e), h, spare, n_shift_x, n_shift_y, weight, truncate,
                         out);
          continue;
        }
#endif
        const float lowest = Difference(belief, incoming(e), n_shift, h);
        MessageFrom(h, spare, n_shift_x, n_shift_y, weight, truncate, lowest, out);
      } else {
        Difference(belief, incoming(e), n_shift, h);
        EnvelopeWith(h, spare, n_shift_x, n_shift_y, weight, truncate);
        const float least = Lowest(h, n_shift);
        for (int k = 0; k < n_shift; ++k) out[k] = h[k] - least;
      }
    }
  };

  const int n_group = static_cast<int>(g.group_end.size());
  const auto run_group = [&](int group, int skip) {
    const int begin = group == 0 ? 0 : g.group_end[group - 1];
    const int end = g.group_end[group];
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (std::int64_t{end - begin} * n_shift >= 32768)
#endif
    for (int q = begin; q < end; ++q) {
      int t = 0;
#ifdef _OPENMP
      t = omp_get_thread_num();
#endif
      float* belief = buffers.get() + per_thread * t;
      update_cell(g.order[q], skip, belief, belief + belief_floats,
                  belief + belief_floats + h_floats);
    }
  };
  for (int it = 0; it < params.n_iterations; ++it) {
    if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
    for (int group = 0; group < n_group; ++group) run_group(group, 1);
    const int back = it + 1 < params.n_iterations ? -1 : 0;
    for (int group = n_group - 1; group >= 0; --group) run_group(group, back);
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
    float* belief = buffers.get() + per_thread * t;
    belief_of(c, belief);
    labels[c] = FirstLowest(belief, n_shift);
  }
}

}  // namespace densecorr
