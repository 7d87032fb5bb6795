// The pooling of cellcost: summed-area tables and the mean of every cell.
#include "cellcost/node_cost.h"

#include <cstdint>
#include <initializer_list>
#include <limits>

#include "cellcost/shift_kernels.h"
#include "common/scratch.h"

namespace densecorr {

namespace {

void Prefetch(const char* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 0, 1);
#else
  (void)address;
#endif
}

// a + b where a NaN operand decides the result as the first operand of an
// addition does in hardware (x86-64 and Arm alike): a if it is NaN, else b.
// Spelled out because a compiler may swap the operands of an addition, and
// with them which of two NaNs comes out.
inline float OrderedAdd(float a, float b) {
  if (a != a) return a;
  if (b != b) return b;
  return a + b;
}

// The summed-area table column by column, as defined, with every NaN
// decided by the operand order written here.
void BuildIntegralLiteral(const float* plane, float* integral, int n_cols, int n_rows) {
  float s = 0.0f;
  for (int iy = 0; iy < n_rows; ++iy) {
    s = OrderedAdd(s, plane[iy]);
    integral[iy] = s;
  }
  for (int ix = 1; ix < n_cols; ++ix) {
    const float* column = plane + std::ptrdiff_t{ix} * n_rows;
    float* out = integral + std::ptrdiff_t{ix} * n_rows;
    const float* left = out - n_rows;
    float r = 0.0f;
    for (int iy = 0; iy < n_rows; ++iy) {
      r = OrderedAdd(r, column[iy]);
      out[iy] = OrderedAdd(r, left[iy]);
    }
  }
}

}  // namespace

NodeCostPlan PlanNodeCost(const PyramidGeometry& g, int n_level, bool with_integral) {
  NodeCostPlan plan;
  if (g.n_shift <= 0) return plan;
  if (with_integral) plan.integral = AllocScratch<float>(std::int64_t{g.n_sample} + 1);
  std::int64_t n_cells = 0;
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    if (g.n_sample_x / n == 0 || g.n_sample_y / n == 0) break;  // finer levels are empty too
    n_cells += std::int64_t{n} * n;
  }
  plan.cells = AllocScratch<CellLookup>(n_cells);
  const int n_sample_y = g.n_sample_y;
  const std::ptrdiff_t zero = g.n_sample;
  const auto at = [&](int ix, int iy) -> std::ptrdiff_t {
    return (ix < 0 || iy < 0) ? zero : std::ptrdiff_t{ix} * n_sample_y + iy;
  };
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    const int level_offset = ((1 << (2 * l)) - 1) / 3;
    const int cw = g.n_sample_x / n, ch = g.n_sample_y / n;
    if (cw == 0 || ch == 0) break;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const int x0 = i * cw, y0 = j * ch;
        const int x1 = x0 + cw - 1, y1 = y0 + ch - 1;
        plan.cells[plan.n_cells++] =
            CellLookup{std::ptrdiff_t{level_offset} + std::ptrdiff_t{i} * n + j,
                       at(x1, y1),
                       at(x0 - 1, y0 - 1),
                       at(x1, y0 - 1),
                       at(x0 - 1, y1),
                       static_cast<float>(cw * ch)};
      }
    }
  }
  return plan;
}

// Summed-area table: the running sum down each column first (several
// columns interleaved, so that their independent chains overlap), then each
// column's sums plus the finished column on its left. Each entry sees the
// same additions in the same order as the column-by-column definition.
// next_plane (may be null) is fetched ahead while this one is summed: the
// volume is read once, plane after plane, and may be far larger than the
// caches.
void BuildIntegral(const float* plane, float* integral, int n_cols, int n_rows,
                   const float* next_plane) {
  if (n_cols <= 0 || n_rows <= 0) return;
  constexpr int kGroup = 8;
  const std::ptrdiff_t rows = n_rows;
  int ix = 0;
  for (; ix + kGroup <= n_cols; ix += kGroup) {
    const float* column = plane + ix * rows;
    float* out = integral + ix * rows;
    if (next_plane != nullptr) {
      const char* ahead = reinterpret_cast<const char*>(next_plane + ix * rows);
      const std::ptrdiff_t bytes = kGroup * rows * std::ptrdiff_t{sizeof(float)};
      for (std::ptrdiff_t offset = 0; offset < bytes; offset += 64) Prefetch(ahead + offset);
    }
    float r[kGroup] = {};
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
      for (int j = 0; j < kGroup; ++j) {
        r[j] = r[j] + column[j * rows + iy];
        out[j * rows + iy] = r[j];
      }
    }
  }
  for (; ix < n_cols; ++ix) {
    const float* column = plane + ix * rows;
    float* out = integral + ix * rows;
    float r = 0.0f;
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
      r = r + column[iy];
      out[iy] = r;
    }
  }
  for (ix = 1; ix < n_cols; ++ix) {
    float* out = integral + ix * rows;
    const float* left = out - rows;
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) out[iy] = out[iy] + left[iy];
  }
  // Which of two NaN operands an addition returns depends on the operand
  // order the compiler picks. The last entry sums the whole plane, so it is
  // NaN exactly when a NaN (or both infinities) occurs anywhere: then the
  // table is rebuilt by the defining loop, which decides the stored NaNs.
  const float total = integral[n_cols * rows - 1];
  if (total != total) BuildIntegralLiteral(plane, integral, n_cols, n_rows);
}

void FillEmptyCells(const PyramidGeometry& g, int n_level, float* node_cost) {
  const std::ptrdiff_t n_shift = g.n_shift;
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    if (g.n_sample_x / n != 0 && g.n_sample_y / n != 0) continue;
    const std::ptrdiff_t first = (((std::ptrdiff_t{1} << (2 * l)) - 1) / 3) * n_shift;
    const std::ptrdiff_t count = std::ptrdiff_t{n} * n * n_shift;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      node_cost[first + i] = std::numeric_limits<float>::quiet_NaN();
    }
  }
}

void PoolPlane(const NodeCostPlan& plan, const float* plane, float* integral,
               const PyramidGeometry& g, std::ptrdiff_t k, float* node_cost,
               const float* next_plane) {
  integral[g.n_sample] = 0.0f;
  BuildIntegral(plane, integral, g.n_sample_x, g.n_sample_y, next_plane);
  const std::ptrdiff_t n_shift = g.n_shift;
  for (int i = 0; i < plan.n_cells; ++i) {
    const CellLookup& c = plan.cells[i];
    // (Subtraction and division keep their operand order; the addition is
    // ordered explicitly.)
    node_cost[c.cell * n_shift + k] =
        ((OrderedAdd(integral[c.last], integral[c.before]) - integral[c.last_x_before_y]) -
         integral[c.before_x_last_y]) /
        c.area;
  }
}

void RunNodeCost(const NodeCostPlan& plan, const float* dist_volume, const PyramidGeometry& g,
                 int n_level, float* node_cost) {
  const std::ptrdiff_t n_shift = g.n_shift;
  if (n_shift <= 0) return;
  FillEmptyCells(g, n_level, node_cost);
  for (std::ptrdiff_t k = 0; k < n_shift; ++k) {
    const float* plane = dist_volume + k * g.n_sample;
    PoolPlane(plan, plane, plan.integral.get(), g, k, node_cost,
              k + 1 < n_shift ? plane + g.n_sample : nullptr);
  }
}

StreamPlan PlanStreamPooling(const NodeCostPlan& cells, const PyramidGeometry& g) {
  StreamPlan plan;
  const int n_rows = g.n_sample_y;
  plan.x_slot = AllocScratch<int>(g.n_sample_x);
  auto y_slot = AllocScratch<int>(n_rows);
  for (int ix = 0; ix < g.n_sample_x; ++ix) plan.x_slot[ix] = -1;
  for (int iy = 0; iy < n_rows; ++iy) y_slot[iy] = -1;
  const std::ptrdiff_t zero = g.n_sample;
  const auto mark = [&](std::ptrdiff_t index) {
    if (index == zero) return;
    plan.x_slot[index / n_rows] = 0;
    y_slot[index % n_rows] = 0;
  };
  for (int i = 0; i < cells.n_cells; ++i) {
    const CellLookup& c = cells.cells[i];
    for (std::ptrdiff_t index : {c.last, c.before, c.last_x_before_y, c.before_x_last_y}) {
      mark(index);
    }
  }
  for (int ix = 0; ix < g.n_sample_x; ++ix) {
    if (plan.x_slot[ix] == 0) plan.x_slot[ix] = plan.n_x++;
  }
  plan.y_rows = AllocScratch<int>(n_rows);
  for (int iy = 0; iy < n_rows; ++iy) {
    if (y_slot[iy] == 0) {
      y_slot[iy] = plan.n_y;
      plan.y_rows[plan.n_y++] = iy;
    }
  }
  const int zero_slot = plan.n_x * plan.n_y;
  const auto slot = [&](std::ptrdiff_t index) {
    if (index == zero) return zero_slot;
    return plan.x_slot[index / n_rows] * plan.n_y + y_slot[index % n_rows];
  };
  plan.cells = AllocScratch<StreamCell>(cells.n_cells);
  plan.n_cells = cells.n_cells;
  for (int i = 0; i < cells.n_cells; ++i) {
    const CellLookup& c = cells.cells[i];
    plan.cells[i] = StreamCell{
        c.cell, slot(c.last), slot(c.before), slot(c.last_x_before_y), slot(c.before_x_last_y),
        c.area};
  }
  return plan;
}

void StreamColumn(const StreamPlan& plan, const PyramidGeometry& g, int ix, int count,
                  const float* column, float* left, float* corners) {
  constexpr int kGroup = 8;
  const std::ptrdiff_t rows = g.n_sample_y;
  // Several translations interleaved, so that their running sums overlap.
  int t = 0;
  for (; t + kGroup <= count; t += kGroup) {
    const float* in = column + t * rows;
    float* out = left + t * rows;
    float r[kGroup] = {};
    if (ix == 0) {
      for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
        for (int j = 0; j < kGroup; ++j) {
          r[j] = r[j] + in[j * rows + iy];
          out[j * rows + iy] = r[j];
        }
      }
    } else {
      for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
        for (int j = 0; j < kGroup; ++j) {
          r[j] = r[j] + in[j * rows + iy];
          out[j * rows + iy] = r[j] + out[j * rows + iy];
        }
      }
    }
  }
  for (; t < count; ++t) {
    const float* in = column + t * rows;
    float* out = left + t * rows;
    float r = 0.0f;
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
      r = r + in[iy];
      out[iy] = ix == 0 ? r : r + out[iy];
    }
  }
  const int x = plan.x_slot[ix];
  if (x < 0) return;
  const int stride = plan.corner_stride();
  for (t = 0; t < count; ++t) {
    const float* out = left + t * rows;
    float* table = corners + std::ptrdiff_t{t} * stride + std::ptrdiff_t{x} * plan.n_y;
    for (int y = 0; y < plan.n_y; ++y) table[y] = out[plan.y_rows[y]];
  }
}

void FinishStream(const StreamPlan& plan, const PyramidGeometry& g, int first_k, int count,
                  int sum_lanes, const float* left, float* corners, float* node_cost,
                  bool* nan_total) {
  const std::ptrdiff_t n_shift = g.n_shift;
  const int stride = plan.corner_stride();
  for (int t = 0; t < count; ++t) {
    const float total = left[SumIndex(sum_lanes, g.n_sample_y, t, g.n_sample_y - 1)];
    nan_total[t] = total != total;
    if (nan_total[t]) continue;
    float* table = corners + std::ptrdiff_t{t} * stride;
    table[stride - 1] = 0.0f;
    const std::ptrdiff_t k = first_k + t;
    for (int i = 0; i < plan.n_cells; ++i) {
      const StreamCell& c = plan.cells[i];
      // No NaN anywhere in this table: the plain sum is PoolPlane's.
      node_cost[c.cell * n_shift + k] =
          (((table[c.last] + table[c.before]) - table[c.last_x_before_y]) -
           table[c.before_x_last_y]) /
          c.area;
    }
  }
}

}  // namespace densecorr
