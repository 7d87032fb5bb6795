// Fuzz target: random host calls of densematch's gateway on the host adapter,
// judged by the oracle in call_builder.cpp. A finding stops the process.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "call_builder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzcall::InstallLimits(fuzzcall::kMatchScratchFigure);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const fuzzcall::BuiltCall call = fuzzcall::BuildDensematchCall(data);
  fuzzcall::RunAndJudgeDensematch(call);
  return 0;
}
