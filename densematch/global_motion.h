// One global motion behind a set of point matches: a homography fitted
// robustly (random samples of four matches, refit on the largest consensus).
// Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_GLOBAL_MOTION_H_
#define DENSECORR_DENSEMATCH_GLOBAL_MOTION_H_

#include <cstdint>
#include <functional>
#include <vector>

namespace densecorr {

// (x1, y1) in image 1 matches (x2, y2) in image 2.
struct PointMatch {
  float x1 = 0.0f, y1 = 0.0f, x2 = 0.0f, y2 = 0.0f;
};

// Row-major 3 x 3: (x, y, 1) of image 1 -> (X, Y, W) of image 2.
struct Homography {
  double h[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  // The image of (x, y); false where it lies at or behind infinity
  // (W <= 0), and then *ox, *oy are left alone.
  bool Apply(double x, double y, double* ox, double* oy) const;
  // False when singular.
  bool Inverse(Homography* out) const;
};

struct HomographyFitParams {
  float inlier_threshold = 2.0f;  // reprojection error in image 2, pixels
  int n_samples = 256;            // random 4-match samples
  std::uint32_t seed = 1;         // the samples are drawn from a fixed sequence
};

// Fits the homography that most matches agree with. Returns the number of
// inliers of the final model (0 when fewer than 4 matches or every sample is
// degenerate; *model is then the identity). The result depends only on the
// matches and params, never on the thread count (it runs on the calling
// thread). inliers, when not null, receives one flag per match.
int FitHomography(const std::vector<PointMatch>& matches, const HomographyFitParams& params,
                  Homography* model, std::vector<std::uint8_t>* inliers = nullptr);

// Solves the n x n system a x = b (a row-major; both overwritten, the
// solution in b) by Gaussian elimination with partial pivoting; false when
// (nearly) singular.
bool SolveLinear(double* a, double* b, int n);

// Judges a model against a rival on the same pixels (the images' own
// evidence, say how far apart the descriptors it pairs lie); lower is
// better, negative when it cannot tell.
using ModelDisagreement = std::function<double(const Homography& model, const Homography& rival)>;

// The one motion behind a field's reliable matches: FitHomography's model
// when at least half of the matches agree with it; false when none is found.
//
// A repeated structure (rows of windows, tiles) can lend many matches, even
// a majority, to a model off by whole periods, consistent both ways, while
// the matches it leaves out hold the true motion. So when a fifth or more of
// the matches are left out, and another homography explains at least a tenth
// of all of them (and 64), `disagreement` judges the two on the pixels both
// reach, each refitted first to every match within twice the inlier
// threshold of it (a model fitted to one part of the image can stray far
// across the rest), and the other one (so refitted) wins where it
// disagrees by a fifth less: the
// repeated part looks alike under both models, the rest only under the true
// one. Without a majority, the model the images prefer by that margin is
// taken if it explains a quarter of the matches; otherwise there is no
// global motion.
bool FitGlobalMotion(const std::vector<PointMatch>& matches, const HomographyFitParams& params,
                     const ModelDisagreement& disagreement, Homography* model);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_GLOBAL_MOTION_H_
