// Random host calls of the gateways built from a fuzzer's bytes, and the
// oracle that judges how each call ended.
//
// Every call must end in one of three ways: the module's bad-input error
// with exactly the message of the first documented test that fails, and no
// output; the documented outputs (classes, sizes, and the values that can be
// checked cheaply); or, for a call that needs a good part of the fuzzing
// limits, the out-of-memory error with no output. Inputs must come back
// unchanged byte for byte, and no array may be left over.
#ifndef DENSECORR_FUZZ_CALL_BUILDER_H_
#define DENSECORR_FUZZ_CALL_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host_adapter.h"

class FuzzedDataProvider;

namespace fuzzcall {

// Limits of the fuzzing process: what output arrays may take in all, and the
// figure of available memory the scratch guard sees (it asks for every
// request). Small, so that no call allocates much or runs long.
constexpr std::size_t kOutputBudget = std::size_t{1} << 20;
constexpr std::int64_t kScratchFigure = std::int64_t{1} << 20;

// The matcher's scratch is large beside its inputs (descriptors of both
// images, cost volumes): its target gets a larger figure, so that only the
// rare call with a large search runs out.
constexpr std::int64_t kMatchScratchFigure = std::int64_t{64} << 20;

// Installs those limits once per process.
void InstallLimits(std::int64_t scratch_figure = kScratchFigure);

struct BuiltCall {
  std::vector<hostadapter::Array> owned;  // keeps every input alive
  std::vector<const mxArray*> inputs;     // prhs, in order
  int nlhs = 1;
};

BuiltCall BuildCellcostCall(FuzzedDataProvider& data);
BuiltCall BuildDensedispCall(FuzzedDataProvider& data);
BuiltCall BuildDensedescCall(FuzzedDataProvider& data);
BuiltCall BuildDensematchCall(FuzzedDataProvider& data);

// Runs the call through the module's entry point and stops the process with
// an explanation when the outcome breaks the rules above.
void RunAndJudgeCellcost(const BuiltCall& call);
void RunAndJudgeDensedisp(const BuiltCall& call);
void RunAndJudgeDensedesc(const BuiltCall& call);
void RunAndJudgeDensematch(const BuiltCall& call);

}  // namespace fuzzcall

#endif  // DENSECORR_FUZZ_CALL_BUILDER_H_
