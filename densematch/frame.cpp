#include "densematch/frame.h"

#include <cstddef>

#include "common/scratch.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

// Calls visit(q) for each 4-neighbour q of p = x*height + y.
template <typename Visit>
inline void ForNeighbours(Index p, int width, int height, Visit visit) {
  const int x = static_cast<int>(p / height), y = static_cast<int>(p % height);
  if (x > 0) visit(p - height);
  if (x + 1 < width) visit(p + height);
  if (y > 0) visit(p - 1);
  if (y + 1 < height) visit(p + 1);
}

}  // namespace

std::vector<std::uint8_t> FindFrame(const float* planar, int width, int height, int channels) {
  const Index n = Index{width} * height;
  if (n <= 0) return {};
  const auto is_black = [&](Index p) {
    for (int c = 0; c < channels; ++c)
      if (!(planar[c * n + p] == 0.0f)) return false;
    return true;
  };
  // Most images have no frame: a look at the border settles it before any
  // working memory is taken (a whole image of it, fresh pages on a first
  // call).
  bool any = false;
  for (int x = 0; x < width && !any; ++x)
    any = is_black(Index{x} * height) || is_black(Index{x} * height + height - 1);
  for (int y = 0; y < height && !any; ++y)
    any = is_black(y) || is_black(Index{width - 1} * height + y);
  if (!any) return {};
  // The working buffers go through the scratch guard (a whole image of
  // them), the result is a plain vector: a byte per pixel.
  auto black = AllocScratch<std::uint8_t>(n);
  for (Index p = 0; p < n; ++p) black[p] = 1;
  for (int c = 0; c < channels; ++c) {
    const float* plane = planar + c * n;
    for (Index p = 0; p < n; ++p) black[p] &= static_cast<std::uint8_t>(plane[p] == 0.0f);
  }
  // Flood from the border's black pixels through black 4-neighbours; each
  // pixel enters the stack at most once.
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(n), 0);
  auto todo = AllocScratch<Index>(n);
  Index top = 0;
  const auto reach = [&](Index p) {
    if (black[p] && !frame[p]) {
      frame[p] = 1;
      todo[top++] = p;
    }
  };
  for (int x = 0; x < width; ++x) {
    reach(Index{x} * height);
    reach(Index{x} * height + height - 1);
  }
  for (int y = 0; y < height; ++y) {
    reach(y);
    reach(Index{width - 1} * height + y);
  }
  while (top > 0) ForNeighbours(todo[--top], width, height, reach);
  for (Index p = 0; p < n; ++p) {
    if (!frame[p]) return frame;
  }
  return {};  // all black: nothing to fill from
}

void FillFrame(const std::vector<std::uint8_t>& frame, int width, int height, int channels,
               float* planar) {
  const Index n = Index{width} * height;
  if (frame.size() != static_cast<std::size_t>(n) || n == 0) return;
  // Exact Euclidean nearest content pixel, separably (the lower envelope of
  // parabolas, as for distance transforms). Down each column: the nearest
  // content row and its squared distance (-1: the column has none).
  auto row = AllocScratch<int>(n);
  auto g2 = AllocScratch<double>(n);
  for (int x = 0; x < width; ++x) {
    const Index col = Index{x} * height;
    int last = -1;
    for (int y = 0; y < height; ++y) {
      if (!frame[col + y]) last = y;
      row[col + y] = last;
    }
    last = -1;
    for (int y = height - 1; y >= 0; --y) {
      if (!frame[col + y]) last = y;
      const int above = row[col + y];
      if (last >= 0 && (above < 0 || last - y < y - above)) row[col + y] = last;
      const double d = static_cast<double>(row[col + y] - y);
      g2[col + y] = row[col + y] < 0 ? -1.0 : d * d;
    }
  }
  // Along each row: the column x' minimising (x - x')^2 + g2(x'), over the
  // columns that have content; ties to the leftmost.
  auto source = AllocScratch<Index>(n);
  for (Index p = 0; p < n; ++p) source[p] = -1;
  std::vector<int> hull(static_cast<std::size_t>(width));
  std::vector<double> from(static_cast<std::size_t>(width) + 1);
  for (int y = 0; y < height; ++y) {
    const auto f = [&](int x) { return g2[Index{x} * height + y]; };
    int k = -1;
    for (int q = 0; q < width; ++q) {
      if (f(q) < 0.0) continue;
      double start = -1e300;
      while (k >= 0) {
        const int r = hull[k];
        // Where q's parabola drops below r's.
        const double dq = q, dr = r;
        start = ((f(q) + dq * dq) - (f(r) + dr * dr)) / (2.0 * (dq - dr));
        if (start > from[k]) break;
        --k;
      }
      ++k;
      hull[k] = q;
      from[k] = k == 0 ? -1e300 : start;
    }
    if (k < 0) continue;
    int j = 0;
    for (int x = 0; x < width; ++x) {
      while (j < k && from[j + 1] < x) ++j;
      const Index p = Index{x} * height + y;
      if (frame[p]) source[p] = Index{hull[j]} * height + row[Index{hull[j]} * height + y];
    }
  }
  for (int c = 0; c < channels; ++c) {
    float* plane = planar + c * n;
    for (Index p = 0; p < n; ++p) {
      if (source[p] >= 0) plane[p] = plane[source[p]];
    }
  }
}

}  // namespace densecorr
