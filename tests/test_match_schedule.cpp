// MatchImages runs its two directions side by side when it has two
// threads: a stop request must still end the call, and only the calling
// thread may reach the host's poll (the host's interpreter is not
// thread-safe).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "common/threads.h"
#include "densedesc/dense_descriptor.h"
#include "densematch/flow_refine.h"
#include "densematch/match_images.h"
#include "densematch/pyramid_inference.h"
#include "test_threads.h"

namespace {

using densecorr::ColumnMajorImage;
using densecorr::MatchImages;
using densecorr::MatchOptions;
using densecorr::PixelType;
using densecorr::StopToken;

struct PollLog {
  std::thread::id caller = std::this_thread::get_id();
  int calls = 0, calls_elsewhere = 0, stop_after = 0;
};

bool Poll(void* context) {
  auto* log = static_cast<PollLog*>(context);
  if (std::this_thread::get_id() != log->caller) ++log->calls_elsewhere;
  ++log->calls;
  return log->stop_after > 0 && log->calls >= log->stop_after;
}

std::vector<float> Texture(int w, int h, double shift) {
  std::vector<float> img(static_cast<size_t>(w) * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      img[static_cast<size_t>(x) * h + y] = static_cast<float>(
          0.5 + 0.3 * std::sin(0.3 * (x - shift)) * std::cos(0.23 * y) + 0.1 * std::sin(0.07 * x * y));
  return img;
}

TEST(MatchImagesSchedule, StopsAndPollsOnlyOnTheCallingThread) {
  const int w = 200, h = 150;
  const auto a = Texture(w, h, 0.0), b = Texture(w, h, 3.0);
  const auto image_a = ColumnMajorImage(a.data(), PixelType::kFloat32, w, h, 1);
  const auto image_b = ColumnMajorImage(b.data(), PixelType::kFloat32, w, h, 1);
  for (int threads : {1, 2}) {
    // Never stopped: the whole call, every poll on this thread.
    PollLog quiet;
    StopToken never(Poll, &quiet);
    MatchOptions o;
    o.stop = &never;
    WithThreads(threads, [&] { MatchImages(image_a, image_b, o); });
    EXPECT_GT(quiet.calls, 0) << threads << " threads";
    EXPECT_EQ(quiet.calls_elsewhere, 0) << threads << " threads";
    // Stopped at the first poll: the call throws, whichever stage polled.
    PollLog log;
    log.stop_after = 1;
    StopToken token(Poll, &log);
    o.stop = &token;
    WithThreads(threads, [&] {
      EXPECT_THROW(MatchImages(image_a, image_b, o), densecorr::Stopped) << threads << " threads";
    });
    EXPECT_EQ(log.calls_elsewhere, 0) << threads << " threads";
  }
}

// The stages without a driver of their own poll too: a stop request ends
// them, and a poll never reaches the host from another thread.
TEST(MatchImagesSchedule, DescriptorRefinementAndInferenceStopOnRequest) {
  const int w = 64, h = 48;
  const auto a = Texture(w, h, 0.0), b = Texture(w, h, 2.0);
  const densecorr::PlanarImage i1{a.data(), w, h, 1}, i2{b.data(), w, h, 1};
  densecorr::FlowRefineParams prm;
  prm.smoothness = 0.5f;
  prm.brightness = 1.0f;
  prm.n_scales = 2;
  prm.n_warps = 2;
  prm.n_fixed_point = 2;
  prm.n_sor = 3;
  std::vector<float> u(static_cast<size_t>(w) * h, 0.0f), v = u;

  PollLog quiet;
  StopToken never(Poll, &quiet);
  densecorr::RefineFlow(i1, i2, prm, nullptr, u.data(), v.data(), nullptr, &never);
  EXPECT_GT(quiet.calls, 0);
  StopToken asked;
  asked.RequestStop();
  EXPECT_THROW(densecorr::RefineFlow(i1, i2, prm, nullptr, u.data(), v.data(), nullptr, &asked),
               densecorr::Stopped);

  const int nx = 3, ny = 3, levels = 2, n_cell = 5;
  const std::vector<float> cost(static_cast<size_t>(nx * ny * n_cell), 1.0f);
  densecorr::PyramidInferenceParams bp;
  bp.neighbour_weight = bp.parent_weight = 0.1f;
  bp.neighbour_truncate = bp.parent_truncate = 1.0f;
  bp.n_iterations = 3;
  std::vector<int> labels(n_cell, -1);
  EXPECT_THROW(
      densecorr::InferCellShifts(cost.data(), nx, ny, levels, bp, labels.data(), &asked),
      densecorr::Stopped);
  EXPECT_EQ(labels, std::vector<int>(n_cell, -1)) << "a stopped inference wrote labels";
  densecorr::InferCellShifts(cost.data(), nx, ny, levels, bp, labels.data(), &never);
  EXPECT_EQ(labels, std::vector<int>(n_cell, 0));
  std::vector<float> desc(static_cast<size_t>(w) * h *
                         densecorr::DescriptorChannels(densecorr::DescribeOptions()));
  const auto image = ColumnMajorImage(a.data(), PixelType::kFloat32, w, h, 1);
  for (int threads : {1, 3}) {
    WithThreads(threads, [&] {
      EXPECT_THROW(densecorr::DescribeImage(image, densecorr::DescribeOptions(), desc.data(), &asked),
                   densecorr::Stopped);
      densecorr::DescribeImage(image, densecorr::DescribeOptions(), desc.data(), &never);
    });
  }
  EXPECT_EQ(quiet.calls_elsewhere, 0);
}

// The refinement's loop helpers: every index exactly once whether the loop
// is split or not, and no region opened where it would have one thread
// (inside the side-by-side stages, or with one thread allowed): such a
// region still costs its team's start and closing barrier.
TEST(LoopHelpers, EveryIndexOnceAndNoRegionOfOneThread) {
  const int count = 1000;
  const auto run = [&](bool threaded, int* level_seen) {
    std::vector<std::atomic<int>> visits(count);
    std::atomic<int> deepest{-1};
    densecorr::ParallelFor(count, threaded, [&](int i) {
      ++visits[i];
#ifdef _OPENMP
      int level = omp_get_level(), seen = deepest.load();
      while (level > seen && !deepest.compare_exchange_weak(seen, level)) {
      }
#endif
    });
    const bool team = threaded && densecorr::TeamPossible();
    densecorr::OnTeam(team, [&] {
      std::vector<int> own(3, 7);  // each thread's buffer
      densecorr::TeamFor(count, team, [&](int i) { visits[i] += own[1]; });
    });
    for (int i = 0; i < count; ++i) ASSERT_EQ(visits[i].load(), 8) << i;
    *level_seen = deepest.load();
  };
  for (int threads : {1, 2, 3}) {
    WithThreads(threads, [&] {
      int level = -1;
      run(true, &level);
#ifdef _OPENMP
      EXPECT_EQ(level, threads > 1 ? 1 : 0) << threads << " threads";
#endif
      run(false, &level);
#ifdef _OPENMP
      EXPECT_EQ(level, 0) << "a serial loop opened a region";
#endif
    });
  }
#ifdef _OPENMP
  // Inside a region that allows one thread per member, as the matcher's
  // two directions run: the loops stay on their member's thread.
  std::atomic<int> wrong{0};
#pragma omp parallel num_threads(2)
  {
    omp_set_num_threads(1);
    int level = -1;
    run(true, &level);
    if (level != 1) ++wrong;
  }
  EXPECT_EQ(wrong.load(), 0);
#endif
}

}  // namespace
