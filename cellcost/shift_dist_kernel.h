// The clipped-distance kernel of cellcost, written once over a vector type V
// (instantiated by shift_kernels_<instruction set>.cpp). Lanes run over
// consecutive sample rows of one sample column; a tile of translations with
// the same column shift and consecutive row shifts shares each load of
// image 1. Every lane's channel sum is sequential in channel order, exactly
// as the scalar definition.
#ifndef DENSECORR_CELLCOST_SHIFT_DIST_KERNEL_H_
#define DENSECORR_CELLCOST_SHIFT_DIST_KERNEL_H_

#include "cellcost/shift_kernels.h"
#include "simd/kernel_util.h"

namespace densecorr {
namespace simd {
namespace {

template <class V>
void FillRows(float* out, int n_rows, float value) {
  const typename V::F v = V::Broadcast(value);
  for (int iy0 = 0; iy0 < n_rows; iy0 += V::kLanes) {
    StoreLanes<V>(out + iy0, MinInt(V::kLanes, n_rows - iy0), v);
  }
}

// Sample rows [r0, r1) of a column stay inside image 2 under row shift ty.
struct RowRange {
  int r0, r1;
};

inline RowRange InsideRows(const ShiftDistJob& job, std::int64_t ty) {
  return RowRange{static_cast<int>(Clamp(job.jy_lo - ty, 0, job.n_sample_y)),
                  static_cast<int>(Clamp(job.jy_hi - ty, 0, job.n_sample_y))};
}

// Rows [iy0, iy0 + lanes) of one sample column against the tile's
// translations. kInterior: every lane of every translation is inside image 2
// (no masks needed). Otherwise rows outside [0, n_sample_y) are not stored,
// and lanes outside a translation's inside rows keep or get truncate_const.
// Returns whether some sum was NaN; those entries are stored as NaN and left
// to FixNaNLanes. The function makes no calls: accumulators that live across
// a call would be kept in memory instead of registers.
template <class V, int T, bool kInterior>
DENSECORR_NOINLINE bool ShiftDistVector(const ShiftDistJob& job, int iy0, const RowRange* rows,
                                        float* const* out, const float* column1,
                                        const float* b_start) {
  using F = typename V::F;
  F sum[T];
  Unroll<T>([&](auto t) { sum[t.value] = V::Zero(); });
  const float* a_ptr = column1 + iy0;
  const float* b_ptr = b_start;
  const std::ptrdiff_t channel1 = job.channel1, channel2 = job.channel2;
  for (int c = job.feat_dim; c > 0; --c) {
    const F a = V::Load(a_ptr);
    Unroll<T>([&](auto t) {
      const F d = V::Sub(a, V::Load(b_ptr + t.value));
      sum[t.value] = V::Add(sum[t.value], V::Mul(d, d));
    });
    a_ptr += channel1;
    b_ptr += channel2;
  }
  // Every sum lies in [+0, +inf] or is NaN, and additions of such values
  // never make a NaN: their total is NaN exactly when one of them is.
  F total = sum[0];
  Unroll<T>([&](auto t) {
    if (t.value > 0) total = V::Add(total, sum[t.value]);
  });
  const F truncate_const = V::Broadcast(job.truncate_const);
  Unroll<T>([&](auto tile_index) {
    constexpr int t = decltype(tile_index)::value;
    const F dist = V::Sqrt(sum[t]);
    // tc < dist ? tc : dist, i.e. dist > tc ? tc : dist: a NaN distance is
    // kept, and a NaN tc clips nothing.
    const F clipped = V::Min(truncate_const, dist);
    float* dst = out[t] + iy0;
    if (kInterior) {
      V::Store(dst, clipped);
      return;
    }
    const int lo = static_cast<int>(Clamp(rows[t].r0 - iy0, 0, V::kLanes));
    const int hi = static_cast<int>(Clamp(rows[t].r1 - iy0, 0, V::kLanes));
    if (!job.fill_outside) {
      V::StoreMasked(dst, clipped, V::LaneRange(lo, hi));
    } else {
      const int store_lo = iy0 < 0 ? -iy0 : 0;
      const int store_hi = MinInt(V::kLanes, job.n_sample_y - iy0);
      V::StoreMasked(dst, V::Select(V::LaneRange(lo, hi), clipped, truncate_const),
                     V::LaneRange(store_lo, store_hi));
    }
  });
  return V::AnyNaN(total);
}

// A sum is NaN exactly when its root is, and the root survives the clip:
// the NaN entries that ShiftDistVector stored for rows [iy0, iy0 + lanes)
// (rare) are redone by the literal loop, which decides their bits.
template <class V, int T>
DENSECORR_NOINLINE void FixNaNLanes(const ShiftDistJob& job, int iy0, const RowRange* rows,
                                    float* const* out, const float* column1,
                                    const float* b_start) {
  for (int t = 0; t < T; ++t) {
    const int lo = static_cast<int>(Clamp(rows[t].r0 - iy0, 0, V::kLanes));
    const int hi = static_cast<int>(Clamp(rows[t].r1 - iy0, 0, V::kLanes));
    for (int l = lo; l < hi; ++l) {
      float& entry = out[t][iy0 + l];
      if (entry == entry) continue;
      const float dist = LiteralDistance(column1 + iy0 + l, job.channel1, b_start + t + l,
                                         job.channel2, job.feat_dim);
      entry = dist > job.truncate_const ? job.truncate_const : dist;
    }
  }
}

// Rows [iy0, iy0 + W::kLanes) of one sample column against the tile, on
// vectors of type W.
template <class W, int T>
inline void ShiftDistRows(const ShiftDistJob& job, int iy0, int i0, int i1, const RowRange* rows,
                          float* const* out, const float* column1, const float* b_start) {
  const bool any_nan = iy0 >= i0 && iy0 + W::kLanes <= i1
                           ? ShiftDistVector<W, T, true>(job, iy0, rows, out, column1, b_start)
                           : ShiftDistVector<W, T, false>(job, iy0, rows, out, column1, b_start);
  if (any_nan) FixNaNLanes<W, T>(job, iy0, rows, out, column1, b_start);
}

// One sample column against one tile: column1 is the column's packed image-1
// samples, column2 the packed image-2 grid column it is shifted onto. H is a
// vector of fewer lanes (or V itself) for the cover's partial end.
template <class V, class H, int T>
void ShiftDistTile(const ShiftDistJob& job, const ShiftTile& tile, int ix, const float* column1,
                   const float* column2) {
  const int n_rows = job.n_sample_y;
  float* out[T];
  RowRange rows[T];
  int u0 = n_rows, u1 = 0;  // union of the tile's inside rows
  int i0 = 0, i1 = n_rows;  // their intersection
  bool same_r0 = true, same_r1 = true;
  DENSECORR_UNROLL
  for (int t = 0; t < T; ++t) {
    out[t] = job.dist_volume +
             ((tile.first_k + t - job.k_origin) * job.n_sample + std::ptrdiff_t{ix} * job.x_stride);
    rows[t] = InsideRows(job, tile.ty + t);
    i0 = rows[t].r0 > i0 ? rows[t].r0 : i0;
    i1 = MinInt(i1, rows[t].r1);
    if (rows[t].r0 < rows[t].r1) {
      same_r0 = same_r0 && (u0 == n_rows || rows[t].r0 == u0);
      same_r1 = same_r1 && (u1 == 0 || rows[t].r1 == u1);
      u0 = MinInt(u0, rows[t].r0);
      u1 = rows[t].r1 > u1 ? rows[t].r1 : u1;
    }
  }
  if (u0 >= u1) {
    if (job.fill_outside) {
      DENSECORR_UNROLL
      for (int t = 0; t < T; ++t) FillRows<V>(out[t], n_rows, job.truncate_const);
    }
    return;
  }
  // Vectors cover [u0, u1): anchored at its end when the rows share their
  // last row but not their first (negative row shifts), else at its start,
  // so that only the vector at the other end can be partly outside. That
  // vector is a short one where the rows it must hold fit it: on processors
  // that split wide operations in two it costs half, elsewhere the same.
  const int n_cover = u1 - u0;
  const int rest = n_cover % V::kLanes;
  const bool short_end = H::kLanes < V::kLanes && rest > 0 && rest <= H::kLanes;
  const int n_vectors = n_cover / V::kLanes + (rest > 0 && !short_end ? 1 : 0);
  const int cover = n_vectors * V::kLanes + (short_end ? H::kLanes : 0);
  const bool from_end = same_r1 && !same_r0;
  const int first_row = from_end ? u1 - cover : u0;
  if (job.fill_outside) {
    const int cover_lo = first_row > 0 ? first_row : 0;
    const int cover_hi = MinInt(first_row + cover, n_rows);
    DENSECORR_UNROLL
    for (int t = 0; t < T; ++t) {
      FillRows<V>(out[t], cover_lo, job.truncate_const);
      FillRows<V>(out[t] + cover_hi, n_rows - cover_hi, job.truncate_const);
    }
  }
  // Every vector holds a row of [u0, u1) that some translation of the tile
  // maps inside the window, so all of the tile's reads stay within the
  // padding (kShiftPad) around it.
  const std::int64_t b_offset = tile.ty - job.jy_lo;
  int iy0 = first_row;
  if (short_end && from_end) {
    ShiftDistRows<H, T>(job, iy0, i0, i1, rows, out, column1, column2 + (iy0 + b_offset));
    iy0 += H::kLanes;
  }
  for (int i = 0; i < n_vectors; ++i, iy0 += V::kLanes) {
    ShiftDistRows<V, T>(job, iy0, i0, i1, rows, out, column1, column2 + (iy0 + b_offset));
  }
  if (short_end && !from_end) {
    ShiftDistRows<H, T>(job, iy0, i0, i1, rows, out, column1, column2 + (iy0 + b_offset));
  }
}

// H: the shorter vector for a cover's partial end (V where there is none).
template <class V, class H = V>
void ShiftDistColumns(const ShiftDistJob& job, int ix_begin, int ix_end) {
  for (int ix = ix_begin; ix < ix_end; ++ix) {
    const float* column1 = job.packed1 + ix * job.column1;
    for (int i = 0; i < job.n_tiles; ++i) {
      const ShiftTile& tile = job.tiles[i];
      const std::int64_t jx = ix + tile.tx;
      if (jx < job.jx_lo || jx >= job.jx_hi) {
        // The whole sample column leaves image 2 under these translations.
        if (job.fill_outside) {
          for (int t = 0; t < tile.count; ++t) {
            FillRows<V>(job.dist_volume + ((tile.first_k + t - job.k_origin) * job.n_sample +
                                           std::ptrdiff_t{ix} * job.x_stride),
                        job.n_sample_y, job.truncate_const);
          }
        }
        continue;
      }
      const float* column2 = job.packed2 + (jx - job.jx_lo) * job.column2;
      WithTileSize<V::kMaxTile>(tile.count, [&](auto size) {
        ShiftDistTile<V, H, decltype(size)::value>(job, tile, ix, column1, column2);
      });
    }
  }
}

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_SHIFT_DIST_KERNEL_H_
