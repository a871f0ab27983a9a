// The lossy rule: which irreversible quantization OpenJPH codes correctly for
// a kind of data, and what a quality level or a step means for it.
//
// OpenJPH quantizes each subband with a step derived from a base step (a
// fraction of the sample range) or from its quality factor, and codes the
// indices with one guard bit.  Measured on 0.32, two ends of that scale go
// wrong:
//
// - A subband step of half the range or more gets Kmax 1 or 0, and the block
//   encoder then aborts the process (an assertion on missing_msbs) as soon as
//   a coefficient reaches the step.  The quality factor's visual weights make
//   the finest chroma band's step about 36 times the base step, so low quality
//   factors reach this on busy content (random RGB at 10, 21, 22 or 64).
// - A subband step below 2^-29 needs Kmax 30 or more: at 31 the encoder
//   asserts (64-bit code-blocks on a 32-bit line), from 32 the exponent
//   wraps in the QCD segment (garbage, or "Error decoding a codeblock"), and
//   at 30 the block decoder may skip refinement passes.  The quality factor
//   at 100 asks for 0.7 LSB, which is there from 24 bits up.
//
// Between those ends the quantization works for every precision, so the
// rule keeps OpenJPH's quality factor where it is safe, moves the level to
// the nearest safe setting where the move costs nothing the level promises,
// and refuses otherwise, naming what works.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "lossy.h"
#include "module.h"

namespace ferroglyph::module {

namespace {

// Square roots of the 9/7 synthesis energy gains of the low- and high-pass
// bases, by decomposition level (the values OpenJPH divides its steps by).
constexpr double k_gain_l[34] = {
    1.0000e+00, 1.4021e+00, 2.0304e+00, 2.9012e+00, 4.1153e+00, 5.8245e+00, 8.2388e+00,
    1.1652e+01, 1.6479e+01, 2.3304e+01, 3.2957e+01, 4.6609e+01, 6.5915e+01, 9.3217e+01,
    1.3183e+02, 1.8643e+02, 2.6366e+02, 3.7287e+02, 5.2732e+02, 7.4574e+02, 1.0546e+03,
    1.4915e+03, 2.1093e+03, 2.9830e+03, 4.2185e+03, 5.9659e+03, 8.4371e+03, 1.1932e+04,
    1.6874e+04, 2.3864e+04, 3.3748e+04, 4.7727e+04, 6.7496e+04, 9.5454e+04};
constexpr double k_gain_h[34] = {
    1.4425e+00, 1.9669e+00, 2.8839e+00, 4.1475e+00, 5.8946e+00, 8.3472e+00, 1.1809e+01,
    1.6701e+01, 2.3620e+01, 3.3403e+01, 4.7240e+01, 6.6807e+01, 9.4479e+01, 1.3361e+02,
    1.8896e+02, 2.6723e+02, 3.7792e+02, 5.3446e+02, 7.5583e+02, 1.0689e+03, 1.5117e+03,
    2.1378e+03, 3.0233e+03, 4.2756e+03, 6.0467e+03, 8.5513e+03, 1.2093e+04, 1.7103e+04,
    2.4187e+04, 3.4205e+04, 4.8373e+04, 6.8410e+04, 9.6747e+04, 1.3682e+05};

// The quality factor's visual weights that matter here: those of the first
// level's HL and HH bands (the coarsest steps; deeper bands weigh more and
// have larger gains), for luma and for 4:4:4 chroma, with each component
// type's gain.  With three or more components OpenJPH treats components 1
// and 2 as Cb and Cr, whether or not the component transform is on.
struct band_weights {
  double hl1, hh1, gain;
};
constexpr band_weights k_luma = {0.2758, 0.0901, 1.0};
constexpr band_weights k_chroma[2] = {{0.0863, 0.0263, 1.8051 / 1.7321},
                                      {0.1835, 0.0773, 1.5734 / 1.7321}};
constexpr double k_largest_chroma_gain = 1.8051 / 1.7321;

// Subband steps must stay below half the range (with a margin for OpenJPH's
// single-precision arithmetic) and at or above 2^-29 (Kmax 29 at most).
constexpr double k_coarsest_step = 0.49;
const double k_finest_step = std::ldexp(1.03, -29);
// The irreversible path carries samples as single-precision fractions of
// the range, and its transform adds errors of about 2^-21 of the largest
// sample.  For integers that is below every level's promise; float32 bit
// patterns of data far from zero (1000 to 1001, say) are all large, so for
// them the step must not be finer than this fraction of the largest pattern.
const double k_pipeline_noise = std::ldexp(1.0, -20);
// A float32 bit pattern moved by 2^21 changes its value by at most a quarter
// of its octave; coarser steps would turn pattern errors into errors many
// times the data's range.
const double k_float_coarsest_step = std::ldexp(1.0, 21 - 32);
// Moving a level's step up to the finest safe one is allowed when the step
// at most doubles, or when the safe step is below this fraction of the
// range: finer than level 99's reference step (0.002), so the level still
// codes at least as finely as every lower one.
const double k_negligible_step = std::ldexp(1.0, -10);
// Quality levels below 8 bits and on float data mean what they mean for 8-
// and 16-bit data: OpenJPH's reference step adds 0.7 LSB of the precision,
// which is most of the range of 1- to 4-bit data.
constexpr int k_low_precision_reference_bits = 8;
constexpr int k_float_reference_bits = 16;
constexpr int k_default_decompositions = 5;
constexpr int k_fewest_lossy_bits = 2;

int clamp_levels(int d) { return d < 0 ? k_default_decompositions : std::min(d, 33); }

// OpenJPH's reference step for quality factor q (its visual_weights::get_delta_ref),
// and the exponent of the visual weights.
double quality_delta(int q, int bits, double* power) {
  constexpr float t0 = 65, t1 = 97, alpha_t0 = 0.04f, alpha_t1 = 0.10f;
  constexpr float m_t0 = 2.0f * (1.0f - t0 / 100.0f), m_t1 = 2.0f * (1.0f - t1 / 100.0f);
  const float m_q = q < 50 ? 50.0f / static_cast<float>(q) : 2.0f * (1.0f - q / 100.0f);
  float alpha, p;
  if (q <= t0) {
    p = 1.0f;
    alpha = alpha_t0;
  } else if (q < t1) {
    p = (std::log(m_q) - std::log(m_t1)) / (std::log(m_t0) - std::log(m_t1));
    alpha = alpha_t1 * std::pow(alpha_t0 / alpha_t1, p);
  } else {
    p = 0.0f;
    alpha = alpha_t1;
  }
  *power = p;
  return alpha * m_q + std::sqrt(0.5f) * std::ldexp(1.0f, -bits);
}

// The largest divisor any subband applies to the base step (the coarsest
// level's HH band, or LL), and the smallest (the first level's HL band, or LL
// with one level or none).
double finest_divisor(int d) {
  if (d == 0) return 1.0;
  return std::max(k_gain_l[d] * k_gain_l[d], k_gain_h[d - 1] * k_gain_h[d - 1]);
}
double coarsest_divisor(int d) {
  if (d == 0) return 1.0;
  return std::min(k_gain_l[d] * k_gain_l[d], k_gain_h[0] * k_gain_l[1]);
}

struct band_range {
  double coarsest, finest;
};

band_range quality_bands(int q, const data_facts& f) {
  double p = 1.0;
  const double delta = quality_delta(q, f.bits, &p);
  const int d = clamp_levels(f.decompositions);
  const double ll = k_gain_l[d] * k_gain_l[d];
  band_range r{0.0, 0.0};
  auto weigh = [&](const band_weights& w) {
    double c = delta / (ll * w.gain);
    if (d >= 1) {
      c = std::max(c, delta / (k_gain_h[0] * k_gain_l[1] * w.gain * std::pow(w.hl1, p)));
      c = std::max(c, delta / (k_gain_h[0] * k_gain_h[0] * w.gain * std::pow(w.hh1, p)));
    }
    r.coarsest = std::max(r.coarsest, c);
  };
  weigh(k_luma);
  if (f.components >= 3) {
    weigh(k_chroma[0]);
    weigh(k_chroma[1]);
  }
  // Weights are at most 1 at 4:4:4, so no band is finer than this.
  r.finest = delta / (finest_divisor(d) * (f.components >= 3 ? k_largest_chroma_gain : 1.0));
  return r;
}

// How a fraction of the data's range becomes a base step: 1 for integers;
// for float32, coded as bit patterns, the patterns per unit of value at the
// largest magnitude (where they are coarsest) over the 2^32 patterns.
struct scale_facts {
  double per_range = 1.0;
  const char* refusal = nullptr;
};

// The bit pattern of |v| (a float32) over 2^32.
double pattern_fraction(double v) {
  const float x = static_cast<float>(std::fabs(v));
  uint32_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  return bits / 4294967296.0;
}

scale_facts float_scale(const data_facts& f) {
  scale_facts s;
  if (!std::isfinite(f.lo) || !std::isfinite(f.hi)) {
    s.refusal = "holds NaN or infinity, which lossy coding would spread into their neighbours";
    return s;
  }
  const double top = std::max(std::fabs(f.lo), std::fabs(f.hi));
  int e = 0;
  std::frexp(top, &e);
  const double ulp = std::max(std::ldexp(1.0, e - 24), std::ldexp(1.0, -149));
  const double range = f.hi > f.lo ? f.hi - f.lo : (top > 0.0 ? top : 1.0);
  s.per_range = range / ulp / 4294967296.0;
  return s;
}

std::string fraction(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

std::string describe(const data_facts& f) {
  char buf[160];
  if (f.kind == 'f')
    std::snprintf(buf, sizeof buf, "float32 data from %.7g to %.7g", f.lo, f.hi);
  else
    std::snprintf(buf, sizeof buf, "%d-bit %s data", f.bits, f.kind == 'i' ? "signed" : "unsigned");
  std::string s = buf;
  const int d = clamp_levels(f.decompositions);
  std::snprintf(buf, sizeof buf, " with %d decomposition level%s", d, d == 1 ? "" : "s");
  return s + buf;
}

enum class outcome { ok, too_fine, too_coarse, impossible };

// The base steps OpenJPH codes safely with the data's decomposition levels.
struct step_limits {
  double floor, cap;
};

step_limits limits(const data_facts& f) {
  const int d = clamp_levels(f.decompositions);
  double floor = k_finest_step * finest_divisor(d);
  double cap = k_coarsest_step * coarsest_divisor(d);
  if (f.kind == 'f') {
    const double top = std::max(pattern_fraction(f.lo), pattern_fraction(f.hi));
    floor = std::max(floor, k_pipeline_noise * top);
    cap = std::min(cap, k_float_coarsest_step);
  }
  return {floor, cap};
}

// An explicit base step for a fraction `g` of the range; `level` says the
// request is a quality level, which may move to the nearest safe step.
outcome explicit_step(const data_facts& f, double per_range, double g, bool level,
                      lossy_settings* out) {
  const step_limits l = limits(f);
  if (l.floor > l.cap) return outcome::impossible;
  double s = g * per_range;
  if (s < l.floor) {
    const bool small_move = l.floor <= 2.0 * s;
    if (!small_move && (!level || l.floor / per_range > k_negligible_step)) return outcome::too_fine;
    s = l.floor;
  }
  if (s > l.cap) {
    if (!level) return outcome::too_coarse;
    s = l.cap;
  }
  out->qstep = s;
  out->qfactor = 0;
  return outcome::ok;
}

outcome for_quality(const data_facts& f, double per_range, int q, lossy_settings* out) {
  double power = 0.0;
  if (f.kind == 'f')
    return explicit_step(f, per_range, quality_delta(q, k_float_reference_bits, &power), true,
                         out);
  if (f.bits < k_low_precision_reference_bits)
    return explicit_step(f, 1.0, quality_delta(q, k_low_precision_reference_bits, &power), true,
                         out);
  // OpenJPH's quality factor, moved up to the lowest one whose coarsest band
  // is safe: lower ones code as that one.
  int safe_q = q;
  while (safe_q < 100 && quality_bands(safe_q, f).coarsest >= k_coarsest_step) ++safe_q;
  const band_range r = quality_bands(safe_q, f);
  if (r.coarsest < k_coarsest_step && r.finest >= k_finest_step) {
    out->qstep = 0.0;
    out->qfactor = safe_q;
    return outcome::ok;
  }
  // Too fine for OpenJPH (high precision at high levels, or many levels):
  // the same reference step without visual weights, moved to the floor.
  return explicit_step(f, 1.0, quality_delta(safe_q, f.bits, &power), true, out);
}

void refuse(const std::string& text) { PyErr_SetString(PyExc_ValueError, text.c_str()); }

bool refuse_quality(const data_facts& f, double per_range, int q, outcome why,
                    const char* asked = nullptr) {
  const step_limits l = limits(f);
  std::string text = (asked ? std::string(asked) : "level=" + std::to_string(q)) +
                     " cannot be coded for " + describe(f);
  if (why == outcome::impossible) {
    refuse(text + ": no quantization step is both fine and coarse enough for OpenJPH with that "
                  "many levels; use fewer decomposition levels (resolutions= or num_decomp=) "
                  "or level=None (lossless)");
    return false;
  }
  int best = 0;
  lossy_settings unused;
  for (int lower = q - 1; lower >= 1 && best == 0; --lower)
    if (for_quality(f, per_range, lower, &unused) == outcome::ok) best = lower;
  text += ": the finest quantization OpenJPH codes for it is " +
          fraction(l.floor / per_range) + " of its range";
  text += f.kind == 'f' ? " (its values are large against their range)" : "";
  text += best ? "; use level=" + std::to_string(best) + " or lower, " : "; use ";
  text += "a step (level below 1) of at least " + fraction(l.floor / per_range) +
          ", or level=None (lossless)";
  refuse(text);
  return false;
}

bool refuse_step(const data_facts& f, double per_range, double step, outcome why) {
  const step_limits l = limits(f);
  std::string text = "level=" + fraction(step) + " (a quantization step) cannot be coded for " +
                     describe(f);
  if (why == outcome::too_coarse && f.kind == 'f')
    text += ": float32 samples are coded as their bit patterns, and coarser steps would change "
            "values by more than their range; use a step of at most " +
            fraction(l.cap / per_range);
  else if (why == outcome::too_coarse)
    text += ": OpenJPH's encoder fails when a subband's step reaches half the range; use a "
            "step of at most " + fraction(l.cap / per_range) + ", or more decomposition levels";
  else if (why == outcome::too_fine)
    text += ": the finest step OpenJPH codes for it is " + fraction(l.floor / per_range) +
            " of its range; use a step of at least that, a quality level, or level=None "
            "(lossless)";
  else
    text += ": no quantization step is both fine and coarse enough for OpenJPH with that many "
            "levels; use fewer decomposition levels or level=None (lossless)";
  refuse(text);
  return false;
}

}  // namespace

bool decide_lossy(const data_facts& f, const lossy_request& r, lossy_settings* out) {
  double per_range = 1.0;
  if (f.kind == 'f') {
    const scale_facts s = float_scale(f);
    if (s.refusal) {
      refuse("float32 data that " + std::string(s.refusal) +
             " can only be coded losslessly: use level=None");
      return false;
    }
    per_range = s.per_range;
  }
  if (f.kind != 'f' && f.bits <= k_fewest_lossy_bits && r.kind != lossy_request::step_size) {
    // One or two bits: every coding error is a third of the range or more,
    // and which levels happen to come back exact is luck.
    // Without a level, the lossy path was asked for by reversible=False: name that.
    const std::string lossless = r.kind == lossy_request::finest
                                     ? "drop reversible=False (lossless"
                                     : "use level=None (lossless";
    refuse(std::to_string(f.bits) + "-bit samples are not coded lossily but with a step: every "
           "lossy error is a third of their range or more; " + lossless +
           std::string(f.bits == 1 ? " with bits=2" : "") + ") or " +
           (r.kind == lossy_request::finest ? "use " : "") + "an explicit step (level below 1)");
    return false;
  }
  switch (r.kind) {
    case lossy_request::quality_level: {
      const outcome o = for_quality(f, per_range, r.quality, out);
      return o == outcome::ok || refuse_quality(f, per_range, r.quality, o);
    }
    case lossy_request::step_size: {
      const outcome o = explicit_step(f, per_range, r.step, false, out);
      return o == outcome::ok || refuse_step(f, per_range, r.step, o);
    }
    case lossy_request::finest:
    default: {
      // No level but the irreversible path: OpenJPH's default step for
      // integers (1/2^bits, 1/65536 from 16 bits), level 100 for float data.
      const char* asked = "reversible=False without a level (the finest lossy setting)";
      if (f.kind == 'f') {
        const outcome o = for_quality(f, per_range, 100, out);
        return o == outcome::ok || refuse_quality(f, per_range, 100, o, asked);
      }
      const double g = std::ldexp(1.0, -std::min(f.bits, 16));
      const outcome o = explicit_step(f, 1.0, g, true, out);
      return o == outcome::ok || refuse_quality(f, per_range, 100, o, asked);
    }
  }
}

bool read_lossy_request(PyObject* level, lossy_request* out) {
  if (level == Py_None) {
    out->kind = lossy_request::finest;
    return true;
  }
  PyObject* level_args[1] = {level};
  py::ref q(call_module_function("_quantization", level_args, 1));
  if (!q) return false;
  PyObject *qstep_obj, *qfactor_obj;
  if (!PyArg_ParseTuple(q.get(), "OO", &qstep_obj, &qfactor_obj)) return false;
  const double qstep = PyFloat_AsDouble(qstep_obj);
  if (qstep == -1.0 && PyErr_Occurred()) return false;
  int qfactor = 0;
  if (!to_int32(qfactor_obj, &qfactor)) return false;
  if (qfactor > 0) {
    out->kind = lossy_request::quality_level;
    out->quality = std::min(qfactor, 100);
  } else if (qstep > 0.0) {
    out->kind = lossy_request::step_size;
    out->step = qstep;
  } else {
    out->kind = lossy_request::finest;
  }
  return true;
}

namespace {

bool as_double(PyObject* obj, double* out) {
  *out = PyFloat_AsDouble(obj);
  return !(*out == -1.0 && PyErr_Occurred());
}

bool array_extreme(PyObject* array, const char* which, double* out) {
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return false;
  py::ref v(PyObject_CallMethod(np_module, which, "(O)", array));
  return v && as_double(v.get(), out);
}

}  // namespace

bool read_value_range(PyObject* value_range, PyObject* array, data_facts* facts) {
  if (value_range == Py_None)
    return array_extreme(array, "min", &facts->lo) && array_extreme(array, "max", &facts->hi);
  py::ref items(PySequence_Tuple(value_range));
  if (!items) return false;
  if (PyTuple_GET_SIZE(items.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "value_range must be (smallest, largest)");
    return false;
  }
  return as_double(PyTuple_GET_ITEM(items.get(), 0), &facts->lo) &&
         as_double(PyTuple_GET_ITEM(items.get(), 1), &facts->hi);
}

namespace {

// _lossy_settings(dtype, bits, components, decompositions, level, value_range=None)
PyObject* lossy_settings_impl(PyObject*, bound_args args) {
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(args[0], &descr)) return nullptr;
  py::ref descr_ref(reinterpret_cast<PyObject*>(descr));
  const char kind = descr->kind;
  const int size = static_cast<int>(PyDataType_ELSIZE(descr));
  const bool integer = (kind == 'u' || kind == 'i') && (size == 1 || size == 2 || size == 4);
  if (!integer && !(kind == 'f' && size == 4)) {
    PyErr_Format(PyExc_TypeError,
                 "lossy coding takes uint8/int8/uint16/int16/uint32/int32/float32 samples, "
                 "not %S", reinterpret_cast<PyObject*>(descr));
    return nullptr;
  }
  data_facts f{kind, 8 * size, 1, -1};
  if (args[1] != Py_None && !to_int32(args[1], &f.bits)) return nullptr;
  if (f.bits < 1 || f.bits > 8 * size || (kind == 'f' && f.bits != 32)) {
    PyErr_Format(PyExc_ValueError, "bits must be from %d to %d for %S samples, got %d",
                 kind == 'f' ? 32 : 1, 8 * size, reinterpret_cast<PyObject*>(descr), f.bits);
    return nullptr;
  }
  if (!to_int32(args[2], &f.components) || !to_int32(args[3], &f.decompositions)) return nullptr;
  if (f.components < 1) {
    PyErr_SetString(PyExc_ValueError, "components must be 1 or more");
    return nullptr;
  }
  lossy_request r{lossy_request::finest};
  if (!read_lossy_request(args[4], &r)) return nullptr;
  if (kind == 'f') {
    if (args[5] == Py_None) {
      PyErr_SetString(PyExc_ValueError, "float32 data needs value_range=(smallest, largest)");
      return nullptr;
    }
    if (!read_value_range(args[5], nullptr, &f)) return nullptr;
  }
  lossy_settings s;
  if (!decide_lossy(f, r, &s)) return nullptr;
  return Py_BuildValue("(di)", static_cast<double>(static_cast<float>(s.qstep)), s.qfactor);
}

}  // namespace

const function_def k_lossy_settings_def = {
    "_lossy_settings",
    "The irreversible quantization OpenJPH codes correctly for this data.\n\n"
    "dtype, bits (None: the dtype's), components and decompositions (-1:\n"
    "OpenJPH's default, 5) describe the samples; level is read as encode()\n"
    "reads it (None: no level on the irreversible path, the finest setting);\n"
    "value_range=(smallest, largest) is needed for float32 data, where a step\n"
    "or a level means a fraction of that range.  Returns (qstep, qfactor) for\n"
    "the bridge: a base step when qstep > 0, else a quality factor.  Raises\n"
    "ValueError naming what works when nothing within the level's or step's\n"
    "meaning is safe.",
    "tuple",
    lossy_settings_impl,
    6,
    {{"dtype", default_value::required, false},
     {"bits", default_value::required, false},
     {"components", default_value::required, false},
     {"decompositions", default_value::required, false},
     {"level", default_value::required, false},
     {"value_range", default_value::none, false}},
};

}  // namespace ferroglyph::module
