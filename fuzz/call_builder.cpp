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
    if (r.error_text != "out of memory" &&
        !(StartsWith(r.error_text, "out of memory: the call needs ") &&
          EndsWith(r.error_text, " MiB, this process may use 0 MiB"))) {
      Fail(module, "an out-of-memory error with an unexpected text", r);
    }
    // Only a call that needs a good part of the limits may run out.
    const double limit = std::min<double>(kOutputBudget, kScratchFigure);
    if (e.footprint < limit / 8) Fail(module, "a small call ran out of memory", r);
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
  return hostadapter::Call(entry, call.nlhs, call.inputs);
}

}  // namespace

void InstallLimits() {
  static densecorr::ScopedGuardFigure figure(kScratchFigure, 0);
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

}  // namespace fuzzcall
