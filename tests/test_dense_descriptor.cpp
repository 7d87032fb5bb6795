#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/scratch.h"
#include "densedesc/dense_descriptor.h"
#include "densedesc/describe_kernels.h"
#include "densedesc/descriptor_math.h"
#include "simd/dispatch.h"
#include "test_threads.h"

namespace {

using densecorr::ColumnMajorImage;
using densecorr::DescribeImage;
using densecorr::DescribeOptions;
using densecorr::DescriptorChannels;
using densecorr::ImageView;
using densecorr::PixelType;
namespace desc = densecorr::desc;

// A column-major float plane with replicated borders on read.
struct Plane {
  int w, h;
  std::vector<float> v;
  Plane(int w_, int h_) : w(w_), h(h_), v(static_cast<size_t>(w_) * h_) {}
  float& at(int x, int y) { return v[static_cast<size_t>(x) * h + y]; }
  float get(int x, int y) const {
    return v[static_cast<size_t>(desc::ClampIndex(x, w)) * h + desc::ClampIndex(y, h)];
  }
};

// One separable pass, terms in increasing tap order (first one assigned).
Plane Filter(const Plane& in, const std::vector<float>& taps, bool across) {
  Plane out(in.w, in.h);
  const int r = static_cast<int>(taps.size()) / 2;
  for (int x = 0; x < in.w; ++x) {
    for (int y = 0; y < in.h; ++y) {
      float s = 0;
      for (int k = 0; k < static_cast<int>(taps.size()); ++k) {
        const float v = across ? in.get(x + k - r, y) : in.get(x, y + k - r);
        s = k == 0 ? taps[k] * v : s + taps[k] * v;
      }
      out.at(x, y) = s;
    }
  }
  return out;
}

// The descriptor written out pixel by pixel from its definition.
std::vector<float> LiteralDescriptor(const ImageView& image, const DescribeOptions& o) {
  const int w = image.width, h = image.height, n = o.n_orientations;
  Plane grey(w, h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) grey.at(x, y) = desc::GreyValue(image, x, y);
  const auto gauss = desc::GaussianTaps(o.smoothing_sigma);
  const Plane smooth = Filter(Filter(grey, gauss, false), gauss, true);
  std::vector<Plane> pooled;
  for (int b = 0; b < n; ++b) {
    Plane votes(w, h);
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        const float gx = (smooth.get(x + 1, y) - smooth.get(x - 1, y)) * 0.5f;
        const float gy = (smooth.get(x, y + 1) - smooth.get(x, y - 1)) * 0.5f;
        const float mag = std::sqrt(gx * gx + gy * gy);
        votes.at(x, y) = mag * desc::BinWeight(desc::OrientationPosition(gx, gy, n), b, n);
      }
    }
    const auto tri = desc::TriangleTaps(o.cell_size);
    pooled.push_back(Filter(Filter(votes, tri, false), tri, true));
  }
  const auto centres = desc::CellCentres(o.grid_cells, o.cell_size);
  const int f = DescriptorChannels(o);
  std::vector<float> out(static_cast<size_t>(w) * h * f);
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      std::vector<float> vec;
      for (int cx : centres)
        for (int cy : centres)
          for (int b = 0; b < n; ++b) vec.push_back(pooled[b].get(x + cx, y + cy));
      float sum = 0;
      for (size_t c = 0; c < vec.size(); ++c) {
        const float term = o.root_normalise ? vec[c] : vec[c] * vec[c];
        sum = c == 0 ? term : sum + term;
      }
      float len = o.root_normalise ? sum : std::sqrt(sum);
      len = len > o.norm_floor ? len : o.norm_floor;
      for (int c = 0; c < f; ++c) {
        const float v = vec[c] / len;
        out[(static_cast<size_t>(c) * w + x) * h + y] = o.root_normalise ? std::sqrt(v) : v;
      }
    }
  }
  return out;
}

std::vector<float> Describe(const ImageView& image, const DescribeOptions& o) {
  std::vector<float> out(static_cast<size_t>(image.width) * image.height * DescriptorChannels(o),
                         -1.0f);
  DescribeImage(image, o, out.data());
  return out;
}

std::vector<float> RandomGrey(std::mt19937& rng, int w, int h) {
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(w) * h);
  for (float& x : v) x = u(rng);
  return v;
}

float At(const std::vector<float>& d, int w, int h, int x, int y, int c) {
  return d[(static_cast<size_t>(c) * w + x) * h + y];
}

DescribeOptions Options(float sigma, int n, int cell, int grid, bool root = false) {
  DescribeOptions o;
  o.root_normalise = root;
  o.smoothing_sigma = sigma;
  o.n_orientations = n;
  o.cell_size = cell;
  o.grid_cells = grid;
  return o;
}

std::vector<float> DescribeOn(densecorr::simd::Isa isa, const ImageView& image,
                              const DescribeOptions& o) {
  std::vector<float> out(static_cast<size_t>(image.width) * image.height * DescriptorChannels(o),
                         -1.0f);
  densecorr::DescribeImageWith(densecorr::DescribeKernelsFor(isa), image, o, out.data());
  return out;
}

// ---- definition: the column passes on every kernel path against the
// pixel-by-pixel form ----

TEST(DenseDescriptor, EveryPathMatchesLiteralDefinitionBitForBit) {
  std::mt19937 rng(7);
  struct Case {
    int w, h;
    DescribeOptions o;
  };
  const Case cases[] = {
      {23, 17, DescribeOptions()},         {1, 1, DescribeOptions()},
      {2, 5, Options(0.8f, 8, 3, 3)},      {9, 4, Options(0.0f, 4, 1, 1)},
      {19, 21, Options(1.5f, 6, 4, 4)},    {12, 30, Options(0.5f, 12, 2, 2)},
      {7, 7, Options(2.0f, 5, 5, 3)},       {26, 19, Options(0.5f, 8, 2, 3, true)},
      {3, 2, Options(1.0f, 4, 3, 2, true)},
  };
  for (const Case& c : cases) {
    const auto grey = RandomGrey(rng, c.w, c.h);
    const ImageView view = ColumnMajorImage(grey.data(), PixelType::kFloat32, c.w, c.h, 1);
    const auto want = LiteralDescriptor(view, c.o);
    for (auto isa : densecorr::simd::SupportedIsas()) {
      const auto got = DescribeOn(isa, view, c.o);
      ASSERT_EQ(got.size(), want.size());
      EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(float)))
          << densecorr::simd::IsaName(isa) << ": " << c.w << " x " << c.h << ", "
          << c.o.n_orientations << " bins, cells " << c.o.grid_cells << " of " << c.o.cell_size;
    }
  }
}

TEST(DenseDescriptor, OrientationFormulas) {
  // The polynomial arctangent against the library one, all around the circle.
  for (int n : {4, 8, 9}) {
    for (int i = 0; i < 3600; ++i) {
      const double a = i * (2 * M_PI / 3600);
      const float gx = static_cast<float>(std::cos(a)), gy = static_cast<float>(std::sin(a));
      const float pos = desc::OrientationPosition(gx, gy, n);
      ASSERT_GE(pos, 0.0f);
      ASSERT_LT(pos, static_cast<float>(n));
      double err = std::fabs(pos - a * n / (2 * M_PI));
      err = std::min(err, n - err);
      ASSERT_LT(err, 1e-4 * n) << "angle " << a;
      // Two bins share the vote, their weights add up to 1.
      float total = 0;
      int voted = 0;
      for (int o = 0; o < n; ++o) {
        total += desc::BinWeight(pos, o, n);
        voted += desc::BinWeight(pos, o, n) > 0;
      }
      ASSERT_NEAR(total, 1.0f, 1e-5f);
      ASSERT_LE(voted, 2);
    }
  }
  EXPECT_EQ(desc::OrientationPosition(0.0f, 0.0f, 8), 0.0f);
  EXPECT_EQ(desc::CellCentres(3, 3), (std::vector<int>{-3, 0, 3}));
  EXPECT_EQ(desc::CellCentres(4, 4), (std::vector<int>{-6, -2, 2, 6}));
  EXPECT_EQ(desc::CellCentres(2, 3), (std::vector<int>{-2, 2}));
}

// ---- worked examples: bins and cells where a known gradient puts them ----

TEST(DenseDescriptor, RampVotesForItsDirection) {
  const int w = 40, h = 30, n = 8;
  const DescribeOptions o = Options(1.0f, n, 3, 3, true);
  // Brightness growing towards +x, +y (down), -x and the +x+y diagonal.
  const struct {
    float ax, ay;
    int bin;
  } ramps[] = {{1, 0, 0}, {0, 1, 2}, {-1, 0, 4}, {1, 1, 1}, {0, -1, 6}};
  for (const auto& r : ramps) {
    std::vector<float> im(static_cast<size_t>(w) * h);
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y) im[static_cast<size_t>(x) * h + y] = 0.5f + 0.01f * (r.ax * x + r.ay * y);
    const auto d = Describe(ColumnMajorImage(im.data(), PixelType::kFloat32, w, h, 1), o);
    const int x = 20, y = 15;
    for (int cell = 0; cell < 9; ++cell) {
      for (int b = 0; b < n; ++b) {
        const float v = At(d, w, h, x, y, cell * n + b);
        // 9 equal cells, each 1/9 of the sum, 1/3 once rooted; the square
        // root lifts the arctangent's 1e-5 rad error in the diagonal's
        // neighbour bins to about 5e-4.
        if (b == r.bin) {
          EXPECT_NEAR(v, 1.0f / 3.0f, 1e-3f) << "ramp bin " << r.bin;
        } else {
          EXPECT_NEAR(v, 0.0f, 1e-3f) << "ramp bin " << r.bin << ", bin " << b;
        }
      }
    }
  }
}

TEST(DenseDescriptor, CellsFollowRowThenColumnOrder) {
  // A bright square whose left edge lies 3 columns right of the pixel and
  // whose top edge lies 3 rows below it: only the cell at (+3, +3) sees both.
  const int w = 40, h = 40, n = 8;
  std::vector<float> im(static_cast<size_t>(w) * h, 0.0f);
  for (int x = 23; x < w; ++x)
    for (int y = 23; y < h; ++y) im[static_cast<size_t>(x) * h + y] = 1.0f;
  const DescribeOptions o = Options(0.0f, n, 3, 3);
  const auto d = Describe(ColumnMajorImage(im.data(), PixelType::kFloat32, w, h, 1), o);
  auto cell_energy = [&](int ix, int iy) {
    float e = 0;
    for (int b = 0; b < n; ++b) e += At(d, w, h, 19, 19, (iy + 3 * ix) * n + b);
    return e;
  };
  for (int ix = 0; ix < 3; ++ix) {
    for (int iy = 0; iy < 3; ++iy) {
      if (ix == 2 && iy == 2) {
        EXPECT_GT(cell_energy(ix, iy), 0.5f);
      } else {
        EXPECT_LT(cell_energy(ix, iy), 1e-6f) << "cell " << ix << ", " << iy;
      }
    }
  }
  // The step rises towards +x and +y: the corner cell's votes lie in bins 0..2.
  for (int b = 3; b < n; ++b) EXPECT_EQ(At(d, w, h, 19, 19, 8 * n + b), 0.0f) << b;
}

TEST(DenseDescriptor, LengthOneOrFloored) {
  std::mt19937 rng(3);
  const int w = 25, h = 20;
  auto im = RandomGrey(rng, w, h);
  for (int x = 0; x < 12; ++x)  // a flat band on the left
    for (int y = 0; y < h; ++y) im[static_cast<size_t>(x) * h + y] = 0.25f;
  for (bool root : {false, true}) {
    DescribeOptions o;
    o.root_normalise = root;
    const int f = DescriptorChannels(o);
    const auto d = Describe(ColumnMajorImage(im.data(), PixelType::kFloat32, w, h, 1), o);
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        double sq = 0;
        for (int c = 0; c < f; ++c) {
          ASSERT_GE(At(d, w, h, x, y, c), 0.0f);
          sq += std::pow(At(d, w, h, x, y, c), 2);
        }
        if (x < 2) {
          EXPECT_EQ(sq, 0.0) << x << ", " << y;  // nothing within reach
        } else if (x >= 16) {
          EXPECT_NEAR(std::sqrt(sq), 1.0, 1e-5) << x << ", " << y;
        } else {
          EXPECT_LE(std::sqrt(sq), 1.0 + 1e-5);
        }
      }
    }
  }
}

// ---- invariances: position, pixel type, layout, threads ----

TEST(DenseDescriptor, ShiftedImageGivesShiftedDescriptors) {
  std::mt19937 rng(11);
  const int big_w = 48, big_h = 40, w = 30, h = 24;
  const auto big = RandomGrey(rng, big_w, big_h);
  auto crop = [&](int x0, int y0) {
    std::vector<float> out(static_cast<size_t>(w) * h);
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y) out[static_cast<size_t>(x) * h + y] = big[static_cast<size_t>(x + x0) * big_h + y + y0];
    return out;
  };
  const DescribeOptions o;
  const int f = DescriptorChannels(o);
  const auto a = crop(4, 3), b = crop(9, 5);  // b's pixel (x, y) is a's (x + 5, y + 2)
  const auto da = Describe(ColumnMajorImage(a.data(), PixelType::kFloat32, w, h, 1), o);
  const auto db = Describe(ColumnMajorImage(b.data(), PixelType::kFloat32, w, h, 1), o);
  // Away from both borders (smoothing 3 + gradient 1 + cell 3 + window 2).
  const int margin = 9;
  for (int x = margin; x + 5 < w - margin; ++x)
    for (int y = margin; y + 2 < h - margin; ++y)
      for (int c = 0; c < f; ++c)
        ASSERT_EQ(At(da, w, h, x + 5, y + 2, c), At(db, w, h, x, y, c)) << x << ", " << y << ", " << c;
}

TEST(DenseDescriptor, PixelTypesAndLayoutsAgree) {
  std::mt19937 rng(5);
  const int w = 21, h = 16;
  std::uniform_int_distribution<int> u(0, 255);
  std::vector<std::uint8_t> rgb(static_cast<size_t>(w) * h * 3);  // interleaved, row-major
  for (auto& v : rgb) v = static_cast<std::uint8_t>(u(rng));
  auto interleaved = [&](const void* data, PixelType type) {
    ImageView v;
    v.data = data;
    v.type = type;
    v.width = w;
    v.height = h;
    v.channels = 3;
    v.stride_c = 1;
    v.stride_x = 3;
    v.stride_y = 3 * w;
    return v;
  };
  const DescribeOptions o;
  const auto want = Describe(interleaved(rgb.data(), PixelType::kUint8), o);

  // The same colours as 16-bit (v * 257 is the same fraction of white),
  // single and double, planar column-major.
  std::vector<std::uint16_t> planar16(rgb.size());
  std::vector<float> planar32(rgb.size());
  std::vector<double> planar64(rgb.size());
  std::vector<float> luma(static_cast<size_t>(w) * h);
  for (int c = 0; c < 3; ++c) {
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        const std::uint8_t v = rgb[(static_cast<size_t>(y) * w + x) * 3 + c];
        const size_t at = (static_cast<size_t>(c) * w + x) * h + y;
        planar16[at] = static_cast<std::uint16_t>(v * 257);
        planar32[at] = v / 255.0f;
        planar64[at] = v / 255.0f;
      }
    }
  }
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const size_t at = static_cast<size_t>(x) * h + y;
      luma[at] = desc::Luma(planar32[at], planar32[at + w * h], planar32[at + 2 * w * h]);
    }
  EXPECT_EQ(want, Describe(ColumnMajorImage(planar16.data(), PixelType::kUint16, w, h, 3), o));
  EXPECT_EQ(want, Describe(ColumnMajorImage(planar32.data(), PixelType::kFloat32, w, h, 3), o));
  EXPECT_EQ(want, Describe(ColumnMajorImage(planar64.data(), PixelType::kFloat64, w, h, 3), o));
  // Colour is read as its luma.
  EXPECT_EQ(want, Describe(ColumnMajorImage(luma.data(), PixelType::kFloat32, w, h, 1), o));
  // A view that walks the image backwards (negative strides) of a flipped copy.
  std::vector<float> flipped(luma.rbegin(), luma.rend());
  ImageView back = ColumnMajorImage(flipped.data() + flipped.size() - 1, PixelType::kFloat32, w, h, 1);
  back.stride_x = -h;
  back.stride_y = -1;
  EXPECT_EQ(want, Describe(back, o));
}

TEST(DenseDescriptor, SameBitsOnEveryPathAndThreadCount) {
  std::mt19937 rng(9);
  const int w = 67, h = 45;
  const auto im = RandomGrey(rng, w, h);
  const ImageView view = ColumnMajorImage(im.data(), PixelType::kFloat32, w, h, 1);
  for (const DescribeOptions& o : {DescribeOptions(), Options(1.2f, 6, 4, 2, true)}) {
    std::vector<float> want;
    WithThreads(1, [&] { want = DescribeOn(densecorr::simd::Isa::kPortable, view, o); });
    for (auto isa : densecorr::simd::SupportedIsas()) {
      for (int t : {1, 2, 3}) {
        std::vector<float> got;
        WithThreads(t, [&] { got = DescribeOn(isa, view, o); });
        EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(float)))
            << densecorr::simd::IsaName(isa) << ", " << t << " threads";
      }
    }
    // The public call takes the widest path.
    EXPECT_EQ(want, Describe(view, o));
    // Channels further apart: the same values, the gaps untouched.
    const std::ptrdiff_t n = std::ptrdiff_t{w} * h, plane = n + 21;
    const int channels = DescriptorChannels(o);
    std::vector<float> spread(static_cast<size_t>(plane * channels), -1.0f);
    DescribeImage(view, o, spread.data(), nullptr, plane);
    for (int c = 0; c < channels; ++c) {
      ASSERT_TRUE(std::equal(want.begin() + c * n, want.begin() + (c + 1) * n,
                             spread.begin() + c * plane));
      for (std::ptrdiff_t i = n; i < plane; ++i) ASSERT_EQ(spread[c * plane + i], -1.0f);
    }
    // Working memory lent by the caller, full of NaN: the same values, and
    // the call takes none of its own; without it, the call takes exactly
    // what DescribeScratchFloats says (a smaller figure would let a caller
    // lend too little).
    const std::int64_t work = densecorr::DescribeScratchFloats(w, h, o);
    std::vector<float> lent(static_cast<size_t>(work) + 16,
                            std::numeric_limits<float>::quiet_NaN());
    const std::uintptr_t misaligned = reinterpret_cast<std::uintptr_t>(lent.data()) % 64;
    float* const aligned = lent.data() + (64 - misaligned) % 64 / sizeof(float);
    std::vector<float> got(want.size(), -1.0f);
    std::uint64_t before = densecorr::ScratchBytesAllocated();
    DescribeImage(view, o, got.data(), nullptr, 0, aligned);
    EXPECT_EQ(densecorr::ScratchBytesAllocated(), before);
    EXPECT_EQ(want, got);
    before = densecorr::ScratchBytesAllocated();
    DescribeImage(view, o, got.data());
    EXPECT_EQ(densecorr::ScratchBytesAllocated() - before,
              static_cast<std::uint64_t>(work) * sizeof(float));
  }
  EXPECT_EQ(densecorr::DescribeScratchFloats(0, 5, DescribeOptions()), 0);
  std::vector<float> out(45 * 9, 0.0f);
  EXPECT_THROW(DescribeImage(ColumnMajorImage(out.data(), PixelType::kFloat32, 3, 3, 1),
                             DescribeOptions(), out.data(), nullptr, 8),
               std::invalid_argument);
}

// ---- bad inputs ----

TEST(DenseDescriptor, NonFiniteAndHugeValuesGiveFiniteVectors) {
  const int w = 12, h = 10;
  std::vector<double> im(static_cast<size_t>(w) * h, 0.5);
  im[13] = std::numeric_limits<double>::quiet_NaN();
  im[40] = std::numeric_limits<double>::infinity();
  im[41] = -std::numeric_limits<double>::infinity();
  im[77] = 1e300;
  im[90] = -1e39;
  const auto d = Describe(ColumnMajorImage(im.data(), PixelType::kFloat64, w, h, 1), DescribeOptions());
  for (float v : d) ASSERT_TRUE(std::isfinite(v) && v >= 0.0f && v <= 1.0f) << v;
}

TEST(DenseDescriptor, RejectsBadOptionsAndImagesWithoutWriting) {
  const float grey[6] = {0, 1, 0, 1, 0, 1};
  const ImageView good = ColumnMajorImage(grey, PixelType::kFloat32, 3, 2, 1);
  std::vector<DescribeOptions> bad(9);
  bad[0].smoothing_sigma = -0.5f;
  bad[1].smoothing_sigma = std::numeric_limits<float>::quiet_NaN();
  bad[2].smoothing_sigma = 11.0f;
  bad[3].n_orientations = 1;
  bad[4].n_orientations = 33;
  bad[5].cell_size = 0;
  bad[6].grid_cells = 9;
  bad[7].norm_floor = 0.0f;
  bad[8].norm_floor = std::numeric_limits<float>::infinity();
  std::vector<float> out(6 * 72 * 64, -1.0f);
  for (const auto& o : bad) {
    EXPECT_THROW(DescriptorChannels(o), std::invalid_argument);
    EXPECT_THROW(DescribeImage(good, o, out.data()), std::invalid_argument);
  }
  ImageView two_channels = good, no_data = good, negative = good;
  two_channels.channels = 2;
  no_data.data = nullptr;
  negative.width = -1;
  for (const ImageView& v : {two_channels, no_data, negative})
    EXPECT_THROW(DescribeImage(v, DescribeOptions(), out.data()), std::invalid_argument);
  EXPECT_THROW(DescribeImage(good, DescribeOptions(), nullptr), std::invalid_argument);
  for (float v : out) ASSERT_EQ(v, -1.0f);
  // An empty image is no error and writes nothing.
  ImageView empty = good;
  empty.width = 0;
  empty.data = nullptr;
  EXPECT_NO_THROW(DescribeImage(empty, DescribeOptions(), nullptr));
}

}  // namespace
