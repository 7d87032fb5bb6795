// Whole calls: the call-plan queries against the calls' own checks and
// allocations.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "common/scratch.h"
#include "common/stop.h"
#include "densedisp/pixel_match.h"
#include "densedisp/search_offsets.h"
#include "reference.h"
#include "test_threads.h"

namespace {

PyramidMatchParams CellParams(int grid, int levels, int rx, int ry, float tc) {
  PyramidMatchParams p;
  p.grid_size = grid;
  p.n_tree_level = levels;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.truncate_const = tc;
  return p;
}

PixelMatchParams PixelParams(int grid, int rx, int ry, float deform, float tc) {
  PixelMatchParams p;
  p.search_grid_size = grid;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.deform_coeff = deform;
  p.truncate_const = tc;
  p.label_mismatch_cost = 0.5f;
  return p;
}

// ---------------------------------------------------------------- call plans

// The verdict of the plan is the verdict of the call, and a call that fits
// allocates no more scratch than its plan says, on any thread count.
TEST(CallPlan, PyramidVerdictAndScratchMatchTheCall) {
  struct Case {
    int h1, w1, h2, w2, f;
    PyramidMatchParams p;
  };
  const Case cases[] = {
      {12, 14, 12, 14, 3, CellParams(1, 3, 3, 2, 1.0f)},
      {17, 23, 30, 9, 5, CellParams(2, 2, 9, 4, 1.0f)},
      {9, 40, 9, 40, 17, CellParams(4, 2, 13, 9, 3.0f)},
      {5, 5, 5, 5, 0, CellParams(1, 1, 1, 1, 1.0f)},        // no channels
      {0, 4, 3, 3, 2, CellParams(1, 1, 1, 1, 1.0f)},        // no samples
      {6, 6, 6, 6, 2, CellParams(1, 0, 2, 2, 1.0f)},        // no levels
      {6, 6, 6, 6, 2, CellParams(0, 2, 2, 2, 1.0f)},        // no grid: nothing at all
      {4, 4, 4, 4, 1, CellParams(1, 1, 1 << 30, 0, 1.0f)},  // translations beyond 32 bits
      {4, 4, 4, 4, 1, CellParams(1, 16, 0, 0, 1.0f)},       // 4^16 cells
      {4, 4, 4, 4, 1, CellParams(1, 1, 8192, 8192, 1.0f)},  // translations x samples
      {4, 4, 4, 4, 1, CellParams(1, 14, 64, 64, 1.0f)},     // translations x cells
  };
  std::mt19937 rng(1);
  for (const Case& c : cases) {
    const auto a = ref::RandomImage(rng, c.h1, c.w1, c.f);
    const auto b = ref::RandomImage(rng, c.h2, c.w2, c.f);
    for (int threads : {1, 2, 3}) {
      WithThreads(threads, [&] {
        SCOPED_TRACE(std::to_string(c.h1) + "x" + std::to_string(c.w1) + " radius " +
                     std::to_string(c.p.search_radius[0]) + " levels " +
                     std::to_string(c.p.n_tree_level) + ", " + std::to_string(threads) +
                     " threads");
        const densecorr::PyramidCallPlan plan =
            densecorr::PlanPyramidCall(c.w1, c.h1, c.w2, c.h2, c.f, c.p);
        bool threw = false;
        densecorr::PyramidGeometry g;
        try {
          g = densecorr::ComputePyramidGeometry(c.w1, c.h1, c.p.grid_size, c.p.search_radius[0],
                                                c.p.search_radius[1], c.p.n_tree_level);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        ASSERT_EQ(plan.fits, !threw);
        if (threw) {
          float cost = -7.0f;
          int shift = -7;
          EXPECT_THROW(PyramidMatch().RunPyramidMatch(a.desc(), b.desc(), c.p, &cost, &shift),
                       std::bad_alloc);
          EXPECT_EQ(plan.scratch_bytes, 0u);
          return;
        }
        EXPECT_EQ(plan.geometry.n_shift, g.n_shift);
        EXPECT_EQ(plan.geometry.n_sample, g.n_sample);
        EXPECT_EQ(plan.geometry.n_cell, g.n_cell);
        std::vector<float> cost(static_cast<size_t>(g.n_shift) * g.n_cell);
        std::vector<int> shifts(2 * static_cast<size_t>(g.n_shift));
        const std::uint64_t before = densecorr::ScratchBytesAllocated();
        PyramidMatch().RunPyramidMatch(a.desc(), b.desc(), c.p, cost.data(), shifts.data());
        EXPECT_LE(densecorr::ScratchBytesAllocated() - before, plan.scratch_bytes);
      });
    }
  }
}

TEST(CallPlan, PixelVerdictAndScratchMatchTheCall) {
  struct Case {
    int h1, w1, h2, w2, f;
    PixelMatchParams p;
  };
  const Case cases[] = {
      {20, 14, 18, 16, 4, PixelParams(1, 3, 2, 0.1f, 2.0f)},
      {33, 9, 12, 30, 3, PixelParams(2, 5, 4, 0.0f, 1.0f)},
      {7, 7, 7, 7, 0, PixelParams(1, 1, 1, 0.1f, 1.0f)},          // no channels
      {7, 7, 7, 7, 2, PixelParams(0, 1, 1, 0.1f, 1.0f)},          // no offsets
      {64, 64, 4, 4, 1, PixelParams(1, 2048, 2048, 0.0f, 1.0f)},  // volume beyond 32 bits
      {4, 4, 4, 4, 1, PixelParams(1, 1 << 30, 0, 0.0f, 1.0f)},    // offsets beyond 32 bits
  };
  std::mt19937 rng(2);
  for (const Case& c : cases) {
    const auto a = ref::RandomImage(rng, c.h1, c.w1, c.f);
    const auto b = ref::RandomImage(rng, c.h2, c.w2, c.f);
    const int n_pixel = c.h1 * c.w1;
    std::vector<unsigned char> labels1(n_pixel, 1), labels2(static_cast<size_t>(c.h2) * c.w2, 2);
    const std::vector<int> regions = {0, c.w1 - 1, 0, c.h1 - 1, 1, 2, 1, 2};
    const std::vector<int> region_disp = {1, -1, 0, 2};
    for (int threads : {1, 2, 3}) {
      WithThreads(threads, [&] {
        SCOPED_TRACE(std::to_string(c.h1) + "x" + std::to_string(c.w1) + " radius " +
                     std::to_string(c.p.search_radius[0]) + ", " + std::to_string(threads) +
                     " threads");
        const densecorr::PixelCallPlan plan =
            densecorr::PlanPixelCall(c.w1, c.h1, c.w2, c.h2, c.f, c.p);
        std::vector<int> disp(2 * static_cast<size_t>(n_pixel), 1);
        std::vector<float> cost(n_pixel, 100.0f);
        bool threw = false;
        try {
          densecorr::CheckedCount(
              std::int64_t{densecorr::CountSearchOffsets(c.p.search_grid_size, c.p.search_radius[0],
                                                         c.p.search_radius[1])} *
              densecorr::CheckedPixelCount(c.w1, c.h1));
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        ASSERT_EQ(plan.fits, !threw);
        if (threw) {
          EXPECT_THROW(
              PixelMatch().RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(), c.p),
              std::bad_alloc);
          EXPECT_EQ(plan.scratch_bytes, 0u);
          return;
        }
        EXPECT_EQ(plan.n_offsets,
                  static_cast<int>(
                      ref::Offsets(c.p.search_grid_size, c.p.search_radius[0], c.p.search_radius[1])
                          .size() /
                      2));
        EXPECT_EQ(plan.n_pixel, n_pixel);
        // Each of the three calls stays within the plan.
        for (int variant = 0; variant < 3; ++variant) {
          const std::uint64_t before = densecorr::ScratchBytesAllocated();
          if (variant == 0) {
            PixelMatch().RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(), c.p);
          } else if (variant == 1) {
            PixelMatch().RunPixelMatch(a.desc(), b.desc(), labels1.data(), labels2.data(),
                                       disp.data(), cost.data(), c.p);
          } else {
            PixelMatch().RunPixelMatch(a.desc(), b.desc(), regions.data(), region_disp.data(),
                                       disp.data(), cost.data(), 2, c.p);
          }
          EXPECT_LE(densecorr::ScratchBytesAllocated() - before, plan.scratch_bytes)
              << "variant " << variant;
        }
      });
    }
  }
}

// ---------------------------------------------------------------- stopping

// A token stopped before the call: Stopped, and no output touched.
TEST(StopToken, StoppedBeforeTheCallThrowsAndTouchesNothing) {
  std::mt19937 rng(3);
  const auto a = ref::RandomImage(rng, 20, 24, 4), b = ref::RandomImage(rng, 22, 21, 4);
  densecorr::StopToken token;
  token.RequestStop();
  {
    const auto p = CellParams(2, 2, 6, 4, 1.0f);
    const auto g = densecorr::ComputePyramidGeometry(a.width, a.height, 2, 6, 4, 2);
    std::vector<float> cost(static_cast<size_t>(g.n_shift) * g.n_cell, -7.0f);
    std::vector<int> shifts(2 * static_cast<size_t>(g.n_shift), -7);
    PyramidMatch pm;
    pm.SetStopToken(&token);
    EXPECT_THROW(pm.RunPyramidMatch(a.desc(), b.desc(), p, cost.data(), shifts.data()),
                 densecorr::Stopped);
    for (float v : cost) ASSERT_EQ(v, -7.0f);
    for (int v : shifts) ASSERT_EQ(v, -7);
  }
  const int n_pixel = a.width * a.height;
  const auto p = PixelParams(1, 2, 2, 0.1f, 1.0f);
  std::vector<unsigned char> labels1(n_pixel, 1), labels2(b.width * b.height, 1);
  const std::vector<int> regions = {0, 5, 0, 5}, region_disp = {1, 1};
  for (int variant = 0; variant < 3; ++variant) {
    std::vector<int> disp(2 * static_cast<size_t>(n_pixel), 3);
    std::vector<float> cost(n_pixel, -7.0f);
    PixelMatch pm;
    pm.SetStopToken(&token);
    const auto call = [&] {
      if (variant == 0) {
        pm.RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(), p);
      } else if (variant == 1) {
        pm.RunPixelMatch(a.desc(), b.desc(), labels1.data(), labels2.data(), disp.data(),
                         cost.data(), p);
      } else {
        pm.RunPixelMatch(a.desc(), b.desc(), regions.data(), region_disp.data(), disp.data(),
                         cost.data(), 1, p);
      }
    };
    EXPECT_THROW(call(), densecorr::Stopped) << "variant " << variant;
    for (int v : disp) ASSERT_EQ(v, 3);
    for (float v : cost) ASSERT_EQ(v, -7.0f);
  }
}

// Runs `call` while another thread stops `token` after a short delay;
// returns the seconds from the request to the call's end (negative when the
// call ended without Stopped).
double SecondsToStop(densecorr::StopToken& token, const std::function<void()>& call) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point requested;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    requested = Clock::now();
    token.RequestStop();
  });
  bool stopped = false;
  try {
    call();
  } catch (const densecorr::Stopped&) {
    stopped = true;
  }
  const Clock::time_point ended = Clock::now();
  stopper.join();
  if (!stopped) return -1.0;
  return std::chrono::duration<double>(ended - requested).count();
}

// Calls of several billion channel operations (seconds of work) end within
// a fraction of a second of a stop requested from another thread.
TEST(StopToken, StopFromAnotherThreadEndsTheCallQuickly) {
  std::mt19937 rng(4);
  for (int threads : {1, 2}) {
    WithThreads(threads, [&] {
      {
        const auto a = ref::RandomImage(rng, 96, 128, 128), b = ref::RandomImage(rng, 96, 128, 128);
        const auto p = CellParams(1, 3, 48, 32, 1.0f);
        const auto g = densecorr::ComputePyramidGeometry(a.width, a.height, 1, 48, 32, 3);
        std::vector<float> cost(static_cast<size_t>(g.n_shift) * g.n_cell);
        std::vector<int> shifts(2 * static_cast<size_t>(g.n_shift));
        densecorr::StopToken token;
        PyramidMatch pm;
        pm.SetStopToken(&token);
        const double seconds = SecondsToStop(
            token, [&] { pm.RunPyramidMatch(a.desc(), b.desc(), p, cost.data(), shifts.data()); });
        EXPECT_GE(seconds, 0.0) << "cellcost ended without Stopped, " << threads << " threads";
        EXPECT_LT(seconds, 0.5) << "cellcost, " << threads << " threads";
      }
      const auto a = ref::RandomImage(rng, 480, 640, 64), b = ref::RandomImage(rng, 480, 640, 64);
      const int n_pixel = a.width * a.height;
      const auto p = PixelParams(1, 6, 6, 0.1f, 1.0f);
      std::vector<unsigned char> labels(n_pixel, 2);
      const std::vector<int> regions = {0, a.width - 1, 0, a.height - 1};
      const std::vector<int> region_disp = {0, 0};
      for (int variant = 0; variant < 3; ++variant) {
        std::vector<int> disp(2 * static_cast<size_t>(n_pixel), 0);
        std::vector<float> cost(n_pixel, 1e30f);
        densecorr::StopToken token;
        PixelMatch pm;
        pm.SetStopToken(&token);
        const double seconds = SecondsToStop(token, [&] {
          if (variant == 0) {
            pm.RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(), p);
          } else if (variant == 1) {
            pm.RunPixelMatch(a.desc(), b.desc(), labels.data(), labels.data(), disp.data(),
                             cost.data(), p);
          } else {
            pm.RunPixelMatch(a.desc(), b.desc(), regions.data(), region_disp.data(), disp.data(),
                             cost.data(), 1, p);
          }
        });
        EXPECT_GE(seconds, 0.0) << "densedisp variant " << variant << " ended without Stopped";
        EXPECT_LT(seconds, 0.5) << "densedisp variant " << variant << ", " << threads << " threads";
      }
    });
  }
}

}  // namespace
