// Expectations the gateway tests share: how a refused call, a failed call
// and a finished call must look to the host.
#ifndef DENSECORR_HOST_ADAPTER_CALL_CHECKS_H_
#define DENSECORR_HOST_ADAPTER_CALL_CHECKS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host_adapter.h"

namespace hostadapter {

// A one-element structure whose fields hold the given arrays.
inline Array StructOf(std::vector<std::pair<std::string, Array>> fields) {
  std::vector<std::string> names;
  for (const auto& field : fields) names.push_back(field.first);
  Array s = Struct({1, 1}, names);
  for (auto& field : fields) SetField(s.get(), 0, field.first, std::move(field.second));
  return s;
}

inline Array OneField(const std::string& name, Array value) {
  std::vector<std::pair<std::string, Array>> fields;
  fields.emplace_back(name, std::move(value));
  return StructOf(std::move(fields));
}

// A refusal: the module's bad-input error with exactly `message`, no
// output, no array left over, inputs untouched.
inline void ExpectRefused(const CallResult& r, const std::string& id, const std::string& message) {
  ASSERT_EQ(r.end, CallResult::End::kHostError);
  EXPECT_EQ(r.error_id, id);
  EXPECT_EQ(r.error_text, message);
  EXPECT_EQ(r.n_slots_set, 0);
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.inputs_unchanged);
}

// Out of memory: the one identifier whatever failed (the whole-call check,
// the core's scratch, the host creating an output), the text given, no
// output stored, the outputs created so far freed by the module itself.
inline void ExpectOutOfMemory(const CallResult& r, const std::string& message = "out of memory") {
  ASSERT_EQ(r.end, CallResult::End::kHostError);
  EXPECT_EQ(r.error_id, "densecorr:outOfMemory");
  EXPECT_EQ(r.error_text, message);
  EXPECT_EQ(r.n_slots_set, 0);
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.inputs_unchanged);
}

// The whole-call refusal's text for `needed` bytes against `usable` ones.
inline std::string CallTooLargeText(std::uint64_t needed, std::uint64_t usable) {
  const std::uint64_t mib = std::uint64_t{1} << 20;
  return "out of memory: the call needs " + std::to_string((needed + mib - 1) / mib) +
         " MiB, this process may use " + std::to_string(usable / mib) + " MiB";
}

// A figure of available memory that leaves exactly `usable` bytes to a call
// (the guard keeps an eighth of the figure free).
inline std::int64_t FigureGiving(std::uint64_t usable) {
  std::int64_t figure = static_cast<std::int64_t>(usable + usable / 7);
  while (static_cast<std::uint64_t>(figure - figure / 8) < usable) ++figure;
  while (static_cast<std::uint64_t>((figure - 1) - (figure - 1) / 8) >= usable) --figure;
  return figure;
}

// Stopped by an interrupt: the host's interrupt handling, nothing stored.
inline void ExpectInterrupted(const CallResult& r) {
  EXPECT_EQ(r.end, CallResult::End::kInterrupted) << r.error_id << " " << r.error_text;
  EXPECT_EQ(r.n_slots_set, 0);
  EXPECT_EQ(r.n_stray_arrays, 0);
  EXPECT_TRUE(r.inputs_unchanged);
}

// A finished call: max(nlhs, 1) slots filled up to `n_outputs`, nothing
// left over, inputs untouched.
inline void ExpectFinished(const CallResult& r, int nlhs, int n_outputs) {
  ASSERT_EQ(r.end, CallResult::End::kReturned) << r.error_id << " " << r.error_text;
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
