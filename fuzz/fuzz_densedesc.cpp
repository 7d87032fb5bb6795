// Fuzz target: random host calls of densedesc's gateway on the host adapter,
// judged by the oracle in call_builder.cpp. A finding stops the process.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "call_builder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzcall::InstallLimits();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const fuzzcall::BuiltCall call = fuzzcall::BuildDensedescCall(data);
  fuzzcall::RunAndJudgeDensedesc(call);
  return 0;
}
