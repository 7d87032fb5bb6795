#include "call_builder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "common/memory_guard.h"
#include "densedesc/dense_descriptor.h"
#include "gateways.h"

namespace fuzzcall {

namespace {

using hostadapter::Array;
using hostadapter::CallResult;

constexpr mwSize kBig32 = mwSize{1} << 32;
constexpr mwSize kIntMax = INT_MAX;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// ---- Building calls -------------------------------------------------------

template <class T>
T Pick(FuzzedDataProvider& data, std::initializer_list<T> choices) {
  const std::size_t i = data.ConsumeIntegralInRange<std::size_t>(0, choices.size() - 1);
  return *(choices.begin() + i);
}

// Feature values from a seeded generator: one seed costs four bytes, however
// large the image, and the special values turn up at a chosen rate.
void FillFloats(float* values, std::size_t n, std::uint32_t seed, int special_rate) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 63);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            3.0e38f,
                            -3.0e38f,
                            1e-40f,
                            0.0f};
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = u(rng);
    if (special_rate > 0 && pick(rng) < special_rate) values[i] = specials[rng() % 7];
  }
}

Array GoodImage(FuzzedDataProvider& data, mwSize feat_dim) {
  // One side may be long while the other stays short.
  mwSize height = data.ConsumeIntegralInRange<mwSize>(0, 12);
  mwSize width = data.ConsumeIntegralInRange<mwSize>(0, 12);
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
    height = data.ConsumeIntegralInRange<mwSize>(13, 48);
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
    width = data.ConsumeIntegralInRange<mwSize>(13, 48);
  Array image = hostadapter::Numeric(mxSINGLE_CLASS, {height, width, feat_dim});
  const int special_rate = Pick(data, {0, 0, 0, 1, 8});
  FillFloats(hostadapter::DataOf<float>(image.get()), mxGetNumberOfElements(image.get()),
             data.ConsumeIntegral<std::uint32_t>(), special_rate);
  return image;
}

Array BuildImage(FuzzedDataProvider& data, mwSize feat_dim) {
  const mwSize f = feat_dim;
  switch (data.ConsumeIntegralInRange<int>(0, 23)) {
    case 0:
      return hostadapter::Numeric(
          Pick(data, {mxDOUBLE_CLASS, mxINT32_CLASS, mxUINT8_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS}),
          {3, 2, f});
    case 1: return hostadapter::Numeric(mxSINGLE_CLASS, {4, 3});
    case 2: return hostadapter::Numeric(mxSINGLE_CLASS, {2, 2, 2, 2});
    case 3: return hostadapter::Numeric(mxSINGLE_CLASS, {3, 2, f}, true);
    case 4: return hostadapter::Sparse(Pick(data, {mxDOUBLE_CLASS, mxLOGICAL_CLASS}), 5, 4, 2);
    case 5: return hostadapter::Struct({1, 1}, {});
    case 6:
    case 7:
      // Sizes beyond what 32-bit counts hold: the data can never be read.
      return hostadapter::Huge(mxSINGLE_CLASS,
                               Pick<std::vector<mwSize>>(data, {{70000, 70000, f},
                                                                {kBig32, 1, f},
                                                                {1, kBig32 + 5, f},
                                                                {46341, 46341, f},
                                                                {65536, 32768, f},
                                                                {kIntMax, 2, f},
                                                                {2, kIntMax, f},
                                                                {1000, 1000, 3000},
                                                                {kBig32 + 2, 3, f}}));
    case 8:
    case 9:
      // No elements, but sides that do not fit 32 bits or only just do.
      return hostadapter::Numeric(mxSINGLE_CLASS,
                                  Pick<std::vector<mwSize>>(data, {{kBig32 + 1, 0, f},
                                                                   {0, kBig32, f},
                                                                   {0, kIntMax, f},
                                                                   {kIntMax, 0, f},
                                                                   {0, 0, f},
                                                                   {0, 0, kBig32},
                                                                   {0, 0, kIntMax},
                                                                   {5, 0, f}}));
    case 10:
      return hostadapter::Numeric(mxSINGLE_CLASS, {data.ConsumeIntegralInRange<mwSize>(1, 6),
                                                   data.ConsumeIntegralInRange<mwSize>(1, 6), 0});
    default: return GoodImage(data, f);
  }
}

enum class ParamType { kInt, kReal, kRadius };

double ParamValue(FuzzedDataProvider& data, ParamType type) {
  if (data.ConsumeIntegralInRange<int>(0, 5) == 0) {
    return Pick(data, {kNaN,          kInf,   -kInf,   -1.0,         -2.5,         0.0,
                       0.5,           2.9,    1e-300,  2147483647.0, 2147483648.0, -2147483648.0,
                       -2147483649.0, 1e10,   1e300,   4294967297.0, 1073741824.0, 715827883.0,
                       46341.0,       3.5e38, -3.5e38, 16.0,         15.0});
  }
  switch (type) {
    case ParamType::kInt:
      return data.ConsumeIntegralInRange<int>(0, 6) + Pick(data, {0.0, 0.0, 0.5, 0.99});
    case ParamType::kRadius:
      return data.ConsumeIntegralInRange<int>(0, 12) + Pick(data, {0.0, 0.0, 0.7});
    case ParamType::kReal: return data.ConsumeFloatingPointInRange<double>(-2.0, 4.0);
  }
  return 0.0;
}

Array ScalarOfClass(mxClassID class_id, double value) {
  Array array = hostadapter::Numeric(class_id, {1, 1});
  void* p = mxGetData(array.get());
  // Only values the class can hold are stored; others become 0.
  const bool fits = std::isfinite(value) && value > -2147483648.5 && value < 2147483647.5;
  switch (class_id) {
    case mxSINGLE_CLASS:
      if (std::fabs(value) <= 3.4e38 || !std::isfinite(value))
        *static_cast<float*>(p) = static_cast<float>(value);
      break;
    case mxINT32_CLASS:
      *static_cast<std::int32_t*>(p) = fits ? static_cast<std::int32_t>(value) : 0;
      break;
    case mxUINT8_CLASS:
      *static_cast<std::uint8_t*>(p) =
          fits && value >= 0 && value < 256 ? static_cast<std::uint8_t>(value) : 0;
      break;
    default: *static_cast<double*>(p) = value;
  }
  return array;
}

Array BuildParamValue(FuzzedDataProvider& data, ParamType type) {
  switch (data.ConsumeIntegralInRange<int>(0, 39)) {
    case 0: return Array();  // present but never set
    case 1: return hostadapter::Numeric(mxDOUBLE_CLASS, {0, 0});
    case 2: return hostadapter::Numeric(mxSINGLE_CLASS, {1, 0});
    case 3: return hostadapter::Text("3");
    case 4: return hostadapter::Numeric(mxLOGICAL_CLASS, {1, 1});
    case 5: return hostadapter::Struct({1, 1}, {"x"});
    case 6:
      return hostadapter::Numeric(mxDOUBLE_CLASS, {1, type == ParamType::kRadius ? 2u : 1u}, true);
    case 7: return hostadapter::Sparse(mxDOUBLE_CLASS, 1, type == ParamType::kRadius ? 2 : 1, 1);
    case 8:
    case 9:
      if (type == ParamType::kRadius) {
        Array radius = hostadapter::Numeric(Pick(data, {mxSINGLE_CLASS, mxINT32_CLASS}), {1, 2});
        return radius;
      }
      return ScalarOfClass(Pick(data, {mxINT32_CLASS, mxSINGLE_CLASS, mxUINT8_CLASS}),
                           ParamValue(data, type));
    default: break;
  }
  if (type == ParamType::kRadius) {
    const mwSize n = Pick<mwSize>(data, {2, 2, 2, 2, 2, 1, 3, 0});
    std::vector<double> values(n);
    for (double& v : values) v = ParamValue(data, type);
    const bool column = data.ConsumeBool();
    return hostadapter::Doubles(column ? std::vector<mwSize>{n, 1} : std::vector<mwSize>{1, n},
                                values);
  }
  // A row of several values: only the first counts.
  std::vector<double> values(data.ConsumeIntegralInRange<int>(0, 7) == 0 ? 3 : 1);
  for (double& v : values) v = ParamValue(data, type);
  return hostadapter::Doubles({1, values.size()}, values);
}

struct ParamKey {
  const char* key;
  ParamType type;
};

Array BuildParams(FuzzedDataProvider& data, const std::vector<ParamKey>& keys) {
  switch (data.ConsumeIntegralInRange<int>(0, 31)) {
    case 0: return hostadapter::Scalar(1.0);
    case 1: return hostadapter::Text("params");
    case 2: return hostadapter::Struct({0, 0}, {keys[0].key, keys[1].key});
    case 3: return hostadapter::Struct({1, 0}, {});
    default: break;
  }
  std::vector<std::string> names;
  for (const ParamKey& key_info : keys) {
    if (data.ConsumeIntegralInRange<int>(0, 29) != 0) names.push_back(key_info.key);
  }
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0) names.insert(names.begin(), "extra");
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0 && names.size() > 1)
    std::swap(names[0], names.back());
  const mwSize n_elements = Pick<mwSize>(data, {1, 1, 1, 1, 1, 1, 2, 3});
  Array params = hostadapter::Struct({1, n_elements}, names);
  for (mwSize e = 0; e < n_elements; ++e) {
    for (const ParamKey& key_info : keys) {
      if (std::find(names.begin(), names.end(), key_info.key) == names.end()) continue;
      hostadapter::SetField(params.get(), e, key_info.key, BuildParamValue(data, key_info.type));
    }
  }
  return params;
}

std::int32_t FieldValue(FuzzedDataProvider& data, int mode) {
  switch (mode) {
    case 0: return 0;
    case 1: return data.ConsumeIntegralInRange<std::int32_t>(-3, 3);
    case 2: return data.ConsumeIntegral<std::int32_t>();
    default:
      return Pick<std::int32_t>(
          data, {INT_MIN, INT_MIN + 1, INT_MAX, INT_MAX - 1, 1 << 30, -(1 << 30), -1, 0, 1, 46341});
  }
}

Array BuildDisplacementField(FuzzedDataProvider& data, const mxArray* image1) {
  // The well-formed size follows image 1 where that is an ordinary array.
  mwSize n_pixel = 6;
  if (mxIsSingle(image1) && mxGetNumberOfDimensions(image1) >= 2 &&
      mxGetNumberOfElements(image1) > 0 && mxGetNumberOfElements(image1) < (1u << 20)) {
    n_pixel = mxGetDimensions(image1)[0] * mxGetDimensions(image1)[1];
  } else if (mxIsSingle(image1) && mxGetNumberOfElements(image1) == 0) {
    const mwSize* dims = mxGetDimensions(image1);
    if (dims[0] < 64 && dims[1] < 64) n_pixel = dims[0] * dims[1];
  }
  std::vector<mwSize> dims = {2, n_pixel};
  switch (data.ConsumeIntegralInRange<int>(0, 19)) {
    case 0: dims = {n_pixel, 2}; break;
    case 1: dims = {2, n_pixel + 1}; break;
    case 2: dims = {2, n_pixel > 0 ? n_pixel - 1 : 3}; break;
    case 3: dims = {2, n_pixel, 2}; break;
    case 4: dims = {1, 2 * n_pixel}; break;
    case 5: dims = {0, 0}; break;
    case 6:
      return hostadapter::Numeric(Pick(data, {mxDOUBLE_CLASS, mxUINT8_CLASS, mxSINGLE_CLASS}),
                                  {2, n_pixel});
    case 7: return hostadapter::Numeric(mxINT32_CLASS, {2, n_pixel}, true);
    case 8:
      return hostadapter::Huge(
          mxINT32_CLASS,
          Pick<std::vector<mwSize>>(
              data, {{2, kBig32 + n_pixel}, {kBig32 + 2, n_pixel}, {2, kIntMax + mwSize{1}}}));
    default: break;
  }
  Array field = hostadapter::Numeric(mxINT32_CLASS, dims);
  const int mode = data.ConsumeIntegralInRange<int>(0, 3);
  std::int32_t* values = hostadapter::DataOf<std::int32_t>(field.get());
  const std::size_t n = mxGetNumberOfElements(field.get());
  const std::int32_t constant = FieldValue(data, mode);
  const bool per_pixel = data.ConsumeBool();
  for (std::size_t i = 0; i < n; ++i) values[i] = per_pixel ? FieldValue(data, mode) : constant;
  return field;
}

void ArrangeInputs(FuzzedDataProvider& data, BuiltCall* call, std::size_t n_expected) {
  // Mostly the documented count; sometimes fewer or more.
  std::size_t n = n_expected;
  const int choice = data.ConsumeIntegralInRange<int>(0, 15);
  if (choice == 0) n = data.ConsumeIntegralInRange<std::size_t>(0, n_expected - 1);
  if (choice == 1) n = n_expected + data.ConsumeIntegralInRange<std::size_t>(1, 2);
  for (const Array& array : call->owned) call->inputs.push_back(array.get());
  call->inputs.resize(std::min(n, call->inputs.size()));
  while (call->inputs.size() < n) call->inputs.push_back(call->owned[0].get());
  call->nlhs = data.ConsumeIntegralInRange<int>(0, 4);
}

mwSize FeatureDim(FuzzedDataProvider& data) {
  return Pick<mwSize>(data, {2, 2, 3, 3, 4, 5, 6, 1, 0, 8});
}

// ---- The oracle -----------------------------------------------------------

[[noreturn]] void Fail(const char* module, const std::string& what, const CallResult& r) {
  std::fprintf(stderr, "%s: %s\n  end %d, error %s \"%s\", slots set %d\n", module, what.c_str(),
               static_cast<int>(r.end), r.error_id.c_str(), r.error_text.c_str(), r.n_slots_set);
  std::fflush(stderr);
  std::abort();
}

bool FitsInt32(std::int64_t v) { return v >= INT_MIN && v <= INT_MAX; }

std::int64_t Dim(const mxArray* a, std::size_t i) {
  return i < mxGetNumberOfDimensions(a) ? static_cast<std::int64_t>(mxGetDimensions(a)[i]) : 1;
}

// What a sound gateway must do with a call: refuse it with exactly
// `message` (the first documented test that fails), or create outputs of
// these classes and sizes.
struct Expectation {
  bool refuse = false;
  std::string message;
  std::vector<std::pair<mxClassID, std::vector<mwSize>>> outputs;
  double footprint = 0;  // bytes of outputs (twice: the host copies them) and the volume
  // The memory the process lets the module have, of which the footprint
  // must take a good part before the call may run out.
  double limit = std::min<double>(kOutputBudget, kScratchFigure);
  std::string oom_text = "out of memory";  // what a failed allocation says
};

Expectation Refuse(const std::string& message) {
  Expectation e;
  e.refuse = true;
  e.message = message;
  return e;
}

const char kStorage[] = "wrong descriptor format: must be real, not complex or sparse";
const char kImageSize[] = "wrong descriptor size: element count must fit a 32-bit integer";

// The image checks that follow the documented ones, image 1 before image 2:
// plain real storage, then every size and element count within 32 bits.
// Returns the refusal, or an empty text when both images are usable.
std::string ImageRefusal(const mxArray* image1, const mxArray* image2) {
  for (const mxArray* image : {image1, image2}) {
    if (mxIsComplex(image) || mxIsSparse(image)) return kStorage;
    const std::int64_t h = Dim(image, 0), w = Dim(image, 1), f = Dim(image, 2);
    if (!FitsInt32(h) || !FitsInt32(w) || !FitsInt32(f) || !FitsInt32(h * w) ||
        !FitsInt32(h * w * f)) {
      return kImageSize;
    }
  }
  return "";
}

// Reads the parameter fields in order, as the documentation lists their
// tests; the first refusal is kept in `refusal`, and later reads do nothing.
class ParamReader {
 public:
  explicit ParamReader(const mxArray* params) : params_(params) {
    if (!mxIsStruct(params) || mxGetNumberOfElements(params) < 1)
      refusal = "wrong parameter format: must be a non-empty struct";
  }

  void Int(const char* key, int* out) {
    const mxArray* field = Numeric(key);
    if (field != nullptr && !Truncated(mxGetScalar(field), out)) NotInt32(key);
  }
  void Real(const char* key) { Numeric(key); }
  void Radius(const char* key, int radius[2]) {
    if (!refusal.empty()) return;
    const mxArray* field = mxGetField(params_, 0, key);
    if (field == nullptr) {
      refusal = std::string("missing parameter field: ") + key;
    } else if (!mxIsDouble(field) || mxIsComplex(field) || mxIsSparse(field) ||
               mxGetNumberOfElements(field) < 2) {
      refusal = std::string("wrong parameter format: ") + key +
                " must be a real double array of at least two elements";
    } else if (!Truncated(mxGetPr(field)[0], &radius[0]) ||
               !Truncated(mxGetPr(field)[1], &radius[1])) {
      NotInt32(key);
    }
  }

  std::string refusal;

 private:
  const mxArray* Numeric(const char* key) {
    if (!refusal.empty()) return nullptr;
    const mxArray* field = mxGetField(params_, 0, key);
    if (field == nullptr) {
      refusal = std::string("missing parameter field: ") + key;
      return nullptr;
    }
    if (!mxIsNumeric(field) || mxIsComplex(field) || mxIsSparse(field) ||
        mxGetNumberOfElements(field) == 0) {
      refusal = std::string("wrong parameter format: ") + key + " must be a real numeric value";
      return nullptr;
    }
    return field;
  }
  void NotInt32(const char* key) {
    refusal = std::string("wrong parameter value: ") + key +
              " must be finite and fit a 32-bit integer";
  }
  static bool Truncated(double value, int* out) {
    if (!std::isfinite(value)) return false;
    const double t = std::trunc(value);
    if (t < INT_MIN || t > INT_MAX) return false;
    *out = static_cast<int>(t);
    return true;
  }

  const mxArray* params_;
};

struct CellcostModel {
  Expectation expect;
  std::int64_t n_shift_x = 0, n_shift_y = 0;
  int grid = 0, range_x = 0, range_y = 0;
};

CellcostModel ModelCellcost(const std::vector<const mxArray*>& in) {
  CellcostModel m;
  if (in.size() != 3) return {Refuse("the number of input arg must be 3")};
  if (!mxIsSingle(in[0]) || !mxIsSingle(in[1]))
    return {Refuse("wrong descriptor format: must be single")};
  if (mxGetNumberOfDimensions(in[0]) != 3 || mxGetNumberOfDimensions(in[1]) != 3)
    return {Refuse("wrong feature format -- it must be heightxwidthxfeat_dim")};
  if (Dim(in[0], 2) != Dim(in[1], 2)) return {Refuse("different feature dimension")};
  const std::string image_refusal = ImageRefusal(in[0], in[1]);
  if (!image_refusal.empty()) return {Refuse(image_refusal)};
  int levels = 0, radius[2] = {0, 0}, grid = 0;
  ParamReader params(in[2]);
  params.Int("n_tree_level", &levels);
  params.Radius("search_radius", radius);
  params.Int("grid_size", &grid);
  params.Real("truncate_const");
  if (!params.refusal.empty()) return {Refuse(params.refusal)};
  if (grid < 1) return {Refuse("wrong parameter value: grid_size must be at least 1")};
  if (radius[0] < 0 || radius[1] < 0)
    return {Refuse("wrong parameter value: search_radius must not be negative")};
  const std::int64_t height = Dim(in[0], 0), width = Dim(in[0], 1);
  const std::int64_t n_sample_x = width > 0 ? (width - 1) / grid + 1 : 0;
  const std::int64_t n_sample_y = height > 0 ? (height - 1) / grid + 1 : 0;
  if (levels > 15 ||
      (levels >= 1 && (std::int64_t{1} << (levels - 1)) > std::min(n_sample_x, n_sample_y))) {
    return {Refuse("wrong parameter value: n_tree_level too large for the sample grid of image 1")};
  }
  const Expectation too_large =
      Refuse("search too large: translation and cell counts must fit a 32-bit integer");
  const std::int64_t n_cell = levels >= 1 ? ((std::int64_t{1} << (2 * levels)) - 1) / 3 : 0;
  m.grid = grid;
  m.range_x = grid * (radius[0] / grid);
  m.range_y = grid * (radius[1] / grid);
  m.n_shift_x = 2 * std::int64_t{m.range_x} / grid + 1;
  m.n_shift_y = 2 * std::int64_t{m.range_y} / grid + 1;
  // Each check keeps the next product within 64 bits.
  if (!FitsInt32(m.n_shift_x) || !FitsInt32(m.n_shift_y)) return {too_large};
  const std::int64_t n_shift = m.n_shift_x * m.n_shift_y;
  const std::int64_t n_sample = n_sample_x * n_sample_y;
  if (!FitsInt32(2 * n_shift) || !FitsInt32(n_shift * n_sample) || !FitsInt32(n_shift * n_cell)) {
    return {too_large};
  }
  m.expect.outputs = {{mxSINGLE_CLASS, {mwSize(n_shift), mwSize(n_cell)}},
                      {mxINT32_CLASS, {2, mwSize(n_shift)}},
                      {mxINT32_CLASS, {1, 2}}};
  m.expect.footprint = 2 * (4.0 * n_shift * (n_cell + 2) + 8) + 4.0 * n_shift * n_sample;
  return m;
}

struct DensedispModel {
  Expectation expect;
  int grid = 0, radius[2] = {0, 0};
};

DensedispModel ModelDensedisp(const std::vector<const mxArray*>& in) {
  DensedispModel m;
  if (in.size() != 4) return {Refuse("the number of input arg must be 4")};
  if (!mxIsSingle(in[0]) || !mxIsSingle(in[1]))
    return {Refuse("wrong descriptor format: must be single")};
  if (!mxIsInt32(in[2])) return {Refuse("wrong disparity format: must be int32")};
  if (mxGetNumberOfDimensions(in[0]) != 3 || mxGetNumberOfDimensions(in[1]) != 3)
    return {Refuse("wrong feature format -- it must be heightxwidthxfeat_dim")};
  if (Dim(in[0], 2) != Dim(in[1], 2)) return {Refuse("different feature dimension")};
  const std::string image_refusal = ImageRefusal(in[0], in[1]);
  if (!image_refusal.empty()) return {Refuse(image_refusal)};
  const std::int64_t n_pixel = Dim(in[0], 0) * Dim(in[0], 1);
  if (mxIsComplex(in[2])) return {Refuse("wrong disparity format: must be real")};
  if (mxGetNumberOfDimensions(in[2]) != 2 || Dim(in[2], 0) != 2 || Dim(in[2], 1) != n_pixel)
    return {Refuse("wrong disparity size: must be 2 x (height*width of image 1)")};
  ParamReader params(in[3]);
  params.Int("search_grid_size", &m.grid);
  params.Radius("search_radius", m.radius);
  params.Real("deform_coeff");
  params.Real("truncate_const");
  if (!params.refusal.empty()) return {Refuse(params.refusal)};
  if (m.grid < 1) return {Refuse("wrong parameter value: search_grid_size must be at least 1")};
  if (m.radius[0] < 0 || m.radius[1] < 0)
    return {Refuse("wrong parameter value: search_radius must not be negative")};
  const std::int64_t nx = 2 * std::int64_t{m.radius[0]} / m.grid + 1;
  const std::int64_t ny = 2 * std::int64_t{m.radius[1]} / m.grid + 1;
  // Each check keeps the next product within 64 bits.
  if (!FitsInt32(nx) || !FitsInt32(ny) || !FitsInt32(2 * nx * ny) || !FitsInt32(nx * ny * n_pixel))
    return {Refuse("search too large: offset and volume counts must fit a 32-bit integer")};
  m.expect.outputs = {{mxINT32_CLASS, {2, mwSize(n_pixel)}},
                      {mxSINGLE_CLASS, {1, mwSize(n_pixel)}}};
  m.expect.footprint = 2 * 12.0 * n_pixel + 4.0 * nx * ny * (n_pixel + 3);
  return m;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The rules every call keeps, whatever the module. Returns true when the
// call finished with outputs (so the caller checks their values).
bool JudgeOutcome(const char* module, const Expectation& e, const CallResult& r, int nlhs) {
  if (!r.inputs_unchanged) Fail(module, "an input changed", r);
  if (r.n_stray_arrays != 0) Fail(module, "arrays left neither stored nor destroyed", r);
  if (r.end == CallResult::End::kInterrupted) Fail(module, "stopped without an interrupt", r);
  if (r.end == CallResult::End::kHostError && r.n_slots_set != 0)
    Fail(module, "a failed call left outputs", r);
  if (e.refuse) {
    if (r.end != CallResult::End::kHostError) Fail(module, "a refusal raised no error", r);
    if (r.error_id != std::string("densecorr:") + module + ":badInput")
      Fail(module, "a refusal without the bad-input identifier", r);
    if (r.error_text != e.message) Fail(module, "expected the message \"" + e.message + "\"", r);
    return false;
  }
  if (r.end == CallResult::End::kHostError) {
    if (r.error_id != "densecorr:outOfMemory") Fail(module, "refused a call that is valid", r);
    // The whole-call check against the 1 MiB figure (usable: 0 MiB), or a
    // failed allocation.
    if (r.error_text != e.oom_text &&
        !(StartsWith(r.error_text, "out of memory: the call needs ") &&
          EndsWith(r.error_text, " MiB, this process may use 0 MiB"))) {
      Fail(module, "an out-of-memory error with an unexpected text", r);
    }
    // Only a call that needs a good part of the limits may run out.
    if (e.footprint < e.limit / 8) Fail(module, "a small call ran out of memory", r);
    return false;
  }
  const int n_outputs = static_cast<int>(e.outputs.size());
  const int expected = std::min(std::max(nlhs, 1), n_outputs);
  if (r.n_slots_set != expected) Fail(module, "wrong number of output slots set", r);
  for (int i = 0; i < expected; ++i) {
    const mxArray* out = r.slots[i].get();
    if (out == nullptr) Fail(module, "an output slot left empty", r);
    if (mxGetClassID(out) != e.outputs[i].first || mxIsComplex(out))
      Fail(module, "output " + std::to_string(i) + " of the wrong class", r);
    if (hostadapter::DimsOf(out) != e.outputs[i].second)
      Fail(module, "output " + std::to_string(i) + " of the wrong size", r);
  }
  return true;
}

CallResult RunCall(hostadapter::EntryPoint entry, const BuiltCall& call) {
  CallResult r = hostadapter::Call(entry, call.nlhs, call.inputs);
  // DENSECORR_FUZZ_TRACE=1 prints how each call ended: replaying a corpus
  // with it shows what share of the calls gets past the argument checks.
  static const bool trace = std::getenv("DENSECORR_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr, "call: %s %s\n",
                 r.end == CallResult::End::kReturned ? "returned" : r.error_id.c_str(),
                 r.error_text.c_str());
  }
  return r;
}

// ---- densedesc and densematch: images, options, models ---------------------

// A pixel image of one of the four classes the two modules read, made from a
// seed: random values, a flat image, or smooth stripes; floating-point
// pixels get the special values at a chosen rate.
struct PixelRecipe {
  mxClassID class_id = mxUINT8_CLASS;
  mwSize height = 1, width = 1, channels = 1;
  std::uint32_t seed = 0;
  int mode = 0;  // 0 random, 1 flat, 2 stripes
  int special_rate = 0;
};

PixelRecipe DrawPixelRecipe(FuzzedDataProvider& data, mwSize min_side, mwSize small_side,
                        mwSize large_side) {
  PixelRecipe s;
  s.class_id = Pick(data, {mxUINT8_CLASS, mxUINT16_CLASS, mxSINGLE_CLASS, mxDOUBLE_CLASS});
  s.height = data.ConsumeIntegralInRange<mwSize>(min_side, small_side);
  s.width = data.ConsumeIntegralInRange<mwSize>(min_side, small_side);
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
    s.height = data.ConsumeIntegralInRange<mwSize>(small_side + 1, large_side);
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
    s.width = data.ConsumeIntegralInRange<mwSize>(small_side + 1, large_side);
  s.channels = data.ConsumeIntegralInRange<int>(0, 3) == 0 ? 3 : 1;
  s.seed = data.ConsumeIntegral<std::uint32_t>();
  s.mode = Pick(data, {0, 0, 2, 2, 1});
  s.special_rate = Pick(data, {0, 0, 0, 1, 8});
  return s;
}

Array MakePixelImage(const PixelRecipe& s) {
  Array image = hostadapter::Numeric(s.class_id, {s.height, s.width, s.channels});
  const std::size_t n = mxGetNumberOfElements(image.get());
  std::mt19937 rng(s.seed);
  std::uniform_real_distribution<double> u(-0.1, 1.1);
  std::uniform_int_distribution<int> pick(0, 63);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e30, -1e30,
                             1e-310, 0.0};
  const double flat = u(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t y = i % s.height, x = (i / s.height) % s.width;
    double v = s.mode == 0 ? u(rng)
               : s.mode == 1 ? flat
                             : 0.5 + 0.45 * std::sin(flat * 3 * x + 0.7 * y + double(i / (s.height * s.width)));
    void* p = mxGetData(image.get());
    switch (s.class_id) {
      case mxUINT8_CLASS:
        static_cast<std::uint8_t*>(p)[i] =
            static_cast<std::uint8_t>(std::lround(std::min(std::max(v, 0.0), 1.0) * 255));
        break;
      case mxUINT16_CLASS:
        static_cast<std::uint16_t*>(p)[i] =
            static_cast<std::uint16_t>(std::lround(std::min(std::max(v, 0.0), 1.0) * 65535));
        break;
      default:
        if (s.special_rate > 0 && pick(rng) < s.special_rate) v = specials[rng() % 7];
        if (s.class_id == mxSINGLE_CLASS) {
          static_cast<float*>(p)[i] =
              std::fabs(v) <= 3.4e38 || !std::isfinite(v) ? static_cast<float>(v) : 3.4e38f;
        } else {
          static_cast<double*>(p)[i] = v;
        }
    }
  }
  return image;
}

// An image argument of densedesc (min_side 0) or densematch (min_side 1):
// mostly pixels, sometimes every kind of array the modules must refuse.
Array BuildPixelImage(FuzzedDataProvider& data, mwSize min_side, mwSize small_side,
                      mwSize large_side, PixelRecipe* recipe_out = nullptr) {
  switch (data.ConsumeIntegralInRange<int>(0, 23)) {
    case 0:
      return hostadapter::Numeric(Pick(data, {mxINT8_CLASS, mxINT16_CLASS, mxINT32_CLASS,
                                              mxUINT32_CLASS, mxINT64_CLASS, mxLOGICAL_CLASS,
                                              mxCHAR_CLASS}),
                                  {4, 3});
    case 1:
      return hostadapter::Numeric(Pick(data, {mxSINGLE_CLASS, mxDOUBLE_CLASS, mxUINT8_CLASS}),
                                  {4, 3}, true);
    case 2: return hostadapter::Sparse(Pick(data, {mxDOUBLE_CLASS, mxLOGICAL_CLASS}), 4, 3, 2);
    case 3:
      return hostadapter::Numeric(
          Pick(data, {mxSINGLE_CLASS, mxUINT8_CLASS}),
          Pick<std::vector<mwSize>>(data, {{3, 3, 2}, {3, 3, 4}, {2, 2, 3, 2}, {3, 3, 0}, {2, 2, 1, 3}}));
    case 4: return hostadapter::Struct({1, 1}, {});
    case 5:
      // Sizes no host could back: refused, or stopped by the memory check,
      // before a pixel is read.
      return hostadapter::Huge(
          Pick(data, {mxUINT8_CLASS, mxSINGLE_CLASS, mxDOUBLE_CLASS}),
          Pick<std::vector<mwSize>>(data, {{kBig32, 1},
                                           {1, kBig32 + 5},
                                           {kIntMax, kIntMax},
                                           {70000, 70000},
                                           {kIntMax, 2},
                                           {kIntMax + 1, 1},
                                           {4096, 4096},
                                           {4097, 4096},
                                           {1, (mwSize{1} << 24) + 1},
                                           {46341, 46341, 3}}));
    case 6:
      return hostadapter::Numeric(
          Pick(data, {mxUINT8_CLASS, mxSINGLE_CLASS, mxDOUBLE_CLASS}),
          Pick<std::vector<mwSize>>(
              data, {{0, 0}, {0, 5}, {5, 0}, {0, kBig32}, {kIntMax, 0}, {0, 0, 3}, {0, 7, 3}}));
    default: break;
  }
  const PixelRecipe recipe = DrawPixelRecipe(data, min_side, small_side, large_side);
  if (recipe_out != nullptr) *recipe_out = recipe;
  return MakePixelImage(recipe);
}

// An option of the two newer modules: read as a double from any numeric
// class, then held to [lo, hi] (whole numbers for kWhole). Values drawn in
// range stay within [good_lo, good_hi], and `extreme` stands for the top of
// the range, so that calls stay short.
struct OptionKey {
  const char* key;
  enum Kind { kWhole, kReal, kFlag, kPair, kStruct } kind;
  double lo, hi, good_lo, good_hi, extreme;
};

double StoredAs(mxClassID class_id, double v) {
  // The host's conversion: round to nearest, saturate, NaN to 0.
  const auto saturate = [v](double lo, double hi) {
    if (std::isnan(v)) return 0.0;
    return std::min(std::max(std::nearbyint(v), lo), hi);
  };
  switch (class_id) {
    case mxINT8_CLASS: return saturate(-128, 127);
    case mxUINT8_CLASS: return saturate(0, 255);
    case mxINT16_CLASS: return saturate(-32768, 32767);
    case mxUINT16_CLASS: return saturate(0, 65535);
    case mxINT32_CLASS: return saturate(-2147483648.0, 2147483647.0);
    case mxUINT32_CLASS: return saturate(0, 4294967295.0);
    case mxINT64_CLASS: return saturate(-9223372036854775808.0, 9223372036854774784.0);
    case mxUINT64_CLASS: return saturate(0, 18446744073709549568.0);
    default: return v;
  }
}

Array NumberOfClass(mxClassID class_id, std::vector<mwSize> dims, const std::vector<double>& values) {
  Array array = hostadapter::Numeric(class_id, std::move(dims));
  void* p = mxGetData(array.get());
  for (std::size_t i = 0; i < values.size() && i < mxGetNumberOfElements(array.get()); ++i) {
    const double v = StoredAs(class_id, values[i]);
    switch (class_id) {
      case mxSINGLE_CLASS:
        static_cast<float*>(p)[i] =
            std::fabs(v) <= 3.4e38 || !std::isfinite(v) ? static_cast<float>(v) : 3.4e38f;
        break;
      case mxINT8_CLASS: static_cast<std::int8_t*>(p)[i] = static_cast<std::int8_t>(v); break;
      case mxUINT8_CLASS: static_cast<std::uint8_t*>(p)[i] = static_cast<std::uint8_t>(v); break;
      case mxINT16_CLASS: static_cast<std::int16_t*>(p)[i] = static_cast<std::int16_t>(v); break;
      case mxUINT16_CLASS: static_cast<std::uint16_t*>(p)[i] = static_cast<std::uint16_t>(v); break;
      case mxINT32_CLASS: static_cast<std::int32_t*>(p)[i] = static_cast<std::int32_t>(v); break;
      case mxUINT32_CLASS: static_cast<std::uint32_t*>(p)[i] = static_cast<std::uint32_t>(v); break;
      case mxINT64_CLASS: static_cast<std::int64_t*>(p)[i] = static_cast<std::int64_t>(v); break;
      case mxUINT64_CLASS: static_cast<std::uint64_t*>(p)[i] = static_cast<std::uint64_t>(v); break;
      default: static_cast<double*>(p)[i] = v;
    }
  }
  return array;
}

double OptionNumber(FuzzedDataProvider& data, const OptionKey& k) {
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0) {
    return Pick(data, {kNaN, kInf, -kInf, k.lo - 1, k.hi + 1, k.lo, k.extreme, k.lo + 0.5,
                       -0.0, 1e300, -1e300, 2147483648.0, 1e-320, -1e-9});
  }
  if (k.kind == OptionKey::kReal)
    return data.ConsumeFloatingPointInRange<double>(k.good_lo, k.good_hi);
  return static_cast<double>(data.ConsumeIntegralInRange<int>(static_cast<int>(k.good_lo),
                                                              static_cast<int>(k.good_hi)));
}

Array BuildOptionStruct(FuzzedDataProvider& data, const std::vector<OptionKey>& keys,
                        const std::vector<OptionKey>* nested, int include_one_in);

Array BuildOptionValue(FuzzedDataProvider& data, const OptionKey& k,
                       const std::vector<OptionKey>* nested) {
  if (k.kind == OptionKey::kStruct && data.ConsumeIntegralInRange<int>(0, 3) != 0)
    return BuildOptionStruct(data, *nested, nullptr, 3);
  switch (data.ConsumeIntegralInRange<int>(0, 31)) {
    case 0: return Array();  // present but never set
    case 1: return hostadapter::Numeric(Pick(data, {mxDOUBLE_CLASS, mxSINGLE_CLASS}), {0, 0});
    case 2: return hostadapter::Text("1");
    case 3: return hostadapter::Struct({1, 1}, {});
    case 4: return hostadapter::Numeric(mxDOUBLE_CLASS, {1, 1}, true);
    case 5:
      // A sparse scalar: when false it stores no value at all.
      return hostadapter::Sparse(Pick(data, {mxDOUBLE_CLASS, mxLOGICAL_CLASS}), 1, 1,
                                 data.ConsumeIntegralInRange<mwSize>(0, 1));
    case 6: {
      std::vector<double> values(3);
      for (double& v : values) v = OptionNumber(data, k);
      return hostadapter::Doubles({1, 3}, values);
    }
    case 7:
    case 8: {
      Array flag = hostadapter::Numeric(mxLOGICAL_CLASS,
                                        {1, data.ConsumeIntegralInRange<int>(0, 7) ? 1u : 2u});
      for (std::size_t i = 0; i < mxGetNumberOfElements(flag.get()); ++i)
        hostadapter::DataOf<mxLogical>(flag.get())[i] = data.ConsumeBool();
      return flag;
    }
    case 9:
    case 10:
    case 11: {
      const mxClassID c = Pick(data, {mxSINGLE_CLASS, mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS,
                                      mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS,
                                      mxUINT64_CLASS});
      return NumberOfClass(c, {1, 1}, {OptionNumber(data, k)});
    }
    default: break;
  }
  if (k.kind == OptionKey::kPair && data.ConsumeBool()) {
    const std::vector<double> values = {OptionNumber(data, k), OptionNumber(data, k)};
    return hostadapter::Doubles(data.ConsumeBool() ? std::vector<mwSize>{2, 1}
                                                   : std::vector<mwSize>{1, 2},
                                values);
  }
  return hostadapter::Scalar(OptionNumber(data, k));
}

// A struct of options: each key present one time in `include_one_in`, an
// unknown name now and then, in the keys' order or rotated.
Array BuildOptionStruct(FuzzedDataProvider& data, const std::vector<OptionKey>& keys,
                        const std::vector<OptionKey>* nested, int include_one_in) {
  switch (data.ConsumeIntegralInRange<int>(0, 31)) {
    case 0: return hostadapter::Scalar(1.0);
    case 1: return hostadapter::Text("options");
    case 2: return hostadapter::Struct({1, 2}, {keys[0].key});
    case 3: return hostadapter::Struct({0, 0}, {});
    case 4: return hostadapter::Numeric(mxDOUBLE_CLASS, {0, 0});
    default: break;
  }
  std::vector<const OptionKey*> chosen;
  for (const OptionKey& k : keys) {
    if (data.ConsumeIntegralInRange<int>(1, include_one_in) == 1) chosen.push_back(&k);
  }
  if (!chosen.empty() && data.ConsumeIntegralInRange<int>(0, 3) == 0) {
    std::rotate(chosen.begin(),
                chosen.begin() + data.ConsumeIntegralInRange<std::size_t>(0, chosen.size() - 1),
                chosen.end());
  }
  std::vector<std::string> names;
  for (const OptionKey* k : chosen) names.push_back(k->key);
  if (data.ConsumeIntegralInRange<int>(0, 11) == 0) {
    names.insert(names.begin() + data.ConsumeIntegralInRange<std::size_t>(0, names.size()),
                 Pick<const char*>(data, {"extra", "Grid_size", "cellsize"}));
  }
  Array options = hostadapter::Struct({1, 1}, names);
  for (const OptionKey* k : chosen)
    hostadapter::SetField(options.get(), 0, k->key, BuildOptionValue(data, *k, nested));
  for (const std::string& name : names) {
    if (std::none_of(chosen.begin(), chosen.end(),
                     [&](const OptionKey* k) { return name == k->key; }))
      hostadapter::SetField(options.get(), 0, name, hostadapter::Scalar(1.0));
  }
  return options;
}

const std::vector<OptionKey>& DescribeKeys() {
  static const std::vector<OptionKey> keys = {
      {"smoothing_sigma", OptionKey::kReal, 0, 10, 0, 3, 10},
      {"n_orientations", OptionKey::kWhole, 2, 32, 2, 10, 32},
      {"cell_size", OptionKey::kWhole, 1, 16, 1, 5, 16},
      {"grid_cells", OptionKey::kWhole, 1, 8, 1, 4, 8},
      {"norm_floor", OptionKey::kReal, 1e-30, 1e30, 1e-4, 1, 1e30},
      {"root_normalise", OptionKey::kFlag, 0, 1, 0, 1, 1},
      // A few threads: see RunAndJudgeDensedesc.
      {"n_threads", OptionKey::kWhole, 0, 1024, 0, 3, 3},
  };
  return keys;
}

// The matcher's descriptor options, with the matcher's own ranges
// (cell_size 0: from the grid).
const std::vector<OptionKey>& MatchDescriptorKeys() {
  static const std::vector<OptionKey> keys = {
      {"smoothing_sigma", OptionKey::kReal, 0, 10, 0, 3, 10},
      {"n_orientations", OptionKey::kWhole, 2, 32, 2, 10, 32},
      {"cell_size", OptionKey::kWhole, 0, 16, 0, 5, 16},
      {"grid_cells", OptionKey::kWhole, 1, 8, 1, 4, 8},
      {"norm_floor", OptionKey::kReal, 1e-9, 1e6, 1e-4, 1, 1e6},
      {"root_normalise", OptionKey::kWhole, 0, 1, 0, 1, 1},
  };
  return keys;
}

const std::vector<OptionKey>& MatchKeys() {
  static const std::vector<OptionKey> keys = {
      {"search_radius", OptionKey::kPair, 0, 1e6, 0, 6, 1e6},
      {"grid_size", OptionKey::kWhole, 0, 256, 0, 4, 256},
      {"n_tree_level", OptionKey::kWhole, 0, 15, 0, 3, 15},
      {"cell_truncate", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"neighbour_weight", OptionKey::kReal, 0, 1e6, 0, 0.2, 1e6},
      {"neighbour_truncate", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"parent_weight", OptionKey::kReal, 0, 1e6, 0, 0.2, 1e6},
      {"parent_truncate", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"bp_iterations", OptionKey::kWhole, 0, 1000, 0, 3, 20},
      {"refine_radius", OptionKey::kWhole, 0, 64, 0, 3, 8},
      {"refine_step", OptionKey::kWhole, 1, 64, 1, 3, 64},
      {"deform_coeff", OptionKey::kReal, 0, 1e6, 0, 0.1, 1e6},
      {"flow_warps", OptionKey::kWhole, 0, 100, 0, 2, 5},
      {"flow_coarse_warps", OptionKey::kWhole, 0, 100, 0, 2, 5},
      {"flow_fixed_point", OptionKey::kWhole, 0, 100, 0, 2, 5},
      {"flow_sor", OptionKey::kWhole, 0, 1000, 0, 10, 50},
      {"flow_smoothness", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"flow_brightness", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"flow_gradient", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"flow_sigma", OptionKey::kReal, 0, 20, 0, 2, 20},
      {"flow_edge", OptionKey::kReal, 0, 1e6, 0, 4, 1e6},
      {"flow_scales", OptionKey::kWhole, 1, 64, 1, 5, 64},
      {"flow_scale_factor", OptionKey::kReal, 0.25, 0.95, 0.25, 0.95, 0.95},
      {"flow_anchor", OptionKey::kReal, 0, 1e6, 0, 2, 1e6},
      {"consistency_threshold", OptionKey::kReal, -1e6, 1e6, -1, 3, 1e6},
      {"global_motion", OptionKey::kWhole, 0, 1, 0, 1, 1},
      {"fill_frame", OptionKey::kWhole, 0, 1, 0, 1, 1},
      {"rectified", OptionKey::kWhole, 0, 1, 0, 1, 1},
      {"median_radius", OptionKey::kWhole, 0, 64, 0, 9, 64},
      {"snap_radius", OptionKey::kWhole, 0, 31, 0, 6, 31},
      // A few threads: see RunAndJudgeDensedesc.
      {"n_threads", OptionKey::kWhole, 0, 1024, 0, 3, 3},
      {"descriptor", OptionKey::kStruct, 0, 0, 0, 0, 0},
  };
  return keys;
}

// The arguments in the documented count most of the time, else fewer or
// more (extra ones repeat the first).
void ArrangeOptionalInputs(FuzzedDataProvider& data, BuiltCall* call, std::size_t n_min,
                           std::size_t n_max, int max_nlhs) {
  std::size_t n = data.ConsumeIntegralInRange<std::size_t>(n_min, n_max);
  const int choice = data.ConsumeIntegralInRange<int>(0, 15);
  if (choice == 0) n = data.ConsumeIntegralInRange<std::size_t>(0, n_min);
  if (choice == 1) n = n_max + data.ConsumeIntegralInRange<std::size_t>(1, 2);
  for (const Array& array : call->owned) call->inputs.push_back(array.get());
  call->inputs.resize(std::min(n, call->inputs.size()));
  while (call->inputs.size() < n) call->inputs.push_back(call->owned[0].get());
  call->nlhs = data.ConsumeIntegralInRange<int>(0, 7) == 0
                   ? max_nlhs + 1
                   : data.ConsumeIntegralInRange<int>(0, max_nlhs);
}

// Element i of a numeric array as a double, as both modules read options.
double ElementAsDouble(const mxArray* a, std::size_t i) {
  const void* p = mxGetData(a);
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: return static_cast<const double*>(p)[i];
    case mxSINGLE_CLASS: return static_cast<const float*>(p)[i];
    case mxINT8_CLASS: return static_cast<const std::int8_t*>(p)[i];
    case mxUINT8_CLASS: return static_cast<const std::uint8_t*>(p)[i];
    case mxINT16_CLASS: return static_cast<const std::int16_t*>(p)[i];
    case mxUINT16_CLASS: return static_cast<const std::uint16_t*>(p)[i];
    case mxINT32_CLASS: return static_cast<const std::int32_t*>(p)[i];
    case mxUINT32_CLASS: return static_cast<const std::uint32_t*>(p)[i];
    case mxINT64_CLASS: return static_cast<double>(static_cast<const std::int64_t*>(p)[i]);
    case mxUINT64_CLASS: return static_cast<double>(static_cast<const std::uint64_t*>(p)[i]);
    default: return kNaN;
  }
}

bool PlainNumber(const mxArray* a) {
  return mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

bool HasNonFinite(const mxArray* image) {
  const std::size_t n = mxGetNumberOfElements(image);
  for (std::size_t i = 0; i < n; ++i) {
    if (mxIsSingle(image) && !std::isfinite(hostadapter::DataOf<float>(image)[i])) return true;
    if (mxIsDouble(image) && !std::isfinite(hostadapter::DataOf<double>(image)[i])) return true;
  }
  return false;
}

bool IsPixelClass(const mxArray* a) {
  const mxClassID c = mxGetClassID(a);
  return c == mxUINT8_CLASS || c == mxUINT16_CLASS || c == mxSINGLE_CLASS || c == mxDOUBLE_CLASS;
}

struct DescribeModel {
  Expectation expect;
  bool root_normalise = true;
};

// densedesc's documented tests, in the gateway's order; messages without
// the module's prefix.
std::string DescribeRefusal(const std::vector<const mxArray*>& in, int nlhs, int* n_channel,
                            int* n_orient) {
  if (in.size() < 1 || in.size() > 2) return "densedesc takes an image and an optional params struct";
  if (nlhs > 1) return "densedesc returns one output";
  const mxArray* image = in[0];
  if (!IsPixelClass(image)) return "image must be uint8, uint16, single or double";
  if (mxIsComplex(image) || mxIsSparse(image)) return "image must be real and not sparse";
  const mwSize n_dim = mxGetNumberOfDimensions(image);
  if (n_dim > 3 || (Dim(image, 2) != 1 && Dim(image, 2) != 3))
    return "image must be H x W (grey) or H x W x 3 (RGB)";
  if (Dim(image, 0) > INT_MAX || Dim(image, 1) > INT_MAX)
    return "image height and width must fit a 32-bit integer";
  // The defaults are the core's own.
  int orient = densecorr::DescribeOptions().n_orientations;
  int cells = densecorr::DescribeOptions().grid_cells;
  if (in.size() == 2) {
    const mxArray* params = in[1];
    if (!mxIsStruct(params) || mxGetNumberOfElements(params) != 1)
      return "params must be a 1 x 1 struct";
    for (int f = 0; f < mxGetNumberOfFields(params); ++f) {
      const std::string name = mxGetFieldNameByNumber(params, f);
      const mxArray* v = mxGetFieldByNumber(params, 0, f);
      if (v == nullptr) return "params." + name + " is not set";
      const OptionKey* key = nullptr;
      for (const OptionKey& k : DescribeKeys())
        if (name == k.key) key = &k;
      if (key == nullptr) return "unknown field params." + name;
      const std::string prefix = "params." + name;
      if (key->kind == OptionKey::kFlag) {
        if (!(mxIsLogical(v) || mxIsNumeric(v)) || mxGetNumberOfElements(v) != 1)
          return prefix + " must be a logical or numeric scalar";
        if (mxIsSparse(v)) return prefix + " must not be sparse";
        if (mxIsLogical(v)) continue;
      }
      if (!PlainNumber(v) || mxGetNumberOfElements(v) != 1)
        return prefix + " must be a real numeric scalar";
      const double x = ElementAsDouble(v, 0);
      if (!std::isfinite(x)) return prefix + " must be finite";
      if (name == "smoothing_sigma" && (x < 0 || x > 10))
        return prefix + " must lie from 0 to 10";
      if (name == "norm_floor" && !(x >= 1e-30 && x <= 1e30))
        return prefix + " must lie from 1e-30 to 1e30";
      if (key->kind == OptionKey::kWhole && (x != std::floor(x) || x < key->lo || x > key->hi)) {
        return prefix + " must be a whole number from " + std::to_string(int(key->lo)) + " to " +
               std::to_string(int(key->hi));
      }
      if (name == "n_orientations") orient = int(x);
      if (name == "grid_cells") cells = int(x);
    }
  }
  *n_channel = orient * cells * cells;
  *n_orient = orient;
  return "";
}

Expectation ModelDensedesc(const std::vector<const mxArray*>& in, int nlhs) {
  int n_channel = 0, n_orient = 0;
  const std::string refusal = DescribeRefusal(in, nlhs, &n_channel, &n_orient);
  if (!refusal.empty()) return Refuse("densedesc: " + refusal);
  Expectation e;
  const double n_pixel = double(Dim(in[0], 0)) * double(Dim(in[0], 1));
  e.outputs = {{mxSINGLE_CLASS, {mwSize(Dim(in[0], 0)), mwSize(Dim(in[0], 1)), mwSize(n_channel)}}};
  // The output (and the host's copy), and the core's planes: the image, its
  // orientation maps before and after pooling, a few more.
  e.footprint = 4.0 * n_pixel * (2.0 * n_channel + 2.0 * n_orient + 8);
  e.oom_text = "densedesc: out of memory";
  return e;
}

struct MatchModel {
  Expectation expect;
  bool may_refuse_nonfinite = false;
};

// densematch's option, as the gateway reads it: "" or the refusal.
std::string MatchNumbers(const mxArray* v, const std::string& name, int n, double out[2]) {
  const std::size_t count = mxGetNumberOfElements(v);
  if (!PlainNumber(v) || count < 1 || count > std::size_t(n) || (count != 1 && count != std::size_t(n)))
    return "option " + name + (n == 1 ? " must be a real numeric scalar" : " must be a real scalar or pair");
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = ElementAsDouble(v, i);
    if (!std::isfinite(out[i])) return "option " + name + " must be finite";
  }
  if (count == 1) out[1] = out[0];
  return "";
}

std::string MatchRange(const OptionKey& k, double x) {
  char text[160];
  if (k.kind == OptionKey::kWhole) {
    if (x == std::floor(x) && x >= k.lo && x <= k.hi) return "";
    std::snprintf(text, sizeof text, "option %s must be a whole number from %g to %g", k.key, k.lo,
                  k.hi);
  } else {
    if (x >= k.lo && x <= k.hi) return "";
    std::snprintf(text, sizeof text, "option %s must lie from %g to %g", k.key, k.lo, k.hi);
  }
  return text;
}

// The options the model needs to size the call.
struct MatchSettings {
  int grid_size = 0, n_tree_level = 0, radius_x = -1, radius_y = -1;
  int n_orient = densecorr::DescribeOptions().n_orientations;
  int grid_cells = densecorr::DescribeOptions().grid_cells;
};

std::string MatchOptionsRefusal(const mxArray* s, const std::vector<OptionKey>& keys,
                                const std::string& prefix, MatchSettings* settings) {
  const bool nested = !prefix.empty();
  if (!mxIsStruct(s) || mxGetNumberOfElements(s) != 1)
    return nested ? "option descriptor must be a scalar struct" : "options must be a scalar struct";
  for (int f = 0; f < mxGetNumberOfFields(s); ++f) {
    const std::string name = mxGetFieldNameByNumber(s, f);
    const mxArray* v = mxGetFieldByNumber(s, 0, f);
    if (v == nullptr) return "option " + prefix + name + " is not set";
    const OptionKey* key = nullptr;
    for (const OptionKey& k : keys)
      if (name == k.key) key = &k;
    if (key == nullptr) return "unknown option " + prefix + name;
    if (key->kind == OptionKey::kStruct) {
      const std::string r = MatchOptionsRefusal(v, MatchDescriptorKeys(), "descriptor.", settings);
      if (!r.empty()) return r;
      continue;
    }
    // The switches also take a logical scalar.
    if ((name == "global_motion" || name == "fill_frame" || name == "rectified" ||
         name == "root_normalise") &&
        mxIsLogical(v)) {
      if (mxGetNumberOfElements(v) != 1 || mxIsSparse(v))
        return "option " + name + " must be a logical or numeric scalar";
      continue;
    }
    double x[2] = {0, 0};
    const std::string format = MatchNumbers(v, name, key->kind == OptionKey::kPair ? 2 : 1, x);
    if (!format.empty()) return format;
    if (key->kind == OptionKey::kPair) {
      for (double r : x)
        if (r != std::floor(r) || r < 0 || r > 1e6)
          return "option search_radius must hold whole numbers from 0 to 1e6";
      settings->radius_x = int(x[0]);
      settings->radius_y = int(x[1]);
      continue;
    }
    const std::string range = MatchRange(*key, x[0]);
    if (!range.empty()) return range;
    if (nested && name == "n_orientations") settings->n_orient = int(x[0]);
    if (nested && name == "grid_cells") settings->grid_cells = int(x[0]);
    if (!nested && name == "grid_size") settings->grid_size = int(x[0]);
    if (!nested && name == "n_tree_level") settings->n_tree_level = int(x[0]);
  }
  return "";
}

std::string MatchImageRefusal(const mxArray* a, const std::string& label) {
  if (!IsPixelClass(a)) return label + " must be uint8, uint16, single or double";
  if (mxIsComplex(a) || mxIsSparse(a)) return label + " must be real and full";
  if (mxGetNumberOfDimensions(a) > 3 || (Dim(a, 2) != 1 && Dim(a, 2) != 3))
    return label + " must be height x width or height x width x 3";
  const std::int64_t h = Dim(a, 0), w = Dim(a, 1);
  if (h < 1 || w < 1) return label + " must not be empty";
  if (h > (1 << 24) || w > (1 << 24) || h * w > (1 << 24))
    return label + " is too large (at most 2^24 pixels)";
  return "";
}

MatchModel ModelDensematch(const std::vector<const mxArray*>& in, int nlhs) {
  MatchModel m;
  const auto refuse = [](const std::string& message) { return MatchModel{Refuse(message)}; };
  if (in.size() < 2 || in.size() > 3)
    return refuse("densematch takes two images and an optional options struct");
  if (nlhs > 4) return refuse("densematch returns at most four outputs");
  for (int i = 0; i < 2; ++i) {
    const std::string r = MatchImageRefusal(in[i], i == 0 ? "image1" : "image2");
    if (!r.empty()) return refuse(r);
  }
  MatchSettings o;
  if (in.size() == 3 && !(mxIsDouble(in[2]) && mxGetNumberOfElements(in[2]) == 0)) {
    const std::string r = MatchOptionsRefusal(in[2], MatchKeys(), "", &o);
    if (!r.empty()) return refuse(r);
  }
  // The core's own checks of what the gateway lets through.
  const std::int64_t h1 = Dim(in[0], 0), w1 = Dim(in[0], 1), h2 = Dim(in[1], 0), w2 = Dim(in[1], 1);
  if (h1 * w1 * 128 > INT_MAX || h2 * w2 * 128 > INT_MAX)
    return refuse("MatchImages: image too large");
  const std::int64_t longer = std::max({h1, w1, h2, w2});
  const std::int64_t grid = o.grid_size > 0 ? o.grid_size : std::max<std::int64_t>(1, (longer + 40) / 80);
  const auto samples = [grid](std::int64_t n) { return (n + grid - 1) / grid; };
  const std::int64_t min_samples =
      std::min({samples(w1), samples(h1), samples(w2), samples(h2)});
  if (o.n_tree_level > 0 && (std::int64_t{1} << (o.n_tree_level - 1)) > min_samples)
    return refuse("MatchImages: n_tree_level too large for the images' sample grids");
  // The matcher's kernels take descriptors of at most 128 channels.
  if (o.n_orient * o.grid_cells * o.grid_cells > 128)
    return refuse("MatchImages: descriptor has more than 128 channels (n_orientations * grid_cells^2)");
  m.may_refuse_nonfinite = HasNonFinite(in[0]) || HasNonFinite(in[1]);
  const mwSize size[2] = {mwSize(h1), mwSize(w1)};
  m.expect.outputs = {{mxSINGLE_CLASS, {size[0], size[1]}},
                      {mxSINGLE_CLASS, {size[0], size[1]}},
                      {mxLOGICAL_CLASS, {size[0], size[1]}},
                      {mxSINGLE_CLASS, {size[0], size[1]}}};
  // The cell-cost volume of the widest search both ways, the descriptors of
  // both images, and the per-pixel planes.
  const std::int64_t reach = (longer + 3) / 4;
  const std::int64_t rx = std::min<std::int64_t>(o.radius_x >= 0 ? o.radius_x : reach, std::max(w1, w2));
  const std::int64_t ry = std::min<std::int64_t>(o.radius_y >= 0 ? o.radius_y : reach, std::max(h1, h2));
  const double n_shift = double(2 * (rx / grid + 1) + 1) * double(2 * (ry / grid + 1) + 1);
  const double n_pixel = double(std::max(h1 * w1, h2 * w2));
  const double n_channel = double(o.n_orient) * o.grid_cells * o.grid_cells;
  m.expect.footprint = 4.0 * (2 * n_shift * n_pixel / double(grid * grid) +
                              4 * n_pixel * (n_channel + 64));
  m.expect.limit = double(kMatchScratchFigure);
  return m;
}

// Values of densedesc's output the documentation promises: each in [0, 1],
// each pixel's vector of length at most 1.
void CheckDescriptorValues(const CallResult& r) {
  const mxArray* out = r.slots[0].get();
  const std::size_t n_pixel = std::size_t(Dim(out, 0)) * std::size_t(Dim(out, 1));
  const std::size_t n_channel = std::size_t(Dim(out, 2));
  const float* d = hostadapter::DataOf<float>(out);
  for (std::size_t p = 0; p < n_pixel; ++p) {
    double sum2 = 0;
    for (std::size_t k = 0; k < n_channel; ++k) {
      const float v = d[k * n_pixel + p];
      if (!(v >= 0.0f && v <= 1.0f))
        Fail("densedesc", "value " + std::to_string(v) + " outside [0, 1] at pixel " +
                              std::to_string(p), r);
      sum2 += double(v) * v;
    }
    if (sum2 > 1.0 + 1e-4)
      Fail("densedesc", "vector longer than 1 at pixel " + std::to_string(p), r);
  }
}

// densematch's fields against the documentation: finite displacements; a
// valid pixel's match inside image 2; a cost of Inf exactly where the match
// leaves image 2, else a distance of unit-length vectors.
void CheckMatchValues(const CallResult& r, const mxArray* image2) {
  const int n_out = static_cast<int>(r.slots.size());
  const mxArray* dx_out = r.slots[0].get();
  const std::size_t h = std::size_t(Dim(dx_out, 0)), w = std::size_t(Dim(dx_out, 1));
  const float w2 = float(Dim(image2, 1)), h2 = float(Dim(image2, 0));
  const float* dx = hostadapter::DataOf<float>(dx_out);
  const float* dy = n_out > 1 && r.slots[1] ? hostadapter::DataOf<float>(r.slots[1].get()) : nullptr;
  const mxLogical* valid =
      n_out > 2 && r.slots[2] ? hostadapter::DataOf<mxLogical>(r.slots[2].get()) : nullptr;
  const float* cost = n_out > 3 && r.slots[3] ? hostadapter::DataOf<float>(r.slots[3].get()) : nullptr;
  for (std::size_t x = 0; x < w; ++x) {
    for (std::size_t y = 0; y < h; ++y) {
      const std::size_t p = x * h + y;
      const std::string at = " at pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")";
      if (!std::isfinite(dx[p]) || (dy && !std::isfinite(dy[p])))
        Fail("densematch", "a displacement that is not finite" + at, r);
      if (dy == nullptr) continue;
      const float x2 = float(x) + dx[p], y2 = float(y) + dy[p];
      const bool inside = x2 >= 0.0f && x2 <= w2 - 1.0f && y2 >= 0.0f && y2 <= h2 - 1.0f;
      if (valid && valid[p] && !inside) Fail("densematch", "a valid match outside image 2" + at, r);
      if (cost && inside != std::isfinite(cost[p]))
        Fail("densematch", "a cost not Inf exactly outside image 2" + at, r);
      if (cost && inside && !(cost[p] >= 0.0f && cost[p] <= 2.001f))
        Fail("densematch", "a cost outside [0, 2]" + at, r);
    }
  }
}

}  // namespace

void InstallLimits(std::int64_t scratch_figure) {
  // With teams of changing size, clang's OpenMP runtime keeps the old teams
  // ("hot teams") in structures that the leak check, run before the
  // runtime's own exit code, reports as lost; a plain parallel loop with a
  // varying thread count and no code of ours shows the same report. Without
  // hot teams there is nothing to report, so a leak found is ours. Set
  // before the runtime starts (it reads the setting once), unless the
  // caller set it.
  setenv("KMP_HOT_TEAMS_MAX_LEVEL", "0", 0);
  static densecorr::ScopedGuardFigure figure(scratch_figure, 0);
  hostadapter::SetArrayBudget(kOutputBudget);
}

BuiltCall BuildCellcostCall(FuzzedDataProvider& data) {
  BuiltCall call;
  const mwSize feat_dim = FeatureDim(data);
  call.owned.push_back(BuildImage(data, feat_dim));
  call.owned.push_back(
      BuildImage(data, data.ConsumeIntegralInRange<int>(0, 15) ? feat_dim : FeatureDim(data)));
  call.owned.push_back(BuildParams(data, {{"n_tree_level", ParamType::kInt},
                                          {"search_radius", ParamType::kRadius},
                                          {"grid_size", ParamType::kInt},
                                          {"truncate_const", ParamType::kReal}}));
  ArrangeInputs(data, &call, 3);
  return call;
}

BuiltCall BuildDensedispCall(FuzzedDataProvider& data) {
  BuiltCall call;
  const mwSize feat_dim = FeatureDim(data);
  call.owned.push_back(BuildImage(data, feat_dim));
  call.owned.push_back(
      BuildImage(data, data.ConsumeIntegralInRange<int>(0, 15) ? feat_dim : FeatureDim(data)));
  call.owned.push_back(BuildDisplacementField(data, call.owned[0].get()));
  call.owned.push_back(BuildParams(data, {{"search_grid_size", ParamType::kInt},
                                          {"search_radius", ParamType::kRadius},
                                          {"deform_coeff", ParamType::kReal},
                                          {"truncate_const", ParamType::kReal}}));
  ArrangeInputs(data, &call, 4);
  return call;
}

void RunAndJudgeCellcost(const BuiltCall& call) {
  const CellcostModel m = ModelCellcost(call.inputs);
  const CallResult r = RunCall(densecorr_cellcost_mex, call);
  if (!JudgeOutcome("cellcost", m.expect, r, call.nlhs)) return;
  // The translation list and the grid size follow from the parameters alone.
  const std::int64_t n_shift = m.n_shift_x * m.n_shift_y;
  if (r.slots.size() > 1 && r.slots[1]) {
    const std::int32_t* shifts = hostadapter::DataOf<std::int32_t>(r.slots[1].get());
    for (std::int64_t k = 0; k < n_shift; ++k) {
      const std::int64_t dx = -std::int64_t{m.range_x} + (k / m.n_shift_y) * m.grid;
      const std::int64_t dy = -std::int64_t{m.range_y} + (k % m.n_shift_y) * m.grid;
      if (shifts[2 * k] != dx || shifts[2 * k + 1] != dy)
        Fail("cellcost", "translation " + std::to_string(k) + " out of order", r);
    }
  }
  if (r.slots.size() > 2 && r.slots[2]) {
    const std::int32_t* grid = hostadapter::DataOf<std::int32_t>(r.slots[2].get());
    if (grid[0] != m.n_shift_x || grid[1] != m.n_shift_y) Fail("cellcost", "wrong grid size", r);
  }
}

void RunAndJudgeDensedisp(const BuiltCall& call) {
  const DensedispModel m = ModelDensedisp(call.inputs);
  const CallResult r = RunCall(densecorr_densedisp_mex, call);
  if (!JudgeOutcome("densedisp", m.expect, r, call.nlhs)) return;
  // Every pixel moved by one offset of the grid (the difference taken with
  // the same 32-bit wrap as the update), or kept its place with an infinite
  // cost when no candidate won.
  const std::int32_t* before = hostadapter::DataOf<std::int32_t>(call.inputs[2]);
  const std::int32_t* after = hostadapter::DataOf<std::int32_t>(r.slots[0].get());
  const float* cost =
      r.slots.size() > 1 && r.slots[1] ? hostadapter::DataOf<float>(r.slots[1].get()) : nullptr;
  const std::size_t n_pixel = mxGetNumberOfElements(call.inputs[2]) / 2;
  for (std::size_t p = 0; p < n_pixel; ++p) {
    bool on_grid = true, still = true;
    for (int axis = 0; axis < 2; ++axis) {
      const std::int32_t delta =
          static_cast<std::int32_t>(static_cast<std::uint32_t>(after[2 * p + axis]) -
                                    static_cast<std::uint32_t>(before[2 * p + axis]));
      const std::int64_t from_start = std::int64_t{delta} + m.radius[axis];
      on_grid = on_grid && from_start >= 0 && delta <= m.radius[axis] && from_start % m.grid == 0;
      still = still && delta == 0;
    }
    // Without the cost output a pixel that stayed put may still be one
    // without a winner.
    const bool no_winner = still && (cost == nullptr || (std::isinf(cost[p]) && cost[p] > 0));
    if (!on_grid && !no_winner)
      Fail("densedisp", "pixel " + std::to_string(p) + " moved off the offset grid", r);
  }
}

BuiltCall BuildDensedescCall(FuzzedDataProvider& data) {
  BuiltCall call;
  call.owned.push_back(BuildPixelImage(data, 0, 12, 32));
  call.owned.push_back(BuildOptionStruct(data, DescribeKeys(), nullptr, 3));
  ArrangeOptionalInputs(data, &call, 1, 2, 1);
  return call;
}

BuiltCall BuildDensematchCall(FuzzedDataProvider& data) {
  BuiltCall call;
  // A few dozen pixels a side at most, so that a call takes milliseconds.
  PixelRecipe recipe;
  recipe.class_id = mxUNKNOWN_CLASS;
  call.owned.push_back(BuildPixelImage(data, 1, 12, 24, &recipe));
  if (recipe.class_id != mxUNKNOWN_CLASS && data.ConsumeIntegralInRange<int>(0, 3) == 0) {
    // The same picture again, or with other values: a pair to match.
    recipe.seed += data.ConsumeIntegralInRange<std::uint32_t>(0, 1);
    call.owned.push_back(MakePixelImage(recipe));
  } else {
    call.owned.push_back(BuildPixelImage(data, 1, 12, 24));
  }
  call.owned.push_back(BuildOptionStruct(data, MatchKeys(), &MatchDescriptorKeys(), 6));
  ArrangeOptionalInputs(data, &call, 2, 3, 4);
  return call;
}

// Fuzzed calls draw n_threads from 0 to 3 (0: the host's setting, which the
// bounded tests set to 1), so the threaded paths run under the sanitizers
// too (see InstallLimits for the runtime's thread teams).
void RunAndJudgeDensedesc(const BuiltCall& call) {
  const Expectation e = ModelDensedesc(call.inputs, call.nlhs);
  const CallResult r = RunCall(densecorr_densedesc_mex, call);
  if (!JudgeOutcome("densedesc", e, r, call.nlhs)) return;
  CheckDescriptorValues(r);
}

void RunAndJudgeDensematch(const BuiltCall& call) {
  const MatchModel m = ModelDensematch(call.inputs, call.nlhs);
  const CallResult r = RunCall(densecorr_densematch_mex, call);
  // Non-finite pixels are refused where the refinement reads the images.
  if (m.may_refuse_nonfinite && r.end == CallResult::End::kHostError &&
      r.error_id == "densecorr:densematch:badInput" &&
      r.error_text == "image values must be finite") {
    if (r.n_slots_set != 0 || r.n_stray_arrays != 0 || !r.inputs_unchanged)
      Fail("densematch", "a refusal left outputs, arrays or changed inputs", r);
    return;
  }
  if (!JudgeOutcome("densematch", m.expect, r, call.nlhs)) return;
  CheckMatchValues(r, call.inputs[1]);
}

}  // namespace fuzzcall

