// Expectations the gateway tests share: how a refused call, a failed call
// and a finished call must look to the host.
#ifndef DENSECORR_HOST_ADAPTER_CALL_CHECKS_H_
#define DENSECORR_HOST_ADAPTER_CALL_CHECKS_H_

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host_adapter.h"

namespace hostadapter {

// A refusal: one message, a normal return, no output, no array left over,
// inputs untouched. An empty `message` accepts any one-line text that
// mentions `mention`.
inline void ExpectRefused(const CallResult& r, const std::string& message,
                          const std::string& mention = "") {
  EXPECT_EQ(r.end, CallResult::End::kReturned);
  if (!message.empty()) {
    EXPECT_EQ(r.console, message);
  } else {
    ASSERT_FALSE(r.console.empty());
    EXPECT_EQ(r.console.find('\n'), r.console.size() - 1) << r.console;
    EXPECT_NE(r.console.find(mention), std::string::npos) << r.console;
  }
  EXPECT_EQ(r.n_prints, 1) << r.console;
  EXPECT_EQ(r.n_slots_set, 0);
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.inputs_unchanged);
}

// An allocation failure: an error for the host, no output stored, the
// outputs created so far freed by the module itself.
inline void ExpectOutOfMemory(const CallResult& r) {
  EXPECT_EQ(r.end, CallResult::End::kOutOfMemory);
  EXPECT_EQ(r.n_slots_set, 0);
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.console.empty()) << r.console;
  EXPECT_TRUE(r.inputs_unchanged);
}

// A finished call: silent, max(nlhs, 1) slots filled up to `n_outputs`,
// nothing left over, inputs untouched.
inline void ExpectFinished(const CallResult& r, int nlhs, int n_outputs) {
  ASSERT_EQ(r.end, CallResult::End::kReturned) << r.error_id;
  EXPECT_TRUE(r.console.empty()) << r.console;
  const int expected = std::min(std::max(nlhs, 1), n_outputs);
  EXPECT_EQ(r.n_slots_set, expected);
  for (int i = 0; i < expected; ++i) EXPECT_NE(r.slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.inputs_unchanged);
}

inline void ExpectArray(const Array& a, mxClassID class_id, const std::vector<mwSize>& dims) {
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(mxGetClassID(a.get()), class_id);
  EXPECT_FALSE(mxIsComplex(a.get()));
  EXPECT_EQ(DimsOf(a.get()), dims);
}

inline Array RandomSingles(std::mt19937& rng, std::vector<mwSize> dims) {
  std::size_t n = 1;
  for (mwSize d : dims) n *= d;
  std::vector<float> values(n);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (float& v : values) v = u(rng);
  return Singles(std::move(dims), values);
}

// A one-element structure with the given numeric fields.
inline Array ParamStruct(const std::vector<std::pair<std::string, std::vector<double>>>& fields) {
  std::vector<std::string> names;
  for (const auto& field : fields) names.push_back(field.first);
  Array s = Struct({1, 1}, names);
  for (const auto& field : fields) {
    SetField(s.get(), 0, field.first, Doubles({1, field.second.size()}, field.second));
  }
  return s;
}

}  // namespace hostadapter

#endif  // DENSECORR_HOST_ADAPTER_CALL_CHECKS_H_
