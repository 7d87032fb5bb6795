// MatchImages runs its two directions side by side when it has two
// threads: a stop request must still end the call, and only the calling
// thread may reach the host's poll (the host's interpreter is not
// thread-safe).
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "densematch/match_images.h"
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

}  // namespace
