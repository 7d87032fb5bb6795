// The extension module densecorr._core: the C++ cores behind numpy arrays.
//
// This layer refuses everything the cores cannot take (wrong dtype, wrong
// memory layout, sizes beyond 32 bits, parameters outside the cores'
// preconditions), so that no call from Python can read or write out of
// bounds. The Python layer (densecorr/_api.py) turns numpy-friendly input
// into the exact forms checked here: float32 descriptors in column-major
// (Fortran) order, native-order images, plain ints and floats.
//
// Output layouts are chosen so that the cores write straight into the numpy
// arrays that are returned: a descriptor image (y fastest, then x, then
// channel) is a Fortran-ordered H x W x C array, a displacement list of
// (dx, dy) pairs is a C-ordered N x 2 array, and a field of 2 x (H*W)
// pairs indexed by p = x*H + y is an H x W x 2 view with strides (8, 8H, 4).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "cellcost/pyramid_match.h"
#include "common/descriptor.h"
#include "common/image_view.h"
#include "common/scratch.h"
#include "common/stop.h"
#include "densedisp/pixel_match.h"
#ifdef DENSECORR_PY_MATCHER
#include "densedesc/dense_descriptor.h"
#include "densematch/match_images.h"
#endif

namespace py = pybind11;

namespace {

// Pyramids deeper than this have more than 2^31 cells.
constexpr int kMaxTreeLevel = 15;

// Equivalent dtypes count (numpy may hold several descriptors of float32).
template <class T>
bool IsType(const py::array& a) {
  return py::isinstance<py::array_t<T>>(a);
}

bool HasFlag(const py::array& a, int flag) {
  return (py::detail::array_proxy(a.ptr())->flags & flag) != 0;
}
constexpr int kFortranOrder = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_;
constexpr int kAligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

bool FitsInt32(std::int64_t value) { return value >= INT_MIN && value <= INT_MAX; }

[[noreturn]] void ThrowValue(const std::string& message) { throw py::value_error(message); }
[[noreturn]] void ThrowType(const std::string& message) { throw py::type_error(message); }

std::string ShapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(a.shape(i));
  }
  return text + (a.ndim() == 1 ? ",)" : ")");
}

// Runs one core call with the GIL released; the arrays it touches are kept
// alive by the caller's frame. `call` receives a stop token whose poll
// re-takes the GIL and runs Python's signal handlers: Ctrl-C (or any handler
// that raises) ends the call within a few milliseconds of work, and the
// pending exception, KeyboardInterrupt for Ctrl-C, is raised here.
template <class F>
void RunCore(F&& call) {
  densecorr::StopToken stop(
      [](void*) {
        py::gil_scoped_acquire acquire;
        return PyErr_CheckSignals() != 0;
      },
      nullptr);
  try {
    py::gil_scoped_release release;
    std::forward<F>(call)(&stop);
  } catch (const densecorr::Stopped&) {
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    throw;
  }
}

// Outputs can be far larger than the inputs (a cost volume per translation);
// ask the cores' memory guard first, so that a request the system cannot
// back fails as MemoryError instead of waking the out-of-memory killer.
void GuardOutputBytes(std::uint64_t bytes) { densecorr::GuardScratchRequest(bytes); }

// A descriptor image: float32, exactly H x W x C, Fortran-contiguous (the
// cores' layout), every count within 32 bits.
Descriptor DescriptorOf(const py::array& a, const char* name) {
  if (!IsType<float>(a)) {
    ThrowType(std::string(name) + " must be a float32 array, got dtype " +
              std::string(py::str(a.dtype())));
  }
  if (a.ndim() != 3) {
    ThrowValue(std::string(name) + " must have 3 dimensions (H x W x C), got shape " +
               ShapeText(a));
  }
  if (!HasFlag(a, kFortranOrder) || !HasFlag(a, kAligned)) {
    ThrowValue(std::string(name) + " must be Fortran-contiguous and aligned here");
  }
  const std::int64_t h = a.shape(0), w = a.shape(1), c = a.shape(2);
  if (!FitsInt32(h) || !FitsInt32(w) || !FitsInt32(c) || !FitsInt32(h * w) ||
      !FitsInt32(h * w * c)) {
    ThrowValue(std::string(name) + " is too large: its element count " + ShapeText(a) +
               " must fit a 32-bit integer");
  }
  return Descriptor{static_cast<const float*>(a.data()), static_cast<int>(w),
                    static_cast<int>(h), static_cast<int>(c)};
}

void CheckSameChannels(Descriptor d1, Descriptor d2) {
  if (d1.feat_dim != d2.feat_dim) {
    ThrowValue("desc1 and desc2 must have the same number of channels, got " +
               std::to_string(d1.feat_dim) + " and " + std::to_string(d2.feat_dim));
  }
}

int Int32Param(std::int64_t value, const char* name) {
  if (!FitsInt32(value)) {
    ThrowValue(std::string(name) + " must fit a 32-bit integer, got " + std::to_string(value));
  }
  return static_cast<int>(value);
}

// Nearest single-precision value, ties to even, overflowing to +-Inf as IEEE
// rounding does (a plain cast of a double beyond the float range is
// undefined in C++). NaN is refused: it would turn every cost into NaN.
float FloatParam(double value, const char* name) {
  if (std::isnan(value)) ThrowValue(std::string(name) + " must not be NaN");
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    const double halfway = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    const float magnitude = std::fabs(value) >= halfway ? INFINITY : FLT_MAX;
    return value < 0 ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

void CheckRadius(int rx, int ry) {
  if (rx < 0 || ry < 0) {
    ThrowValue("search_radius must not be negative, got (" + std::to_string(rx) + ", " +
               std::to_string(ry) + ")");
  }
}

py::tuple CellCost(const py::array& image1, const py::array& image2, std::int64_t n_tree_level,
                   std::int64_t radius_x, std::int64_t radius_y, std::int64_t grid_size,
                   double truncate_const) {
  const Descriptor desc1 = DescriptorOf(image1, "desc1");
  const Descriptor desc2 = DescriptorOf(image2, "desc2");
  CheckSameChannels(desc1, desc2);

  PyramidMatchParams params;
  params.n_tree_level = Int32Param(n_tree_level, "n_tree_level");
  params.search_radius[0] = Int32Param(radius_x, "search_radius[0]");
  params.search_radius[1] = Int32Param(radius_y, "search_radius[1]");
  params.grid_size = Int32Param(grid_size, "grid_size");
  params.truncate_const = FloatParam(truncate_const, "truncate_const");
  if (params.grid_size < 1) {
    ThrowValue("grid_size must be at least 1, got " + std::to_string(params.grid_size));
  }
  CheckRadius(params.search_radius[0], params.search_radius[1]);

  // The same sizing rules as the host gateway.
  PyramidMatch matcher;
  int n_sample_x = 0, n_sample_y = 0, range_x[2], range_y[2];
  matcher.ComputeSearchGrid(desc1.width, desc1.height, params.grid_size, params.search_radius[0],
                            params.search_radius[1], n_sample_x, n_sample_y, range_x, range_y);
  const int n_level = params.n_tree_level;
  const int smaller_side = n_sample_x < n_sample_y ? n_sample_x : n_sample_y;
  if (n_level > kMaxTreeLevel || (n_level >= 1 && (1 << (n_level - 1)) > smaller_side)) {
    ThrowValue("n_tree_level " + std::to_string(n_level) +
               " is too large for the sample grid of desc1 (" + std::to_string(n_sample_y) +
               " x " + std::to_string(n_sample_x) + " samples): 2^(n_tree_level-1) must not " +
               "exceed its smaller side");
  }
  const std::int64_t n_cell = n_level >= 1 ? ((std::int64_t{1} << (2 * n_level)) - 1) / 3 : 0;
  const std::int64_t n_shift_x = (std::int64_t{range_x[1]} - range_x[0]) / params.grid_size + 1;
  const std::int64_t n_shift_y = (std::int64_t{range_y[1]} - range_y[0]) / params.grid_size + 1;
  const std::int64_t n_sample = std::int64_t{n_sample_x} * n_sample_y;
  if (!FitsInt32(n_shift_x) || !FitsInt32(n_shift_y) || !FitsInt32(2 * n_shift_x * n_shift_y) ||
      !FitsInt32(n_shift_x * n_shift_y * n_sample) || !FitsInt32(n_shift_x * n_shift_y * n_cell)) {
    ThrowValue("search too large: translation and cell counts must fit a 32-bit integer");
  }
  const py::ssize_t n_shift = n_shift_x * n_shift_y;

  GuardOutputBytes(sizeof(float) * static_cast<std::uint64_t>(n_shift) * n_cell +
                   2 * sizeof(int) * static_cast<std::uint64_t>(n_shift));
  // node_cost[k, c] (translation k, cell c) lies at c*n_shift + k: Fortran order.
  py::array_t<float, py::array::f_style> node_cost({n_shift, static_cast<py::ssize_t>(n_cell)});
  py::array_t<std::int32_t, py::array::c_style> shifts({n_shift, py::ssize_t{2}});
  py::array_t<std::int32_t> grid(2);
  grid.mutable_at(0) = static_cast<std::int32_t>(n_shift_x);
  grid.mutable_at(1) = static_cast<std::int32_t>(n_shift_y);
  float* node_cost_data = node_cost.mutable_data();
  int* shifts_data = reinterpret_cast<int*>(shifts.mutable_data());
  RunCore([&](densecorr::StopToken* stop) {
    matcher.SetStopToken(stop);
    matcher.RunPyramidMatch(desc1, desc2, params, node_cost_data, shifts_data);
  });
  return py::make_tuple(node_cost, shifts, grid);
}

py::tuple DenseDisp(const py::array& image1, const py::array& image2,
                    const py::array& disparity0, std::int64_t search_grid_size,
                    std::int64_t radius_x, std::int64_t radius_y, double deform_coeff,
                    double truncate_const) {
  const Descriptor desc1 = DescriptorOf(image1, "desc1");
  const Descriptor desc2 = DescriptorOf(image2, "desc2");
  CheckSameChannels(desc1, desc2);
  if (!IsType<std::int32_t>(disparity0)) {
    ThrowType("disparity0 must be an int32 array, got dtype " +
              std::string(py::str(disparity0.dtype())));
  }
  const int height = desc1.height, width = desc1.width;
  if (disparity0.ndim() != 3 || disparity0.shape(0) != height || disparity0.shape(1) != width ||
      disparity0.shape(2) != 2) {
    ThrowValue("disparity0 must have shape (" + std::to_string(height) + ", " +
               std::to_string(width) + ", 2) (H x W of desc1, then dx, dy), got " +
               ShapeText(disparity0));
  }

  PixelMatchParams params = {};  // label_mismatch_cost: unused by the basic run
  params.search_grid_size = Int32Param(search_grid_size, "search_grid_size");
  params.search_radius[0] = Int32Param(radius_x, "search_radius[0]");
  params.search_radius[1] = Int32Param(radius_y, "search_radius[1]");
  params.deform_coeff = FloatParam(deform_coeff, "deform_coeff");
  params.truncate_const = FloatParam(truncate_const, "truncate_const");
  if (params.search_grid_size < 1) {
    ThrowValue("search_grid_size must be at least 1, got " +
               std::to_string(params.search_grid_size));
  }
  CheckRadius(params.search_radius[0], params.search_radius[1]);
  const std::int64_t n_pixel = std::int64_t{width} * height;  // fits: checked with desc1
  const std::int64_t n_offset_x = 2 * std::int64_t{params.search_radius[0]} /
                                      params.search_grid_size + 1;
  const std::int64_t n_offset_y = 2 * std::int64_t{params.search_radius[1]} /
                                      params.search_grid_size + 1;
  if (!FitsInt32(n_offset_x) || !FitsInt32(n_offset_y) ||
      !FitsInt32(2 * n_offset_x * n_offset_y) || !FitsInt32(n_offset_x * n_offset_y * n_pixel)) {
    ThrowValue("search too large: offset and volume counts must fit a 32-bit integer");
  }

  GuardOutputBytes(3 * sizeof(float) * static_cast<std::uint64_t>(n_pixel));
  // The core's field: (dx, dy) of pixel p = x*H + y at 2p, 2p + 1, i.e. a
  // C-ordered W x H x 2 block, returned as its H x W x 2 transpose.
  py::array_t<std::int32_t, py::array::c_style> field(
      {static_cast<py::ssize_t>(width), static_cast<py::ssize_t>(height), py::ssize_t{2}});
  py::array_t<float, py::array::f_style> best_cost(
      {static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
  // The refinement works on this copy; disparity0 is read through its own
  // strides, whatever its memory order.
  {
    auto in = disparity0.unchecked<std::int32_t, 3>();
    auto out = field.mutable_unchecked<3>();
    for (py::ssize_t x = 0; x < width; ++x) {
      for (py::ssize_t y = 0; y < height; ++y) {
        out(x, y, 0) = in(y, x, 0);
        out(x, y, 1) = in(y, x, 1);
      }
    }
  }
  int* field_data = reinterpret_cast<int*>(field.mutable_data());
  float* cost_data = best_cost.mutable_data();
  PixelMatch matcher;
  RunCore([&](densecorr::StopToken* stop) {
    matcher.SetStopToken(stop);
    matcher.RunPixelMatch(desc1, desc2, field_data, cost_data, params);
  });
  py::object disparity = field.attr("transpose")(1, 0, 2);
  return py::make_tuple(disparity, best_cost);
}

#ifdef DENSECORR_PY_MATCHER

// An image read in place through its strides: H x W (grey) or H x W x C with
// C = 1 or 3, uint8, uint16, float32 or float64 in native byte order, strides
// whole multiples of the element size.
densecorr::ImageView ImageOf(const py::array& a, const char* name) {
  densecorr::ImageView v;
  if (IsType<std::uint8_t>(a)) {
    v.type = densecorr::PixelType::kUint8;
  } else if (IsType<std::uint16_t>(a)) {
    v.type = densecorr::PixelType::kUint16;
  } else if (IsType<float>(a)) {
    v.type = densecorr::PixelType::kFloat32;
  } else if (IsType<double>(a)) {
    v.type = densecorr::PixelType::kFloat64;
  } else {
    ThrowType(std::string(name) + " must be uint8, uint16, float32 or float64, got dtype " +
              std::string(py::str(a.dtype())));
  }
  if (a.ndim() != 2 && a.ndim() != 3) {
    ThrowValue(std::string(name) + " must be H x W or H x W x C, got shape " + ShapeText(a));
  }
  const std::int64_t h = a.shape(0), w = a.shape(1), c = a.ndim() == 3 ? a.shape(2) : 1;
  if (c != 1 && c != 3) {
    ThrowValue(std::string(name) + " must have 1 or 3 channels, got shape " + ShapeText(a));
  }
  if (!FitsInt32(h) || !FitsInt32(w) || !FitsInt32(h * w) || !FitsInt32(h * w * c)) {
    ThrowValue(std::string(name) + " is too large: its element count " + ShapeText(a) +
               " must fit a 32-bit integer");
  }
  const py::ssize_t item = a.itemsize();
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (a.strides(i) % item != 0) {
      ThrowValue(std::string(name) + " must have strides that are multiples of its item size");
    }
  }
  if (!HasFlag(a, kAligned)) ThrowValue(std::string(name) + " must be aligned");
  v.data = a.data();
  v.height = static_cast<int>(h);
  v.width = static_cast<int>(w);
  v.channels = static_cast<int>(c);
  v.stride_y = a.strides(0) / item;
  v.stride_x = a.strides(1) / item;
  v.stride_c = a.ndim() == 3 ? a.strides(2) / item : 0;
  return v;
}

// The options of the descriptor and the matcher, by name: one table each,
// so that the Python keywords, the defaults and the conversions cannot drift
// apart.
template <class Options>
struct OptionField {
  const char* name;
  float Options::*real;  // exactly one of the three is set
  int Options::*integer;
  bool Options::*flag = nullptr;
};

using DescribeField = OptionField<densecorr::DescribeOptions>;
using MatchField = OptionField<densecorr::MatchOptions>;
using densecorr::DescribeOptions;
using densecorr::MatchOptions;

const DescribeField kDescribeFields[] = {
    {"smoothing_sigma", &DescribeOptions::smoothing_sigma, nullptr},
    {"n_orientations", nullptr, &DescribeOptions::n_orientations},
    {"cell_size", nullptr, &DescribeOptions::cell_size},
    {"grid_cells", nullptr, &DescribeOptions::grid_cells},
    {"norm_floor", &DescribeOptions::norm_floor, nullptr},
    {"root_normalise", nullptr, nullptr, &DescribeOptions::root_normalise},
};

// search_radius_x/y are set through match()'s search_radius.
const MatchField kMatchFields[] = {
    {"grid_size", nullptr, &MatchOptions::grid_size},
    {"n_tree_level", nullptr, &MatchOptions::n_tree_level},
    {"cell_truncate", &MatchOptions::cell_truncate, nullptr},
    {"neighbour_weight", &MatchOptions::neighbour_weight, nullptr},
    {"neighbour_truncate", &MatchOptions::neighbour_truncate, nullptr},
    {"parent_weight", &MatchOptions::parent_weight, nullptr},
    {"parent_truncate", &MatchOptions::parent_truncate, nullptr},
    {"bp_iterations", nullptr, &MatchOptions::bp_iterations},
    {"refine_radius", nullptr, &MatchOptions::refine_radius},
    {"refine_step", nullptr, &MatchOptions::refine_step},
    {"deform_coeff", &MatchOptions::deform_coeff, nullptr},
    {"flow_warps", nullptr, &MatchOptions::flow_warps},
    {"flow_coarse_warps", nullptr, &MatchOptions::flow_coarse_warps},
    {"flow_fixed_point", nullptr, &MatchOptions::flow_fixed_point},
    {"flow_sor", nullptr, &MatchOptions::flow_sor},
    {"flow_smoothness", &MatchOptions::flow_smoothness, nullptr},
    {"flow_brightness", &MatchOptions::flow_brightness, nullptr},
    {"flow_gradient", &MatchOptions::flow_gradient, nullptr},
    {"flow_sigma", &MatchOptions::flow_sigma, nullptr},
    {"flow_edge", &MatchOptions::flow_edge, nullptr},
    {"flow_scales", nullptr, &MatchOptions::flow_scales},
    {"flow_scale_factor", &MatchOptions::flow_scale_factor, nullptr},
    {"flow_anchor", &MatchOptions::flow_anchor, nullptr},
    {"consistency_threshold", &MatchOptions::consistency_threshold, nullptr},
    {"global_motion", nullptr, nullptr, &MatchOptions::global_motion},
    {"fill_frame", nullptr, nullptr, &MatchOptions::fill_frame},
    {"rectified", nullptr, nullptr, &MatchOptions::rectified},
    {"median_radius", nullptr, &MatchOptions::median_radius},
    {"snap_radius", nullptr, &MatchOptions::snap_radius},
};

// An int option: a Python integer (or numpy integer), not a bool.
int IntOption(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    ThrowType(std::string(name) + " must be an integer, got " +
              std::string(py::str(value.get_type().attr("__name__"))));
  }
  py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || !FitsInt32(v)) ThrowValue(std::string(name) + " must fit a 32-bit integer");
  return static_cast<int>(v);
}

// A real option: any real number (int, float, numpy scalar), not a bool.
float RealOption(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr()) ||
      !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
        PyObject_HasAttrString(value.ptr(), "__float__"))) {
    ThrowType(std::string(name) + " must be a real number, got " +
              std::string(py::str(value.get_type().attr("__name__"))));
  }
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return FloatParam(v, name);
}

// A flag: True/False (Python or numpy), or the integers 0 and 1.
bool FlagOption(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) || py::isinstance(value, py::module_::import("numpy").attr("bool_"))) {
    return PyObject_IsTrue(value.ptr()) == 1;
  }
  if (PyIndex_Check(value.ptr())) {
    const int v = IntOption(value, name);
    if (v == 0 || v == 1) return v == 1;
    ThrowValue(std::string(name) + " must be True, False, 0 or 1, got " + std::to_string(v));
  }
  ThrowType(std::string(name) + " must be True or False, got " +
            std::string(py::str(value.get_type().attr("__name__"))));
}

template <class Options, std::size_t N>
bool SetOption(Options& o, const OptionField<Options> (&table)[N], const std::string& key,
               py::handle value) {
  for (const auto& field : table) {
    if (key != field.name) continue;
    if (field.real != nullptr) {
      o.*field.real = RealOption(value, field.name);
    } else if (field.integer != nullptr) {
      o.*field.integer = IntOption(value, field.name);
    } else {
      o.*field.flag = FlagOption(value, field.name);
    }
    return true;
  }
  return false;
}

template <class Options, std::size_t N>
void AddDefaults(py::dict& d, const Options& o, const OptionField<Options> (&table)[N]) {
  for (const auto& field : table) {
    if (field.real != nullptr) {
      d[field.name] = o.*field.real;
    } else if (field.integer != nullptr) {
      d[field.name] = o.*field.integer;
    } else {
      d[field.name] = o.*field.flag;
    }
  }
}

std::string OptionNames(bool with_matcher) {
  std::string names;
  for (const auto& f : kDescribeFields) names += std::string(names.empty() ? "" : ", ") + f.name;
  if (with_matcher) {
    for (const auto& f : kMatchFields) names += std::string(", ") + f.name;
  }
  return names;
}

DescribeOptions DescribeOptionsOf(const py::dict& given) {
  DescribeOptions o;
  for (auto item : given) {
    const std::string key = py::str(item.first);
    if (!SetOption(o, kDescribeFields, key, item.second)) {
      ThrowType("unknown descriptor option '" + key + "'; the options are " + OptionNames(false));
    }
  }
  return o;
}

MatchOptions MatchOptionsOf(const py::dict& given) {
  MatchOptions o;
  for (auto item : given) {
    const std::string key = py::str(item.first);
    if (!SetOption(o.descriptor, kDescribeFields, key, item.second) &&
        !SetOption(o, kMatchFields, key, item.second)) {
      ThrowType("unknown match option '" + key + "'; the options are " + OptionNames(true));
    }
  }
  return o;
}

py::dict DescribeDefaults() {
  py::dict d;
  AddDefaults(d, DescribeOptions{}, kDescribeFields);
  return d;
}

py::dict MatchDefaults() {
  const MatchOptions o;
  py::dict d;
  AddDefaults(d, o.descriptor, kDescribeFields);
  AddDefaults(d, o, kMatchFields);
  return d;
}

py::array Describe(const py::array& image, const py::dict& options) {
  const densecorr::ImageView view = ImageOf(image, "image");
  const DescribeOptions o = DescribeOptionsOf(options);
  // DescriptorChannels may refuse the options (std::invalid_argument ->
  // ValueError) before anything is allocated.
  const std::int64_t channels = densecorr::DescriptorChannels(o);
  const std::int64_t n_pixel = std::int64_t{view.width} * view.height;
  if (!FitsInt32(channels) || !FitsInt32(n_pixel * channels)) {
    ThrowValue("the descriptor of this image would be too large: its element count must fit "
               "a 32-bit integer");
  }
  GuardOutputBytes(sizeof(float) * static_cast<std::uint64_t>(n_pixel * channels));
  py::array_t<float, py::array::f_style> out({static_cast<py::ssize_t>(view.height),
                                              static_cast<py::ssize_t>(view.width),
                                              static_cast<py::ssize_t>(channels)});
  float* data = out.mutable_data();
  RunCore([&](densecorr::StopToken* stop) { densecorr::DescribeImage(view, o, data, stop); });
  return out;
}

py::tuple Match(const py::array& image1, const py::array& image2, std::int64_t radius_x,
                std::int64_t radius_y, const py::dict& options) {
  const densecorr::ImageView view1 = ImageOf(image1, "image1");
  const densecorr::ImageView view2 = ImageOf(image2, "image2");
  MatchOptions o = MatchOptionsOf(options);
  o.search_radius_x = Int32Param(radius_x, "search_radius[0]");
  o.search_radius_y = Int32Param(radius_y, "search_radius[1]");
  densecorr::MatchResult r;
  RunCore([&](densecorr::StopToken* stop) {
    o.stop = stop;
    r = densecorr::MatchImages(view1, view2, o);
  });

  const py::ssize_t h = r.height, w = r.width;
  const std::size_t n = static_cast<std::size_t>(h) * static_cast<std::size_t>(w);
  if (r.dx.size() != n || r.dy.size() != n || r.cost.size() != n || r.valid.size() != n) {
    throw std::runtime_error("the matcher returned fields of inconsistent sizes");
  }
  // The matcher's fields are column-major (p = x*H + y); the flow is
  // returned row-major with (dx, dy) interleaved, as OpenCV keeps flows.
  py::array_t<float, py::array::c_style> flow({h, w, py::ssize_t{2}});
  py::array_t<bool, py::array::c_style> valid({h, w});
  py::array_t<float, py::array::c_style> cost({h, w});
  auto f = flow.mutable_unchecked<3>();
  auto v = valid.mutable_unchecked<2>();
  auto c = cost.mutable_unchecked<2>();
  for (py::ssize_t x = 0; x < w; ++x) {
    for (py::ssize_t y = 0; y < h; ++y) {
      const std::size_t p = static_cast<std::size_t>(x) * h + y;
      f(y, x, 0) = r.dx[p];
      f(y, x, 1) = r.dy[p];
      v(y, x) = r.valid[p] != 0;
      c(y, x) = r.cost[p];
    }
  }
  return py::make_tuple(flow, valid, cost);
}

#endif  // DENSECORR_PY_MATCHER

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() =
      "The C++ cores of densecorr. Use the functions of the densecorr package: they accept\n"
      "any numpy layout and convert it to the exact forms this module checks.";
  m.def("cellcost", &CellCost, py::arg("desc1"), py::arg("desc2"), py::arg("n_tree_level"),
        py::arg("radius_x"), py::arg("radius_y"), py::arg("grid_size"),
        py::arg("truncate_const"),
        "cellcost on Fortran-ordered float32 descriptors; returns (node_cost, shifts, grid).");
  m.def("densedisp", &DenseDisp, py::arg("desc1"), py::arg("desc2"), py::arg("disparity0"),
        py::arg("search_grid_size"), py::arg("radius_x"), py::arg("radius_y"),
        py::arg("deform_coeff"), py::arg("truncate_const"),
        "densedisp on Fortran-ordered float32 descriptors and an int32 H x W x 2 field; "
        "returns (disparity, best_cost).");
  m.def("release_scratch_cache", [] { return densecorr::ReleaseScratchCache(); },
        "Gives the cached large scratch blocks back to the system; returns their bytes.");
#ifdef DENSECORR_PY_MATCHER
  m.attr("has_matcher") = true;
  m.def("describe_defaults", &DescribeDefaults, "The descriptor options' defaults.");
  m.def("match_defaults", &MatchDefaults, "The matcher options' defaults.");
  m.def("describe", &Describe, py::arg("image"), py::arg("options"),
        "The dense descriptor of an image read in place; a Fortran-ordered H x W x C array.");
  m.def("match", &Match, py::arg("image1"), py::arg("image2"), py::arg("radius_x"),
        py::arg("radius_y"), py::arg("options"),
        "The matcher; returns (flow, valid, cost).");
#else
  m.attr("has_matcher") = false;
#endif
}
