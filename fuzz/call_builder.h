// Random host calls of the two gateways built from a fuzzer's bytes, and the
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

// Installs those limits once per process.
void InstallLimits();

struct BuiltCall {
  std::vector<hostadapter::Array> owned;  // keeps every input alive
  std::vector<const mxArray*> inputs;     // prhs, in order
  int nlhs = 1;
};

BuiltCall BuildCellcostCall(FuzzedDataProvider& data);
BuiltCall BuildDensedispCall(FuzzedDataProvider& data);

// Runs the call through the module's entry point and stops the process with
// an explanation when the outcome breaks the rules above.
void RunAndJudgeCellcost(const BuiltCall& call);
void RunAndJudgeDensedisp(const BuiltCall& call);

}  // namespace fuzzcall

#endif  // DENSECORR_FUZZ_CALL_BUILDER_H_
