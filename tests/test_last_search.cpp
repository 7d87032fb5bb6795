// The matcher's last pixel search and parabola, done in one pass, against
// densedisp's search within 1 pixel followed by a literal parabola; the 3 x 3
// median between the two pixel searches against a literal one.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "densedisp/pixel_match.h"
#include "densematch/match_steps.h"
#include "test_threads.h"

namespace {

struct Image {
  std::vector<float> data;
  Descriptor desc{};
};

// Values on a grid of `levels` steps, so that distances often tie; channels
// `pad` floats further apart than width * height (the matcher pads them).
Image RandomDescriptor(std::mt19937& rng, int w, int h, int channels, int pad, int levels) {
  Image im;
  const std::ptrdiff_t plane = std::ptrdiff_t{w} * h + pad;
  im.data.assign(plane * channels, std::numeric_limits<float>::quiet_NaN());  // gaps: never read
  std::uniform_int_distribution<int> level(0, levels);
  for (int c = 0; c < channels; ++c)
    for (std::ptrdiff_t p = 0; p < std::ptrdiff_t{w} * h; ++p)
      im.data[c * plane + p] = static_cast<float>(level(rng)) / levels;
  im.desc = Descriptor{im.data.data(), w, h, channels, pad > 0 ? plane : 0};
  return im;
}

float LiteralDistance(const Descriptor& a, int x, int y, const Descriptor& b, int x2, int y2) {
  if (x2 < 0 || x2 >= b.width || y2 < 0 || y2 >= b.height) return std::numeric_limits<float>::infinity();
  float sum = 0.0f;
  for (int c = 0; c < a.feat_dim; ++c) {
    const float e = a.data[c * PlaneOf(a) + std::ptrdiff_t{x} * a.height + y] -
                    b.data[c * PlaneOf(b) + std::ptrdiff_t{x2} * b.height + y2];
    sum += e * e;
  }
  return std::sqrt(sum);
}

// The two steps the one pass replaces.
void Reference(const Descriptor& d1, const Descriptor& d2, const std::vector<int>& field,
               float deform, float outside, std::vector<float>& u, std::vector<float>& v) {
  const int w = d1.width, h = d1.height;
  std::vector<int> disp = field;
  std::vector<float> cost(std::size_t(w) * h);
  PixelMatch().RunPixelMatch(d1, d2, disp.data(), cost.data(),
                             PixelMatchParams{1, {1, 1}, deform, outside, 0.0f});
  const auto offset = [](float cm, float c0, float cp) {
    const float curvature = cm - 2.0f * c0 + cp;
    if (!std::isfinite(c0) || !std::isfinite(cm) || !std::isfinite(cp) || !(curvature > 0.0f))
      return 0.0f;
    return std::min(std::max(0.5f * (cm - cp) / curvature, -0.5f), 0.5f);
  };
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const std::size_t p = std::size_t(x) * h + y;
      const int tx = x + disp[2 * p], ty = y + disp[2 * p + 1];
      const float c0 = cost[p];
      u[p] = static_cast<float>(disp[2 * p]) +
             offset(LiteralDistance(d1, x, y, d2, tx - 1, ty), c0,
                    LiteralDistance(d1, x, y, d2, tx + 1, ty));
      v[p] = static_cast<float>(disp[2 * p + 1]) +
             offset(LiteralDistance(d1, x, y, d2, tx, ty - 1), c0,
                    LiteralDistance(d1, x, y, d2, tx, ty + 1));
    }
  }
}

// Runs of one displacement down each column (1 to 9 rows: the one pass
// takes four rows of one displacement together), some of them leading
// past every edge of image 2.
std::vector<int> RandomField(std::mt19937& rng, int w, int h, int reach) {
  std::vector<int> field(2 * std::size_t(w) * h);
  std::uniform_int_distribution<int> shift(-reach, reach), run(1, 9);
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h;) {
      const int n = std::min(run(rng), h - y), dx = shift(rng), dy = shift(rng);
      for (int k = 0; k < n; ++k, ++y) {
        field[2 * (std::size_t(x) * h + y)] = dx;
        field[2 * (std::size_t(x) * h + y) + 1] = dy;
      }
    }
  }
  return field;
}

TEST(LastSearchAndParabola, EqualsTheSearchWithinOnePixelAndTheParabolaBitForBit) {
  struct Case {
    int w1, h1, w2, h2, channels, pad, levels;
    float deform, outside;
  };
  const Case cases[] = {
      {29, 37, 29, 37, 45, 16, 64, 0.05f, 2.0f},  // the matcher's settings
      {23, 41, 31, 17, 5, 0, 2, 0.0f, 2.0f},      // ties everywhere; image 2 wider, shorter
      {31, 19, 12, 26, 3, 7, 3, 0.0f, 0.01f},     // outside wins over most distances
      {17, 33, 17, 33, 8, 0, 1000, 3.0f, 2.0f},   // the penalty outweighs the distances
      {1, 6, 2, 3, 2, 0, 4, 0.05f, 2.0f},         // smaller than a window
  };
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    const Image d1 = RandomDescriptor(rng, c.w1, c.h1, c.channels, c.pad, c.levels);
    const Image d2 = RandomDescriptor(rng, c.w2, c.h2, c.channels, c.pad, c.levels);
    const std::vector<int> field = RandomField(rng, c.w1, c.h1, std::max(c.w2, c.h2) / 3 + 2);
    const std::size_t n = std::size_t(c.w1) * c.h1;
    std::vector<float> u(n), v(n);
    Reference(d1.desc, d2.desc, field, c.deform, c.outside, u, v);
    for (int threads : {1, 3}) {
      std::vector<float> got_u(n, -7.0f), got_v(n, -7.0f);
      WithThreads(threads, [&] {
        densecorr::LastSearchAndParabola(d1.desc, d2.desc, field.data(), c.deform, c.outside,
                                         nullptr, got_u.data(), got_v.data());
      });
      EXPECT_EQ(0, std::memcmp(got_u.data(), u.data(), n * sizeof(float)))
          << c.w1 << " x " << c.h1 << ", " << threads << " threads";
      EXPECT_EQ(0, std::memcmp(got_v.data(), v.data(), n * sizeof(float)))
          << c.w1 << " x " << c.h1 << ", " << threads << " threads";
    }
  }
}

TEST(LastSearchAndParabola, MovesTowardsASubPixelShift) {
  // Image 2 is image 1 moved by (2.3, -1.6) pixels (bilinear): the integer
  // search lands on (2, -2), the parabola moves it towards the true shift
  // (through distances that rise about linearly, so not all the way).
  const int w = 40, h = 30, channels = 4;
  std::vector<float> a(std::size_t(w) * h * channels), b(a.size());
  const auto pattern = [](int c, float x, float y) {
    return 0.5f + 0.25f * std::sin(0.45f * x + 1.3f * c) * std::cos(0.38f * y - 0.7f * c);
  };
  for (int c = 0; c < channels; ++c)
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y) {
        const std::size_t p = std::size_t(c) * w * h + std::size_t(x) * h + y;
        a[p] = pattern(c, float(x), float(y));
        b[p] = pattern(c, x - 2.3f, y + 1.6f);
      }
  const Descriptor d1{a.data(), w, h, channels}, d2{b.data(), w, h, channels};
  std::vector<int> field(2 * std::size_t(w) * h);
  for (std::size_t p = 0; p < std::size_t(w) * h; ++p) {
    field[2 * p] = 2;
    field[2 * p + 1] = -1;
  }
  std::vector<float> u(std::size_t(w) * h), v(u.size());
  densecorr::LastSearchAndParabola(d1, d2, field.data(), 0.0f, 2.0f, nullptr, u.data(), v.data());
  // Away from image 2's edges, where the true match and its neighbours lie
  // inside: on average well off the whole pixels, on the true side.
  double mean_u = 0.0, mean_v = 0.0;
  int count = 0;
  for (int x = 6; x < w - 6; ++x)
    for (int y = 6; y < h - 6; ++y, ++count) {
      mean_u += u[std::size_t(x) * h + y];
      mean_v += v[std::size_t(x) * h + y];
    }
  EXPECT_NEAR(mean_u / count, 2.3, 0.1);
  EXPECT_NEAR(mean_v / count, -1.6, 0.1);
}

TEST(MedianField, EqualsTheLiteralMedianOfEachWindow) {
  // Values from a small range, so that windows hold many ties; sizes with
  // one to three rows or columns (every pixel on a border) and columns of
  // any length against the vector width; 1 and 3 threads.
  std::mt19937 rng(5);
  for (const auto& size : std::vector<std::pair<int, int>>{
           {1, 1}, {1, 5}, {4, 1}, {2, 2}, {3, 3}, {5, 2}, {7, 19}, {13, 40}, {9, 67}}) {
    const int w = size.first, h = size.second;
    std::vector<int> field(2 * std::size_t(w) * h);
    for (int& v : field) v = static_cast<int>(rng() % 9) - 4;
    std::vector<int> literal(field.size());
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        for (int axis = 0; axis < 2; ++axis) {
          std::vector<int> window;
          for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, w - 1); ++xx)
            for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, h - 1); ++yy)
              window.push_back(field[2 * (std::size_t(xx) * h + yy) + axis]);
          std::sort(window.begin(), window.end());
          literal[2 * (std::size_t(x) * h + y) + axis] = window[window.size() / 2];
        }
      }
    }
    for (int threads : {1, 3}) {
      std::vector<int> got(field.size(), INT_MIN);
      WithThreads(threads, [&] { densecorr::MedianField(field.data(), w, h, got.data()); });
      EXPECT_EQ(got, literal) << w << " x " << h << ", " << threads << " threads";
    }
  }
}

}  // namespace
