// densecorr_match_pair: matches two images with MatchImages for the accuracy
// command (eval/run) and for anyone who wants a field without a host.
//
//   densecorr_match_pair IMAGE1 IMAGE2 FLOW.flo VALID.pgm [options]
//
// Images: binary PGM (grey) or PPM (RGB), any maxval. Writes the field as a
// Middlebury .flo file (pixel (x, y) of image 1 maps to (x + u, y + v) of
// image 2), the valid mask as a PGM (255 = valid), and prints the time of
// the MatchImages call alone as "seconds <s>".
//
// --repeat N makes the call N times in this process and prints the fastest
// as "seconds", the first as "first_seconds" and the median of the others
// as "warm_median_seconds": a host or a Python process
// calls the matcher again and again, and a first call also pays for what
// the process sets up once (fresh memory pages, thread start). Every call
// must give the same field; a difference fails the run.
//
// Options: --search-radius RX RY, and the descriptor's --desc-sigma S,
// --desc-orientations N, --desc-cell C, --desc-grid G, --desc-floor F,
// --desc-root 0|1, and --set NAME=VALUE for any numeric matcher option
// (the names of MatchOptions), for trying settings from eval/run --ours-args.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/image_view.h"
#include "densematch/match_images.h"

namespace {

struct PnmImage {
  int width = 0, height = 0, channels = 0;
  std::vector<std::uint8_t> bytes;  // maxval 255: the file's samples
  std::vector<float> values;        // other maxvals: samples / maxval
  densecorr::ImageView View() const {
    densecorr::ImageView v;
    v.width = width;
    v.height = height;
    v.channels = channels;
    // Interleaved rows as stored: channel fastest, then x, then y.
    v.stride_c = 1;
    v.stride_x = channels;
    v.stride_y = static_cast<std::ptrdiff_t>(width) * channels;
    if (!values.empty()) {
      v.type = densecorr::PixelType::kFloat32;
      v.data = values.data();
    } else {
      v.type = densecorr::PixelType::kUint8;
      v.data = bytes.data();
    }
    return v;
  }
};

[[noreturn]] void Fail(const std::string& message) {
  throw std::runtime_error(message);
}

// Next header number, skipping whitespace and # comments.
long ReadHeaderNumber(std::istream& in, const std::string& path) {
  int ch = in.get();
  while (ch != EOF && (std::isspace(ch) || ch == '#')) {
    if (ch == '#') {
      while (ch != EOF && ch != '\n') ch = in.get();
    }
    ch = in.get();
  }
  long value = 0;
  int digits = 0;
  while (ch != EOF && std::isdigit(ch)) {
    if (value > 100000000) Fail(path + ": header number too large");
    value = value * 10 + (ch - '0');
    ++digits;
    ch = in.get();
  }
  // Exactly one whitespace byte ends the last header field; it was consumed.
  if (digits == 0 || ch == EOF || !std::isspace(ch)) Fail(path + ": malformed header");
  return value;
}

PnmImage ReadPnm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open " + path);
  char magic[2] = {0, 0};
  in.read(magic, 2);
  PnmImage im;
  if (magic[0] == 'P' && magic[1] == '5') {
    im.channels = 1;
  } else if (magic[0] == 'P' && magic[1] == '6') {
    im.channels = 3;
  } else {
    Fail(path + ": not a binary PGM or PPM");
  }
  const long width = ReadHeaderNumber(in, path);
  const long height = ReadHeaderNumber(in, path);
  const long maxval = ReadHeaderNumber(in, path);
  if (width < 1 || height < 1 || width > 65535 || height > 65535)
    Fail(path + ": size out of range");
  if (maxval < 1 || maxval > 65535) Fail(path + ": maxval out of range");
  im.width = static_cast<int>(width);
  im.height = static_cast<int>(height);
  const std::size_t n = static_cast<std::size_t>(width) * height * im.channels;
  const std::size_t sample_bytes = maxval > 255 ? 2 : 1;
  std::vector<std::uint8_t> raw(n * sample_bytes);
  in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  if (static_cast<std::size_t>(in.gcount()) != raw.size()) Fail(path + ": truncated");
  if (maxval == 255) {
    im.bytes = std::move(raw);
  } else {
    im.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      // Two-byte samples are big-endian.
      const unsigned v = sample_bytes == 2 ? (raw[2 * i] << 8) | raw[2 * i + 1] : raw[i];
      im.values[i] = static_cast<float>(v) / static_cast<float>(maxval);
    }
  }
  return im;
}

void WriteFlo(const std::string& path, const densecorr::MatchResult& r) {
  std::ofstream out(path, std::ios::binary);
  const float tag = 202021.25f;
  const std::int32_t size[2] = {r.width, r.height};
  out.write(reinterpret_cast<const char*>(&tag), 4);
  out.write(reinterpret_cast<const char*>(size), 8);
  std::vector<float> row(2 * static_cast<std::size_t>(r.width));
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      const std::size_t p = static_cast<std::size_t>(x) * r.height + y;  // column-major
      row[2 * x] = r.dx[p];
      row[2 * x + 1] = r.dy[p];
    }
    out.write(reinterpret_cast<const char*>(row.data()),
              static_cast<std::streamsize>(row.size() * sizeof(float)));
  }
  if (!out) Fail("cannot write " + path);
}

void WriteMask(const std::string& path, const densecorr::MatchResult& r) {
  std::ofstream out(path, std::ios::binary);
  out << "P5\n" << r.width << " " << r.height << "\n255\n";
  std::vector<char> row(r.width);
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x)
      row[x] = r.valid[static_cast<std::size_t>(x) * r.height + y] ? '\xff' : '\0';
    out.write(row.data(), r.width);
  }
  if (!out) Fail("cannot write " + path);
}

int IntArg(const char* text) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < -1000000 || v > 1000000)
    Fail(std::string("not an integer: ") + text);
  return static_cast<int>(v);
}

float FloatArg(const char* text) {
  char* end = nullptr;
  const float v = std::strtof(text, &end);
  if (end == text || *end != '\0') Fail(std::string("not a number: ") + text);
  return v;
}

// --set NAME=VALUE: one of the matcher's numeric options by its name (the
// names of MatchOptions and of the host module's options).
void SetMatcherOption(const std::string& setting, densecorr::MatchOptions* o) {
  const std::size_t eq = setting.find('=');
  if (eq == std::string::npos) Fail("--set needs NAME=VALUE, got " + setting);
  const std::string name = setting.substr(0, eq);
  const char* value = setting.c_str() + eq + 1;
  struct Real { const char* name; float densecorr::MatchOptions::*field; };
  struct Int { const char* name; int densecorr::MatchOptions::*field; };
  static const Real reals[] = {
      {"cell_truncate", &densecorr::MatchOptions::cell_truncate},
      {"neighbour_weight", &densecorr::MatchOptions::neighbour_weight},
      {"neighbour_truncate", &densecorr::MatchOptions::neighbour_truncate},
      {"parent_weight", &densecorr::MatchOptions::parent_weight},
      {"parent_truncate", &densecorr::MatchOptions::parent_truncate},
      {"deform_coeff", &densecorr::MatchOptions::deform_coeff},
      {"flow_smoothness", &densecorr::MatchOptions::flow_smoothness},
      {"flow_brightness", &densecorr::MatchOptions::flow_brightness},
      {"flow_gradient", &densecorr::MatchOptions::flow_gradient},
      {"flow_sigma", &densecorr::MatchOptions::flow_sigma},
      {"flow_edge", &densecorr::MatchOptions::flow_edge},
      {"flow_scale_factor", &densecorr::MatchOptions::flow_scale_factor},
      {"flow_anchor", &densecorr::MatchOptions::flow_anchor},
      {"consistency_threshold", &densecorr::MatchOptions::consistency_threshold}};
  static const Int ints[] = {
      {"grid_size", &densecorr::MatchOptions::grid_size},
      {"n_tree_level", &densecorr::MatchOptions::n_tree_level},
      {"bp_iterations", &densecorr::MatchOptions::bp_iterations},
      {"refine_radius", &densecorr::MatchOptions::refine_radius},
      {"refine_step", &densecorr::MatchOptions::refine_step},
      {"flow_warps", &densecorr::MatchOptions::flow_warps},
      {"flow_coarse_warps", &densecorr::MatchOptions::flow_coarse_warps},
      {"flow_fixed_point", &densecorr::MatchOptions::flow_fixed_point},
      {"flow_sor", &densecorr::MatchOptions::flow_sor},
      {"flow_scales", &densecorr::MatchOptions::flow_scales}};
  for (const Real& r : reals)
    if (name == r.name) {
      o->*r.field = FloatArg(value);
      return;
    }
  for (const Int& k : ints)
    if (name == k.name) {
      o->*k.field = IntArg(value);
      return;
    }
  if (name == "global_motion") {
    o->global_motion = IntArg(value) != 0;
    return;
  }
  if (name == "rectified") {
    o->rectified = IntArg(value) != 0;
    return;
  }
  if (name == "median_radius") {
    o->median_radius = IntArg(value);
    return;
  }
  if (name == "snap_radius") {
    o->snap_radius = IntArg(value);
    return;
  }
  if (name == "fill_frame") {
    o->fill_frame = IntArg(value) != 0;
    return;
  }
  Fail("unknown matcher option " + name);
}

int Run(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s IMAGE1 IMAGE2 FLOW.flo VALID.pgm [--search-radius RX RY]\n"
                 "       [--desc-sigma S] [--desc-orientations N] [--desc-cell C]\n"
                 "       [--desc-grid G] [--desc-floor F] [--desc-root 0|1]\n"
                 "       [--set NAME=VALUE]... (any numeric matcher option)\n"
                 "       [--repeat N] (N calls; prints the fastest and the first)\n",
                 argv[0]);
    return 2;
  }
  densecorr::MatchOptions options;
  int repeat = 1;
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](int k) -> const char* {
      if (i + k >= argc) Fail(arg + " needs a value");
      return argv[i + k];
    };
    if (arg == "--search-radius") {
      options.search_radius_x = IntArg(value(1));
      options.search_radius_y = IntArg(value(2));
      i += 2;
      continue;
    }
    if (arg == "--desc-sigma") {
      options.descriptor.smoothing_sigma = FloatArg(value(1));
    } else if (arg == "--desc-orientations") {
      options.descriptor.n_orientations = IntArg(value(1));
    } else if (arg == "--desc-cell") {
      options.descriptor.cell_size = IntArg(value(1));
    } else if (arg == "--desc-grid") {
      options.descriptor.grid_cells = IntArg(value(1));
    } else if (arg == "--desc-floor") {
      options.descriptor.norm_floor = FloatArg(value(1));
    } else if (arg == "--desc-root") {
      options.descriptor.root_normalise = IntArg(value(1)) != 0;
    } else if (arg == "--repeat") {
      repeat = IntArg(value(1));
      if (repeat < 1) Fail("--repeat needs at least 1");
    } else if (arg == "--set") {
      SetMatcherOption(value(1), &options);
    } else {
      Fail("unknown option " + arg);
    }
    ++i;
  }
  const PnmImage image1 = ReadPnm(argv[1]);
  const PnmImage image2 = ReadPnm(argv[2]);
  densecorr::MatchResult result;
  double first_seconds = 0, seconds = 0;
  std::vector<double> warm;
  for (int call = 0; call < repeat; ++call) {
    const auto start = std::chrono::steady_clock::now();
    densecorr::MatchResult r = densecorr::MatchImages(image1.View(), image2.View(), options);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (call == 0) {
      first_seconds = seconds = s;
      result = std::move(r);
      continue;
    }
    if (s < seconds) seconds = s;
    warm.push_back(s);
    // Bitwise: a NaN must repeat as the same NaN.
    const auto same = [](const std::vector<float>& a, const std::vector<float>& b) {
      return a.size() == b.size() &&
             (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
    };
    if (!same(r.dx, result.dx) || !same(r.dy, result.dy) || !same(r.cost, result.cost) ||
        r.valid != result.valid)
      Fail("call " + std::to_string(call + 1) + " gave another field than the first");
  }
  const std::size_t n = static_cast<std::size_t>(result.width) * result.height;
  if (result.width != image1.width || result.height != image1.height || result.dx.size() != n ||
      result.dy.size() != n || result.valid.size() != n)
    Fail("the matcher returned fields of the wrong size");
  WriteFlo(argv[3], result);
  WriteMask(argv[4], result);
  std::printf("seconds %.6f\n", seconds);
  if (repeat > 1) {
    std::sort(warm.begin(), warm.end());
    const std::size_t m = warm.size();
    const double median = m % 2 ? warm[m / 2] : 0.5 * (warm[m / 2 - 1] + warm[m / 2]);
    std::printf("first_seconds %.6f\nwarm_median_seconds %.6f\ncalls %d\n", first_seconds,
                median, repeat);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "densecorr_match_pair: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "densecorr_match_pair: %s\n", e.what());
  }
  return 1;
}
