// The distance and selection kernels of densedisp, written once over vector
// types (instantiated by desc_kernels_<instruction set>.cpp): V runs over
// pixels, VO over the offsets of one pixel. Every lane's channel sum is
// sequential in channel order and every selection compares in offset order,
// exactly as the scalar definitions.
#ifndef DENSECORR_DENSEDISP_DESC_DIST_KERNEL_H_
#define DENSECORR_DENSEDISP_DESC_DIST_KERNEL_H_

#include <algorithm>

#include "common/int_arith.h"
#include "densedisp/desc_kernels.h"
#include "simd/kernel_util.h"

namespace densecorr {
namespace simd {
namespace {

// Entry of pixel (x, y) in the job's volume plane of offset 0.
inline std::ptrdiff_t VolumeIndex(const DescDistJob& job, int x, int y) {
  return std::ptrdiff_t{x} * job.vol_column + y - job.vol_origin;
}

// ---- pixel lanes: a run of pixels of one column sharing a displacement ----
// Their candidates under one offset are consecutive pixels of image 2, so
// both images are read with plain vector loads; a tile is a piece of a column
// of the search grid, so member t reads one pixel below member t-1.
//
// The tiles of a band are collected first and then run in order, each one
// prefetching the lines of the tile kPrefetchTiles after it: the channels lie
// a plane apart, a stride no hardware prefetcher follows, and a tile's own
// next channels come too late to hide the latency of a line that is not in
// the second-level cache.
constexpr int kPrefetchTiles = 2;
constexpr int kMaxPendingTiles = 128;

template <class V>
struct PixelTile;

template <class V>
using PixelTileFn = void (*)(const DescDistJob& job, const PixelTile<V>& tile,
                             const PixelTile<V>& ahead);

template <class V>
struct PixelTile {
  PixelTileFn<V> run;  // the instance for the tile's size and edges
  const float* a;      // lane 0 in image 1, channel 0
  const float* b;      // member 0's candidate of lane 0, channel 0
  float* out;          // member 0's entry of lane 0
  // A pair (PixelLanePairTile): member 0's entry of lane 0 for the next
  // column's pixels, whose candidates are this tile's; null otherwise.
  float* out_pair;
  int n;               // pixels of the run
  int size;            // members
  int step;            // rows of image 2 between members (1: consecutive)
  // Lanes [lo[t], hi[t]) of member t have their candidate inside image 2.
  unsigned char lo[V::kMaxTile], hi[V::kMaxTile];
};

// kStrided: members `tile.step` rows apart (else one row).
template <class V, int T, bool kMasked, bool kStrided>
DENSECORR_NOINLINE void PixelLaneTile(const DescDistJob& job, const PixelTile<V>& tile,
                                      const PixelTile<V>& ahead) {
  using F = typename V::F;
  using M = typename V::M;
  F sum[T];
  M inside[T];
  Unroll<T>([&](auto t) {
    sum[t.value] = V::Zero();
    inside[t.value] = kMasked ? V::LaneRange(tile.lo[t.value], tile.hi[t.value]) : M{};
  });
  const M lanes = V::LaneRange(0, tile.n);
  const float* a_ptr = tile.a;
  const float* b_ptr = tile.b;
  const float* ahead_a = ahead.a;
  const float* ahead_b = ahead.b;
  const std::ptrdiff_t step = kStrided ? tile.step : 1;
  // The ahead tile's members read from ahead_b to its last lane, ahead_end:
  // the line of each end and the one after ahead_b's (the span may cover
  // three).
  const std::ptrdiff_t ahead_end = V::kLanes - 1 + (ahead.size - 1) * std::ptrdiff_t{ahead.step};
  for (int c = 0; c < job.feat_dim; ++c) {
    DENSECORR_PREFETCH(ahead_a);
    DENSECORR_PREFETCH(ahead_b);
    DENSECORR_PREFETCH(ahead_b + V::kLanes);
    DENSECORR_PREFETCH(ahead_b + ahead_end);
    // Masked loads never touch memory outside image 2 (or past image 1).
    const F a = kMasked ? V::LoadMasked(a_ptr, lanes) : V::Load(a_ptr);
    Unroll<T>([&](auto t) {
      const float* const member = b_ptr + t.value * step;
      const F b = kMasked ? V::LoadMasked(member, inside[t.value]) : V::Load(member);
      const F d = V::Sub(a, b);
      sum[t.value] = V::Add(sum[t.value], V::Mul(d, d));
    });
    a_ptr += job.plane1;
    b_ptr += job.plane2;
    ahead_a += job.plane1;
    ahead_b += job.plane2;
  }
  M nan = V::IsNaN(sum[0]);
  Unroll<T>([&](auto t) { nan = V::Or(nan, V::IsNaN(sum[t.value])); });
  const bool any_nan = V::Any(nan);
  const F truncate_const = V::Broadcast(job.truncate_const);
  Unroll<T>([&](auto t) {
    float* entry = tile.out + t.value * job.k_stride;
    F dist = V::Sqrt(sum[t.value]);
    if (any_nan) {
      dist = LiteralNaNLanes<V>(dist, tile.lo[t.value], tile.hi[t.value], tile.a, job.plane1,
                                tile.b + t.value * step, job.plane2, job.feat_dim);
    }
    if (!kMasked) {
      V::Store(entry, dist);
    } else if (job.fill_outside) {
      StoreLanes<V>(entry, tile.n, V::Select(inside[t.value], dist, truncate_const));
    } else {
      V::StoreMasked(entry, dist, inside[t.value]);
    }
  });
}

template <class V>
PixelTileFn<V> PixelTileFor(int size, bool full, bool strided = false) {
  PixelTileFn<V> fn = nullptr;
  WithTileSize<V::kMaxTile>(size, [&](auto tile_size) {
    constexpr int kSize = decltype(tile_size)::value;
    if (strided)
      fn = full ? &PixelLaneTile<V, kSize, false, true> : &PixelLaneTile<V, kSize, true, true>;
    else
      fn = full ? &PixelLaneTile<V, kSize, false, false> : &PixelLaneTile<V, kSize, true, false>;
  });
  return fn;
}

// Two columns of pixels, x and x + 1, with one displacement: the tile of
// column x under offset column sx and that of x + 1 under sx - 1 read the
// same candidates, so one pass over the channels serves both, each image-2
// vector loaded once for two (a column's pixels one column1 apart). Both
// full; each lane's sum is the single tile's, in the same order.
template <class V, int T>
DENSECORR_NOINLINE void PixelLanePairTile(const DescDistJob& job, const PixelTile<V>& tile,
                                          const PixelTile<V>& ahead) {
  using F = typename V::F;
  F sum0[T], sum1[T];
  Unroll<T>([&](auto t) {
    sum0[t.value] = V::Zero();
    sum1[t.value] = V::Zero();
  });
  const float* a_ptr = tile.a;
  const float* b_ptr = tile.b;
  const float* ahead_a = ahead.a;
  const float* ahead_b = ahead.b;
  const std::ptrdiff_t next = job.column1;
  const std::ptrdiff_t ahead_end = V::kLanes - 1 + (ahead.size - 1) * std::ptrdiff_t{ahead.step};
  for (int c = 0; c < job.feat_dim; ++c) {
    DENSECORR_PREFETCH(ahead_a);
    DENSECORR_PREFETCH(ahead_a + next);
    DENSECORR_PREFETCH(ahead_b);
    DENSECORR_PREFETCH(ahead_b + V::kLanes);
    DENSECORR_PREFETCH(ahead_b + ahead_end);
    const F a0 = V::Load(a_ptr);
    const F a1 = V::Load(a_ptr + next);
    Unroll<T>([&](auto t) {
      F b = V::Load(b_ptr + t.value);
#if defined(__GNUC__) || defined(__clang__)
      // Held in a register: the compilers would fold each use into an
      // instruction of its own that loads it again.
      __asm__("" : "+v"(b));
#endif
      const F d0 = V::Sub(a0, b);
      sum0[t.value] = V::Add(sum0[t.value], V::Mul(d0, d0));
      const F d1 = V::Sub(a1, b);
      sum1[t.value] = V::Add(sum1[t.value], V::Mul(d1, d1));
    });
    a_ptr += job.plane1;
    b_ptr += job.plane2;
    ahead_a += job.plane1;
    ahead_b += job.plane2;
  }
  const auto finish = [&](F* sum, const float* a, float* out) {
    typename V::M nan = V::IsNaN(sum[0]);
    Unroll<T>([&](auto t) { nan = V::Or(nan, V::IsNaN(sum[t.value])); });
    const bool any_nan = V::Any(nan);
    Unroll<T>([&](auto t) {
      F dist = V::Sqrt(sum[t.value]);
      if (any_nan) {
        dist = LiteralNaNLanes<V>(dist, 0, V::kLanes, a, job.plane1, tile.b + t.value, job.plane2,
                                  job.feat_dim);
      }
      V::Store(out + t.value * job.k_stride, dist);
    });
  };
  finish(sum0, tile.a, tile.out);
  finish(sum1, tile.a + next, tile.out_pair);
}

// Pairs of up to seven members (a search seven rows tall) measured faster
// than their two tiles; of nine, slower.
constexpr int kMaxPairTile = 7;

// Only the 16-lane vectors run pairs (PairsPay).
template <class V>
PixelTileFn<V> PixelPairTileFor(int size) {
  PixelTileFn<V> fn = nullptr;
  if constexpr (V::kLanes == 16) {
    WithTileSize<kMaxPairTile>(size, [&](auto tile_size) {
      fn = &PixelLanePairTile<V, decltype(tile_size)::value>;
    });
  }
  return fn;
}

// Tiles waiting to run.
template <class V>
struct PendingTiles {
  PixelTile<V> tiles[kMaxPendingTiles];
  int count = 0;
};

template <class V>
void RunPendingTiles(const DescDistJob& job, PendingTiles<V>& pending) {
  for (int i = 0; i < pending.count; ++i) {
    const int ahead = MinInt(i + kPrefetchTiles, pending.count - 1);
    pending.tiles[i].run(job, pending.tiles[i], pending.tiles[ahead]);
  }
  pending.count = 0;
}

// Pixels y0 .. y0+n-1 (n <= lanes) of column x, all displaced by (dx, dy):
// their tiles join `pending` (entries outside image 2 are filled at once).
template <class V>
void PixelLaneBlock(const DescDistJob& job, PendingTiles<V>& pending, int x, int y0, int n, int dx,
                    int dy) {
  const std::ptrdiff_t v0 = VolumeIndex(job, x, y0);
  const float* a_start = job.data1 + (x * job.column1 + y0 - job.origin1);
  const std::int64_t base_x = std::int64_t{x} + dx;
  const std::int64_t base_y = std::int64_t{y0} + dy;
  const typename V::F truncate_const = V::Broadcast(job.truncate_const);
  // The first member t with t * step >= rows (0 where rows <= 0); no
  // division for the usual step of 1 (runs of a few pixels call this often).
  const auto members_from = [](std::int64_t rows, std::int64_t step) {
    if (rows <= 0) return std::int64_t{0};
    return step == 1 ? rows : (rows + step - 1) / step;
  };
  for (int i = 0; i < job.n_groups; ++i) {
    const OffsetSegment& group = job.groups[i];
    const std::int64_t step = group.step;
    const std::int64_t x2 = base_x + group.sx;
    // Member t's lane 0 lands on row y2 + t * step.
    const std::int64_t y2 = base_y + group.sy;
    // Members with some lane inside image 2 form the range [t_lo, t_hi).
    int t_lo = group.count, t_hi = group.count;
    PixelTile<V>& tile = pending.tiles[pending.count];
    bool full = n == V::kLanes;
    if (x2 >= 0 && x2 < job.width2) {
      t_lo = static_cast<int>(Clamp(members_from(-y2 - n + 1, step), 0, group.count));
      t_hi = static_cast<int>(Clamp(members_from(job.height2 - y2, step), t_lo, group.count));
      if (full && y2 + t_lo * step >= 0 && y2 + (t_hi - 1) * step + V::kLanes <= job.height2) {
        // Every member's lanes lie inside image 2 (the common case).
        std::fill(tile.lo, tile.lo + V::kMaxTile, static_cast<unsigned char>(0));
        std::fill(tile.hi, tile.hi + V::kMaxTile, static_cast<unsigned char>(V::kLanes));
      } else {
        for (int t = t_lo; t < t_hi; ++t) {
          const std::int64_t row = y2 + t * step;
          tile.lo[t - t_lo] = static_cast<unsigned char>(Clamp(-row, 0, n));
          tile.hi[t - t_lo] = static_cast<unsigned char>(Clamp(job.height2 - row, 0, n));
          full = full && tile.lo[t - t_lo] == 0 && tile.hi[t - t_lo] == V::kLanes;
        }
      }
    }
    float* const out = job.dist_volume + (group.first_k * job.k_stride + v0);
    if (job.fill_outside) {
      for (int t = 0; t < group.count; ++t) {
        if (t < t_lo || t >= t_hi) StoreLanes<V>(out + t * job.k_stride, n, truncate_const);
      }
    }
    if (t_lo >= t_hi) continue;
    tile.run = PixelTileFor<V>(t_hi - t_lo, full, step != 1);
    tile.a = a_start;
    tile.b = job.data2 + (x2 * job.column2 + y2 + t_lo * step - job.origin2);
    tile.out = out + t_lo * job.k_stride;
    tile.out_pair = nullptr;
    tile.n = n;
    tile.size = t_hi - t_lo;
    tile.step = static_cast<int>(step);
    if (++pending.count == kMaxPendingTiles) RunPendingTiles<V>(job, pending);
  }
}

// ---- offset lanes: one pixel, the offsets of one segment in the lanes ----
// Used where displacements change from pixel to pixel.

struct OffsetLaneEntry {
  const OffsetSegment* segment;
  std::ptrdiff_t from;  // image-2 index of lane 0's candidate (channel 0)
  int lo, hi;           // lanes whose candidate lies inside image 2
};

template <class VO, int T, bool kMasked>
DENSECORR_NOINLINE void OffsetLaneTile(const DescDistJob& job, std::ptrdiff_t v, const float* a_ptr,
                                       const OffsetLaneEntry* e) {
  using F = typename VO::F;
  using M = typename VO::M;
  F sum[T];
  M inside[T];
  const float* b_ptr[T];
  Unroll<T>([&](auto t) { sum[t.value] = VO::Zero(); });
  for (int t = 0; t < T; ++t) {
    inside[t] = VO::LaneRange(e[t].lo, e[t].hi);
    b_ptr[t] = job.data2 + e[t].from;
  }
  std::ptrdiff_t off1 = 0, off2 = 0;
  const int prefetch_end = job.feat_dim - kPrefetchChannels;
  const std::ptrdiff_t ahead1 = kPrefetchChannels * job.plane1;
  const std::ptrdiff_t ahead2 = kPrefetchChannels * job.plane2;
  for (int c = 0; c < job.feat_dim; ++c) {
    if (!kMasked && c < prefetch_end) {
      DENSECORR_PREFETCH(a_ptr + off1 + ahead1);
      Unroll<T>([&](auto t) { DENSECORR_PREFETCH(b_ptr[t.value] + off2 + ahead2); });
    }
    const F a = VO::Broadcast(a_ptr[off1]);
    Unroll<T>([&](auto t) {
      const F b = kMasked ? VO::LoadMasked(b_ptr[t.value] + off2, inside[t.value])
                          : VO::Load(b_ptr[t.value] + off2);
      const F d = VO::Sub(a, b);
      sum[t.value] = VO::Add(sum[t.value], VO::Mul(d, d));
    });
    off1 += job.plane1;
    off2 += job.plane2;
  }
  typename VO::M nan = VO::IsNaN(sum[0]);
  Unroll<T>([&](auto t) { nan = VO::Or(nan, VO::IsNaN(sum[t.value])); });
  const bool any_nan = VO::Any(nan);
  Unroll<T>([&](auto tile_index) {
    constexpr int t = decltype(tile_index)::value;
    float dist[VO::kLanes];
    VO::ToArray(VO::Sqrt(sum[t]), dist);
    const OffsetSegment& s = *e[t].segment;
    float* out = job.dist_volume + (s.first_k * job.k_stride + v);
    if (!kMasked && !any_nan) {
      // Every lane of the segment is inside image 2.
      for (int j = 0; j < s.count; ++j, out += job.k_stride) *out = dist[j];
      return;
    }
    for (int j = 0; j < s.count; ++j, out += job.k_stride) {
      if (j >= e[t].lo && j < e[t].hi) {
        // A NaN sum: the literal loop decides which NaN is stored.
        *out = dist[j] == dist[j]
                   ? dist[j]
                   : LiteralDistance(a_ptr, job.plane1, b_ptr[t] + j, job.plane2, job.feat_dim);
      } else if (job.fill_outside) {
        *out = job.truncate_const;
      }
    }
  });
}

template <class VO>
void FlushOffsetLanes(const DescDistJob& job, std::ptrdiff_t v, const float* a_ptr,
                      const OffsetLaneEntry* e, int count, bool all_full) {
  WithTileSize<VO::kMaxTile>(count, [&](auto size) {
    if (all_full) {
      OffsetLaneTile<VO, decltype(size)::value, false>(job, v, a_ptr, e);
    } else {
      OffsetLaneTile<VO, decltype(size)::value, true>(job, v, a_ptr, e);
    }
  });
}

template <class VO>
void OffsetLanePixel(const DescDistJob& job, int x, int y, int dx, int dy) {
  const std::ptrdiff_t v = VolumeIndex(job, x, y);
  const float* a_ptr = job.data1 + (x * job.column1 + y - job.origin1);
  const std::int64_t base_x = std::int64_t{x} + dx;
  const std::int64_t base_y = std::int64_t{y} + dy;
  OffsetLaneEntry pending[VO::kMaxTile];
  int count = 0;
  if (base_x + job.sx_min >= 0 && base_x + job.sx_max < job.width2 &&
      base_y + job.sy_min >= job.reach_lo && base_y + job.sy_max + VO::kLanes <= job.reach_hi) {
    // The whole search window lies inside the rows there are to read (the
    // common case): every segment is full.
    const std::ptrdiff_t from =
        static_cast<std::ptrdiff_t>(base_x * job.column2 + base_y - job.origin2);
    for (int i = 0; i < job.n_segments; ++i) {
      const OffsetSegment& s = job.segments[i];
      pending[count++] = OffsetLaneEntry{&s, from + s.sx * job.column2 + s.sy, 0, s.count};
      if (count == VO::kMaxTile || i + 1 == job.n_segments) {
        FlushOffsetLanes<VO>(job, v, a_ptr, pending, count, true);
        count = 0;
      }
    }
    return;
  }
  bool all_full = true;
  for (int i = 0; i < job.n_segments; ++i) {
    const OffsetSegment& s = job.segments[i];
    const std::int64_t x2 = base_x + s.sx;
    const std::int64_t y2 = base_y + s.sy;
    const int lo = static_cast<int>(Clamp(-y2, 0, s.count));
    const int hi = static_cast<int>(Clamp(job.height2 - y2, 0, s.count));
    if (x2 < 0 || x2 >= job.width2 || lo >= hi) {
      if (job.fill_outside) {
        for (int j = 0; j < s.count; ++j) {
          job.dist_volume[(s.first_k + j) * job.k_stride + v] = job.truncate_const;
        }
      }
      continue;
    }
    // A plain load is safe when all lanes stay inside the rows there are to
    // read; lanes past the segment then read image 2 and are discarded.
    all_full = all_full && y2 >= job.reach_lo && y2 + VO::kLanes <= job.reach_hi;
    const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(x2 * job.column2 + y2 - job.origin2);
    pending[count++] = OffsetLaneEntry{&s, from, lo, hi};
    if (count == VO::kMaxTile) {
      FlushOffsetLanes<VO>(job, v, a_ptr, pending, count, all_full);
      count = 0;
      all_full = true;
    }
  }
  if (count > 0) FlushOffsetLanes<VO>(job, v, a_ptr, pending, count, all_full);
}

inline bool SameDisplacement(const int* disparity, std::ptrdiff_t p, std::ptrdiff_t q) {
  return disparity[2 * p] == disparity[2 * q] && disparity[2 * p + 1] == disparity[2 * q + 1];
}

// Whether pixel-lane tiles run in pairs (PairTiles): with the
// 16-lane vectors, whose 32 registers hold both tiles' sums, offset columns
// short enough, and room for two columns' tiles in one batch.
template <class V>
bool PairsPay(const DescDistJob& job) {
  if (V::kLanes != 16 || 2 * job.n_groups > kMaxPendingTiles) return false;
  for (int i = 0; i < job.n_groups; ++i) {
    if (job.groups[i].count > kMaxPairTile) return false;
  }
  return true;
}

// Whether columns x and x + 1 have the same displacements in rows [y0, y1).
inline bool SameColumns(const int* disparity, int height, int x, int y0, int y1) {
  const int* a = disparity + 2 * (std::ptrdiff_t{x} * height + y0);
  return std::equal(a, a + 2 * (y1 - y0), a + 2 * std::ptrdiff_t{height});
}

// Pixels of a piece that take offset lanes, waiting to run in the order of
// their candidates rather than pixel order: where displacements vary from
// pixel to pixel, neighbouring pixels read unrelated parts of image 2, but
// each part is read by several pixels; run in the order of their candidates'
// column and then row, those pixels share the lines of the first-level
// cache. Each pixel's entries are computed exactly as in pixel order.
constexpr int kQueueColumns = 64;
constexpr int kQueueKeys = 256;

struct OffsetLaneQueue {
  // Pixel (x, y) as (x - x0) * kBandRows + y - y0.
  std::uint16_t pixel[kQueueColumns * kBandRows];
  int dx[kQueueColumns * kBandRows], dy[kQueueColumns * kBandRows];  // its displacement
  std::uint16_t order[kQueueColumns * kBandRows];
  unsigned char key_x[kQueueColumns * kBandRows], key_y[kQueueColumns * kBandRows];
  int count = 0;
  int x0 = 0, y0 = 0;
};

// Counting sort of `from` into `to` by key[i] (stable).
inline void SortByKey(const std::uint16_t* from, const unsigned char* key, int n,
                      std::uint16_t* to) {
  int start[kQueueKeys + 1] = {};
  for (int i = 0; i < n; ++i) ++start[key[from[i]] + 1];
  for (int k = 0; k < kQueueKeys; ++k) start[k + 1] += start[k];
  for (int i = 0; i < n; ++i) to[start[key[from[i]]]++] = from[i];
}

template <class VO>
void RunOffsetLaneQueue(const DescDistJob& job, OffsetLaneQueue& queue) {
  const int n = queue.count;
  queue.count = 0;
  if (n == 0) return;
  // Keys of the candidates' column and row near the piece (clamped: far
  // ones only lose the order, never a result); the rows of odd columns run
  // upwards, so that a column starts where the previous one ended.
  for (int i = 0; i < n; ++i) {
    const int x = queue.pixel[i] / kBandRows, y = queue.pixel[i] % kBandRows;
    const int kx = static_cast<int>(
        Clamp(std::int64_t{queue.dx[i]} + x + kQueueKeys / 4, 0, kQueueKeys - 1));
    const int ky = static_cast<int>(Clamp(std::int64_t{queue.dy[i]} + y +
                                              (kQueueKeys - kBandRows) / 2,
                                          0, kQueueKeys - 1));
    queue.key_x[i] = static_cast<unsigned char>(kx);
    queue.key_y[i] = static_cast<unsigned char>((kx & 1) != 0 ? kQueueKeys - 1 - ky : ky);
    queue.order[i] = static_cast<std::uint16_t>(i);
  }
  std::uint16_t by_row[kQueueColumns * kBandRows];
  SortByKey(queue.order, queue.key_y, n, by_row);
  SortByKey(by_row, queue.key_x, n, queue.order);
  for (int i = 0; i < n; ++i) {
    const int k = queue.order[i];
    const int q = queue.pixel[k];
    OffsetLanePixel<VO>(job, queue.x0 + q / kBandRows, queue.y0 + q % kBandRows, queue.dx[k],
                        queue.dy[k]);
  }
}

// Runs of pixels of column x: pixel-lane tiles join `pending`; pixels
// through offset lanes run at once or, with a queue, join it.
// Tiles [second, count) of `pending` are column x + 1's, [first, second)
// column x's, of one run of rows with one displacement: each full tile of
// x + 1 that reads the candidates of a full tile of x (offset column sx - 1
// against sx, usually the next group) joins it as a pair.
template <class V>
void PairTiles(PendingTiles<V>& pending, int first, int second) {
  const auto joins = [](const PixelTile<V>& t0, const PixelTile<V>& t1) {
    return t0.b == t1.b && t0.size == t1.size && t0.run == t1.run && t0.out_pair == nullptr;
  };
  int kept = second;
  for (int j = second; j < pending.count; ++j) {
    const PixelTile<V>& t1 = pending.tiles[j];
    int partner = -1;
    if (t1.size <= kMaxPairTile && t1.run == PixelTileFor<V>(t1.size, true)) {
      const int usual = first + (j - second) + 1;
      if (usual < second && joins(pending.tiles[usual], t1)) partner = usual;
      for (int i = first; i < second && partner < 0; ++i) {
        if (joins(pending.tiles[i], t1)) partner = i;
      }
    }
    if (partner < 0) {
      pending.tiles[kept++] = t1;
    } else {
      pending.tiles[partner].run = PixelPairTileFor<V>(t1.size);
      pending.tiles[partner].out_pair = t1.out;
    }
  }
  pending.count = kept;
}

// Rows [y_begin, y_end) of column x; with `pair`, of columns x and x + 1,
// whose displacements are the same row by row (their runs coincide), their
// tiles paired where they share candidates (PairTiles; room for both
// columns' tiles is made first, so that they meet in `pending`).
template <class V, class VO>
void DescDistColumnRows(const DescDistJob& job, PendingTiles<V>& pending, int x, int y_begin,
                        int y_end, OffsetLaneQueue* queue = nullptr, bool pair = false) {
  // Runs at least this long go through pixel lanes; shorter ones pixel by
  // pixel through offset lanes.
  constexpr int kMinRun = V::kLanes / 2;
  const std::ptrdiff_t column = std::ptrdiff_t{x} * job.height1;
  int y = y_begin;
  while (y < y_end) {
    const std::ptrdiff_t p = column + y;
    const int limit = MinInt(V::kLanes, y_end - y);
    int run = 1;
    while (run < limit && SameDisplacement(job.disparity, p, p + run)) ++run;
    const int dx = job.disparity[2 * p], dy = job.disparity[2 * p + 1];
    if (run >= kMinRun && pair) {
      if (pending.count + 2 * job.n_groups > kMaxPendingTiles) RunPendingTiles<V>(job, pending);
      const int first = pending.count;
      PixelLaneBlock<V>(job, pending, x, y, run, dx, dy);
      const int second = pending.count;
      PixelLaneBlock<V>(job, pending, x + 1, y, run, dx, dy);
      PairTiles<V>(pending, first, second);
    } else if (run >= kMinRun) {
      PixelLaneBlock<V>(job, pending, x, y, run, dx, dy);
    } else if (pair) {
      for (int c = x; c <= x + 1; ++c) {
        for (int i = 0; i < run; ++i) OffsetLanePixel<VO>(job, c, y + i, dx, dy);
      }
    } else if (queue != nullptr) {
      for (int i = 0; i < run; ++i, ++queue->count) {
        queue->pixel[queue->count] =
            static_cast<std::uint16_t>((x - queue->x0) * kBandRows + y + i - queue->y0);
        queue->dx[queue->count] = dx;
        queue->dy[queue->count] = dy;
      }
    } else {
      for (int i = 0; i < run; ++i) OffsetLanePixel<VO>(job, x, y + i, dx, dy);
    }
    y += run;
  }
}

// ---- panels: copies of the image parts a piece of a band reads ----
// Each copy keeps a pixel's channels a column's rows apart (x, then
// channel, then row), so that a tile's channel loop walks neighbouring
// lines instead of lines a plane apart; planes a multiple of 4 KB apart
// would also put all of a pixel's channels into one set of the first-level
// cache. The values are copied bit for bit and every entry is computed as
// before, only from the copies.
//
// Image 1 is always copied: each pixel once, and its lines then serve all
// offsets of the pixel from the first-level cache. Image 2 is copied only
// where most pixels take offset lanes: their loads are a line or two per 7
// entries, where pixel-lane tiles load 3 lines per 7 x 16 entries and gain
// less than the copy costs (the part of image 2 a band reads is several
// times the band when displacements vary).

// The pixels of rows [y_begin, y_end) of column x that take offset lanes.
template <class V>
int OffsetLanePixels(const DescDistJob& job, int x, int y_begin, int y_end) {
  constexpr int kMinRun = V::kLanes / 2;
  const std::ptrdiff_t column = std::ptrdiff_t{x} * job.height1;
  int count = 0;
  for (int y = y_begin; y < y_end;) {
    const std::ptrdiff_t p = column + y;
    const int limit = MinInt(V::kLanes, y_end - y);
    int run = 1;
    while (run < limit && SameDisplacement(job.disparity, p, p + run)) ++run;
    if (run < kMinRun) count += run;
    y += run;
  }
  return count;
}

// Columns [x_lo, x_hi] and rows [y_lo, y_hi] of image 2 (inclusive); empty
// while x_lo > x_hi.
struct PanelBox {
  std::int64_t x_lo = 1, x_hi = 0, y_lo = 1, y_hi = 0;
  bool Empty() const { return x_lo > x_hi; }
};

// Adds to `box` what pixels (x, y0 .. y1-1) read of image 2: the in-image
// part of each one's candidate rectangle.
inline void ExtendPanelBox(const DescDistJob& job, int x, int y0, int y1, PanelBox& box) {
  const std::ptrdiff_t column = std::ptrdiff_t{x} * job.height1;
  for (int y = y0; y < y1; ++y) {
    const std::ptrdiff_t p = column + y;
    const std::int64_t cx = std::int64_t{x} + job.disparity[2 * p];
    const std::int64_t cy = std::int64_t{y} + job.disparity[2 * p + 1];
    const std::int64_t x_lo = Clamp(cx + job.sx_min, 0, job.width2);
    const std::int64_t x_hi = Clamp(cx + job.sx_max, -1, job.width2 - 1);
    const std::int64_t y_lo = Clamp(cy + job.sy_min, 0, job.height2);
    const std::int64_t y_hi = Clamp(cy + job.sy_max, -1, job.height2 - 1);
    if (x_lo > x_hi || y_lo > y_hi) continue;  // nothing read
    if (box.Empty()) {
      box = PanelBox{x_lo, x_hi, y_lo, y_hi};
      continue;
    }
    box.x_lo = x_lo < box.x_lo ? x_lo : box.x_lo;
    box.x_hi = x_hi > box.x_hi ? x_hi : box.x_hi;
    box.y_lo = y_lo < box.y_lo ? y_lo : box.y_lo;
    box.y_hi = y_hi > box.y_hi ? y_hi : box.y_hi;
  }
}

// n floats from `in` to `out`, bit for bit (loads and stores only). Runs
// are short, a column of a band: a call to the library copy would cost more
// than the copy.
template <class V>
inline void CopyRun(float* out, const float* in, std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) V::Store(out + i, V::Load(in + i));
  if (i < n) {
    const typename V::M tail = V::LaneRange(0, static_cast<int>(n - i));
    V::StoreMasked(out + i, V::LoadMasked(in + i, tail), tail);
  }
}

// `rows` rows of `columns` columns, every channel, from index `first`
// (channel 0 of the first pixel) on into `out` as x, channel, row. Plane by
// plane, so that the reads follow each other through memory (the channels
// of one pixel would be the slow order), fetching the lines of the plane
// kCopyAhead channels ahead, which no prefetcher would guess.
constexpr int kCopyAhead = 4;

template <class V>
void CopyPart(const float* data, std::ptrdiff_t column, std::ptrdiff_t plane, std::ptrdiff_t first,
              std::ptrdiff_t columns, std::ptrdiff_t rows, int feat_dim, float* out) {
  for (int c = 0; c < feat_dim; ++c) {
    const float* in = data + (first + c * plane);
    float* to = out + c * rows;
    const std::ptrdiff_t ahead = c + kCopyAhead < feat_dim ? kCopyAhead * plane : 0;
    for (std::ptrdiff_t i = 0; i < columns; ++i, in += column, to += feat_dim * rows) {
      if (ahead != 0) {
        for (std::ptrdiff_t r = 0; r < rows + 15; r += 16) DENSECORR_PREFETCH(in + ahead + r);
      }
      CopyRun<V>(to, in, rows);
    }
  }
}

// Floats of the copies of columns [xa, xb) x `rows` of image 1 and, when
// copy2, of `box`.
inline std::int64_t PanelFloatsFor(const DescDistJob& job, const PanelBox& box, bool copy2,
                                   int columns, int rows) {
  const std::int64_t image1 = std::int64_t{columns} * rows * job.feat_dim;
  if (!copy2 || box.Empty()) return image1;
  return (box.x_hi - box.x_lo + 1) * (box.y_hi - box.y_lo + 1) * job.feat_dim + image1;
}

// Copies columns [xa, xb), rows [y0, y1) of image 1 and, when copy2, `box`
// of image 2 into job.panel; the job returned reads the copies.
template <class V>
DescDistJob CopyPanels(const DescDistJob& job, const PanelBox& box, bool copy2, int xa, int xb,
                       int y0, int y1) {
  DescDistJob local = job;
  const std::ptrdiff_t f = job.feat_dim;
  float* panel = job.panel;
  if (copy2) {
    const std::ptrdiff_t rows2 = static_cast<std::ptrdiff_t>(box.y_hi - box.y_lo + 1);
    const std::ptrdiff_t cols2 = static_cast<std::ptrdiff_t>(box.x_hi - box.x_lo + 1);
    CopyPart<V>(job.data2, job.column2, job.plane2,
                static_cast<std::ptrdiff_t>(box.x_lo) * job.column2 + box.y_lo - job.origin2, cols2,
                rows2, job.feat_dim, panel);
    local.data2 = panel;
    local.column2 = f * rows2;
    local.plane2 = rows2;
    local.origin2 = static_cast<std::ptrdiff_t>(box.x_lo) * local.column2 + box.y_lo;
    // Offset lanes may load a whole vector only where the copy has rows.
    local.reach_lo = box.y_lo;
    local.reach_hi = box.y_hi + 1;
    panel += cols2 * local.column2;
  }
  const std::ptrdiff_t rows1 = y1 - y0;
  CopyPart<V>(job.data1, job.column1, job.plane1, xa * job.column1 + y0 - job.origin1, xb - xa,
              rows1, job.feat_dim, panel);
  local.data1 = panel;
  local.column1 = f * rows1;
  local.plane1 = rows1;
  local.origin1 = xa * local.column1 + y0;
  local.panel = nullptr;
  local.panel_floats = 0;
  return local;
}

// Rows [y0, y1) of columns [x_begin, x_end) through panels: each piece of
// the band, as many columns as fit the panel, is copied and then computed.
// A column that alone would overflow the panel reads the images directly.
template <class V, class VO>
void PanelBandColumns(const DescDistJob& job, PendingTiles<V>& pending, bool copy2, int x_begin,
                      int x_end, int y0, int y1) {
  const bool pairs = PairsPay<V>(job);
  for (int xa = x_begin; xa < x_end;) {
    PanelBox box;
    int xb = xa;
    while (xb < x_end) {
      PanelBox grown = box;
      if (copy2) ExtendPanelBox(job, xb, y0, y1, grown);
      if (PanelFloatsFor(job, grown, copy2, xb + 1 - xa, y1 - y0) > job.panel_floats) break;
      box = grown;
      ++xb;
    }
    if (xb == xa) {
      xb = xa + 1;
      DescDistColumnRows<V, VO>(job, pending, xa, y0, y1);
      if (pending.count > 0) RunPendingTiles<V>(job, pending);
    } else {
      const DescDistJob local = CopyPanels<V>(job, box, copy2 && !box.Empty(), xa, xb, y0, y1);
      if (copy2) {
        OffsetLaneQueue queue;
        for (int x = xa; x < xb; x += kQueueColumns) {
          queue.x0 = x;
          queue.y0 = y0;
          const int x_end = MinInt(xb, x + kQueueColumns);
          for (int xx = x; xx < x_end; ++xx) {
            DescDistColumnRows<V, VO>(local, pending, xx, y0, y1, &queue);
          }
          RunOffsetLaneQueue<VO>(local, queue);
        }
      } else {
        for (int x = xa; x < xb;) {
          if (pairs && x + 1 < xb && SameColumns(job.disparity, job.height1, x, y0, y1)) {
            DescDistColumnRows<V, VO>(local, pending, x, y0, y1, nullptr, true);
            x += 2;
          } else {
            DescDistColumnRows<V, VO>(local, pending, x, y0, y1);
            ++x;
          }
        }
      }
      // The tiles point into the panel: run them before it is refilled.
      if (pending.count > 0) RunPendingTiles<V>(local, pending);
    }
    xa = xb;
  }
}

template <class V, class VO>
void DescDistColumns(const DescDistJob& job, int x_begin, int x_end, int y_begin, int y_end) {
  PendingTiles<V> pending;
  if (job.panel != nullptr && job.feat_dim > 0 && job.n_offsets > 0) {
    std::int64_t offset_lanes = 0;
    for (int y0 = y_begin; y0 < y_end; y0 += kBandRows) {
      const int y1 = MinInt(y_end, y0 + kBandRows);
      for (int x = x_begin; x < x_end; ++x) offset_lanes += OffsetLanePixels<V>(job, x, y0, y1);
    }
    const bool copy2 = 2 * offset_lanes >= (std::int64_t{x_end} - x_begin) * (y_end - y_begin);
    for (int y0 = y_begin; y0 < y_end; y0 += kBandRows) {
      const int y1 = MinInt(y_end, y0 + kBandRows);
      PanelBandColumns<V, VO>(job, pending, copy2, x_begin, x_end, y0, y1);
    }
    return;
  }
  for (int y0 = y_begin; y0 < y_end; y0 += kBandRows) {
    const int y1 = MinInt(y_end, y0 + kBandRows);
    for (int x = x_begin; x < x_end; ++x) DescDistColumnRows<V, VO>(job, pending, x, y0, y1);
    if (pending.count > 0) RunPendingTiles<V>(job, pending);
  }
}

// ---- selection: pixel lanes, offsets in order ----
// Each vector's comparisons form one chain through the offsets (the running
// minimum), bound by the latency of a compare and a blend; up to
// kSelectVectors vectors run side by side.
constexpr int kSelectVectors = 4;

template <class V, int G>
void BestDisparityVectors(const BestDisparityJob& job, std::ptrdiff_t i0, int n) {
  using F = typename V::F;
  using I = typename V::I;
  using M = typename V::M;
  F min_total[G], best_dist[G];
  I best[G];
  M lanes[G];
  Unroll<G>([&](auto g) {
    min_total[g.value] = V::Broadcast(kLargestFinite);
    best_dist[g.value] = V::Zero();
    best[g.value] = V::BroadcastInt(-1);
    lanes[g.value] = V::LaneRange(0, MinInt(V::kLanes, n - g.value * V::kLanes));
  });
  const bool full = n == G * V::kLanes;
  // No offsets, no volume: its pointer may be null, and no offset may be
  // applied to it.
  const float* entry = job.n_offsets > 0 ? job.dist_volume + i0 : nullptr;
  for (int k = 0; k < job.n_offsets; ++k, entry += job.k_stride) {
    const F penalty = V::Broadcast(job.penalty[k]);
    const typename V::I index = V::BroadcastInt(k);
    Unroll<G>([&](auto g) {
      const float* at = entry + g.value * V::kLanes;
      const F dist = full ? V::Load(at) : V::LoadMasked(at, lanes[g.value]);
      const F total = V::Add(dist, penalty);
      // Strict and ordered: the first minimum wins and NaN never does.
      const M better = V::Less(total, min_total[g.value]);
      min_total[g.value] = V::Select(better, total, min_total[g.value]);
      best_dist[g.value] = V::Select(better, dist, best_dist[g.value]);
      best[g.value] = V::SelectInt(better, index, best[g.value]);
    });
  }
  float dist[G * V::kLanes];
  int index[G * V::kLanes];
  Unroll<G>([&](auto g) {
    V::ToArray(best_dist[g.value], dist + g.value * V::kLanes);
    V::IntToArray(best[g.value], index + g.value * V::kLanes);
  });
  // Pixel of index i0, then row by row down the columns.
  std::ptrdiff_t row = i0 % job.rows;
  std::ptrdiff_t p = job.first + (i0 / job.rows) * job.column + row;
  for (int l = 0; l < n; ++l) {
    const int k = index[l];
    if (k < 0) {
      // No winner: nothing to move by and no entry to report.
      job.best_cost[p] = kInfinity;
    } else {
      job.disparity[2 * p] = WrappingAdd(job.disparity[2 * p], job.offsets[2 * k]);
      job.disparity[2 * p + 1] = WrappingAdd(job.disparity[2 * p + 1], job.offsets[2 * k + 1]);
      job.best_cost[p] = dist[l];
    }
    if (++row == job.rows) {
      row = 0;
      p += job.column - job.rows + 1;
    } else {
      ++p;
    }
  }
}

template <class V>
void BestDisparityPixels(const BestDisparityJob& job, std::ptrdiff_t i_begin,
                         std::ptrdiff_t i_end) {
  constexpr std::ptrdiff_t kStep = kSelectVectors * V::kLanes;
  std::ptrdiff_t i0 = i_begin;
  for (; i_end - i0 >= kStep; i0 += kStep) {
    BestDisparityVectors<V, kSelectVectors>(job, i0, static_cast<int>(kStep));
  }
  if (i0 < i_end) {
    const int n = static_cast<int>(i_end - i0);
    WithTileSize<kSelectVectors>((n + V::kLanes - 1) / V::kLanes, [&](auto vectors) {
      BestDisparityVectors<V, decltype(vectors)::value>(job, i0, n);
    });
  }
}

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_DENSEDISP_DESC_DIST_KERNEL_H_
