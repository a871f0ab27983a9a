// ojph_raw: the yardstick of ferroglyph's benchmark.  It encodes and decodes
// in memory with OpenJPH directly, on one thread, asking OpenJPH for exactly
// what ferroglyph's bridge asks (openjph_shim.cpp): the same component order
// (set_planar), component transform, reversible or 9/7 path with qfactor,
// NLT type 3 for float bit patterns, tiles and resolution restriction, and
// the same sample layouts in memory.  What it does not do is what a binding
// adds: argument parsing, a second header read, Python objects.
//
// Usage
//   ojph_raw                 serve commands from stdin, one reply per line
//   ojph_raw OP KEY=VALUE..  run one command once and exit (memory probes)
//
// Commands
//   enc input=RAW w= h= c= bps= signed= planar= reversible= qfactor= ct= nlt=
//       tile_w= tile_h= num_decomp= reps= [dump=PATH] [codec=0]
//   dec input=J2C reduce= planar= reps= [dump=PATH] [codec=0]
//   quit
// Replies: "ok T1 T2 ..." (seconds per repetition) or "err TEXT".
//
// reps=N runs the work N times and reports each time; the driver alternates
// single repetitions (or batches, for tiny images) with the same work run
// through Python.  Input files are read once and kept, so only the codec
// call is timed.  Outputs are allocated per repetition the way NumPy
// allocates an array (malloc, plus MADV_HUGEPAGE from 4 MiB) and freed after
// the clock stops, as the driver frees the arrays ferroglyph returns.
// codec=0 does everything but the codec call: the baseline of a memory probe.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Buffers

struct free_deleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using buffer = std::unique_ptr<uint8_t, free_deleter>;

// NumPy's allocation of a new array's data: plain malloc, then transparent
// huge pages asked for on the page-aligned part when the size reaches 4 MiB.
buffer allocate_like_numpy(size_t n) {
  auto* p = static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1));
  if (p == nullptr) throw std::bad_alloc();
  constexpr size_t k_hugepage_threshold = size_t{4} << 20;
  if (n >= k_hugepage_threshold) {
    constexpr uintptr_t page = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(p) + n;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  }
  return buffer(p);
}

struct file_bytes {
  buffer data;
  size_t size = 0;
};

file_bytes read_file(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot open " + path);
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  file_bytes fb{allocate_like_numpy(static_cast<size_t>(n)), static_cast<size_t>(n)};
  const size_t got = std::fread(fb.data.get(), 1, fb.size, f);
  std::fclose(f);
  if (got != fb.size) throw std::runtime_error("short read of " + path);
  return fb;
}

void write_file(const std::string& path, const uint8_t* data, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  const size_t put = std::fwrite(data, 1, n, f);
  std::fclose(f);
  if (put != n) throw std::runtime_error("short write of " + path);
}

// ---------------------------------------------------------------------------
// Samples: one row of one component between a caller's buffer (element
// `offset`, every `step` elements) and an OpenJPH line of 32-bit integers.
// Decoded rows are clamped to the codestream's range in 32-bit arithmetic, as
// OpenJPH's own ojph_expand does; 32-bit samples keep their bit pattern.
// Contiguous rows use a min/max the compiler vectorises; strided rows (the
// interleaved layout) a plain compare, which compiles to no more instructions
// per sample than ferroglyph's bridge spends on the same rows.

template <typename S>
void load_row(const uint8_t* base, size_t offset, size_t step, int32_t* dst, uint32_t w) {
  const S* s = reinterpret_cast<const S*>(base) + offset;
  if (step == 1)
    for (uint32_t i = 0; i < w; ++i) dst[i] = static_cast<int32_t>(s[i]);
  else
    for (uint32_t i = 0; i < w; ++i) dst[i] = static_cast<int32_t>(s[i * step]);
}

template <typename S>
void store_row(const int32_t* src, uint8_t* base, size_t offset, size_t step, uint32_t w,
               int32_t lo, int32_t hi, bool clamp) {
  S* d = reinterpret_cast<S*>(base) + offset;
  if (!clamp) {
    for (uint32_t i = 0; i < w; ++i) d[i * step] = static_cast<S>(src[i]);
  } else if (step == 1) {
    for (uint32_t i = 0; i < w; ++i) d[i] = static_cast<S>(std::min(std::max(src[i], lo), hi));
  } else {
    for (uint32_t i = 0; i < w; ++i) {
      int32_t v = src[i];
      if (v < lo) v = lo;
      if (v > hi) v = hi;
      d[i * step] = static_cast<S>(v);
    }
  }
}

using load_fn = void (*)(const uint8_t*, size_t, size_t, int32_t*, uint32_t);
using store_fn = void (*)(const int32_t*, uint8_t*, size_t, size_t, uint32_t, int32_t, int32_t,
                          bool);

load_fn pick_load(int bps, bool is_signed) {
  switch (bps * 2 + (is_signed ? 1 : 0)) {
    case 2: return load_row<uint8_t>;
    case 3: return load_row<int8_t>;
    case 4: return load_row<uint16_t>;
    case 5: return load_row<int16_t>;
    case 8: return load_row<uint32_t>;
    case 9: return load_row<int32_t>;
    default: throw std::runtime_error("unsupported sample type");
  }
}

store_fn pick_store(int bps, bool is_signed) {
  switch (bps * 2 + (is_signed ? 1 : 0)) {
    case 2: return store_row<uint8_t>;
    case 3: return store_row<int8_t>;
    case 4: return store_row<uint16_t>;
    case 5: return store_row<int16_t>;
    case 8: return store_row<uint32_t>;
    case 9: return store_row<int32_t>;
    default: throw std::runtime_error("unsupported sample type");
  }
}

int32_t* line_samples(ojph::line_buf* line) {
  if ((line->flags & ojph::line_buf::LFT_INTEGER) == 0 ||
      (line->flags & ojph::line_buf::LFT_64BIT) != 0)
    throw std::runtime_error("unexpected line buffer type");
  return line->i32;
}

// ---------------------------------------------------------------------------
// Encode

struct encode_settings {
  uint32_t w = 0, h = 0, c = 1;
  int bps = 1;
  bool is_signed = false;
  bool src_planar = false;
  bool reversible = true;
  int qfactor = 0;
  bool color_transform = false;
  bool nlt = false;
  uint32_t tile_w = 0, tile_h = 0;
  int num_decomp = -1;
};

// Encodes `src` into `out`, which must be open.
void encode(const uint8_t* src, const encode_settings& s, ojph::mem_outfile& out) {
  const uint64_t plane = uint64_t{s.w} * s.h;
  const size_t step = s.src_planar ? 1 : s.c;
  const load_fn load = pick_load(s.bps, s.is_signed);

  ojph::codestream cs;
  ojph::param_siz siz = cs.access_siz();
  siz.set_image_extent(ojph::point(s.w, s.h));
  if (s.tile_w > 0 && s.tile_h > 0) siz.set_tile_size(ojph::size(s.tile_w, s.tile_h));
  siz.set_num_components(s.c);
  for (uint32_t c = 0; c < s.c; ++c)
    siz.set_component(c, ojph::point(1, 1), static_cast<uint32_t>(8 * s.bps), s.is_signed);
  ojph::param_cod cod = cs.access_cod();
  if (s.num_decomp >= 0) cod.set_num_decomposition(static_cast<uint32_t>(s.num_decomp));
  cod.set_reversible(s.reversible);
  cod.set_color_transform(s.color_transform);
  if (!s.reversible && s.qfactor > 0) cs.access_qcd().set_qfactor(static_cast<float>(s.qfactor));
  if (s.nlt) cs.access_nlt().set_nonlinear_transform(65535, 3);
  // Row by row with the component transform, component by component
  // without it: the only orders OpenJPH codes correctly.
  cs.set_planar(!s.color_transform);
  cs.write_headers(&out, nullptr, 0);

  ojph::ui32 next = 0;
  ojph::line_buf* line = cs.exchange(nullptr, next);
  auto push = [&](uint32_t c, uint32_t r) {
    if (line == nullptr || next != c) throw std::runtime_error("component order mismatch");
    const uint64_t offset =
        s.src_planar ? c * plane + uint64_t{r} * s.w : (uint64_t{r} * s.w) * s.c + c;
    load(src, static_cast<size_t>(offset), step, line_samples(line), s.w);
    line = cs.exchange(line, next);
  };
  if (s.color_transform) {
    for (uint32_t r = 0; r < s.h; ++r)
      for (uint32_t c = 0; c < s.c; ++c) push(c, r);
  } else {
    for (uint32_t c = 0; c < s.c; ++c)
      for (uint32_t r = 0; r < s.h; ++r) push(c, r);
  }
  cs.flush();
  cs.close();
}

// ---------------------------------------------------------------------------
// Decode

struct decoded {
  buffer data;
  size_t size = 0;
};

decoded decode(const uint8_t* src, size_t n, uint32_t reduce, bool dst_planar) {
  ojph::codestream cs;
  ojph::mem_infile in;
  in.open(src, n);
  cs.read_headers(&in);
  if (reduce > 0) cs.restrict_input_resolution(reduce, reduce);

  ojph::param_siz siz = cs.access_siz();
  const uint32_t W = siz.get_recon_width(0), H = siz.get_recon_height(0);
  const uint32_t C = siz.get_num_components();
  const int bit_depth = static_cast<int>(siz.get_bit_depth(0));
  const bool is_signed = siz.is_signed(0);
  const bool ct = cs.access_cod().is_using_color_transform();
  const int bps = bit_depth <= 8 ? 1 : (bit_depth <= 16 ? 2 : 4);
  const store_fn store = pick_store(bps, is_signed);
  const bool clamp = bit_depth < 32;
  const int64_t lo = is_signed ? -(int64_t{1} << (bit_depth - 1)) : 0;
  const int64_t hi =
      is_signed ? (int64_t{1} << (bit_depth - 1)) - 1 : (int64_t{1} << bit_depth) - 1;
  const int32_t lo32 = clamp ? static_cast<int32_t>(lo) : 0;
  const int32_t hi32 = clamp ? static_cast<int32_t>(hi) : 0;

  const uint64_t plane = uint64_t{W} * H;
  decoded out;
  out.size = static_cast<size_t>(plane * C * bps);
  out.data = allocate_like_numpy(out.size);
  uint8_t* dst = out.data.get();
  const bool planar = dst_planar || C == 1;
  const size_t step = planar ? 1 : C;

  cs.set_planar(!ct);
  cs.create();
  auto pull = [&](uint32_t c, uint32_t r) {
    ojph::ui32 got = 0;
    ojph::line_buf* line = cs.pull(got);
    if (line == nullptr || got != c) throw std::runtime_error("component order mismatch");
    const uint64_t offset = planar ? c * plane + uint64_t{r} * W : (uint64_t{r} * W) * C + c;
    store(line_samples(line), dst, static_cast<size_t>(offset), step, W, lo32, hi32, clamp);
  };
  if (ct) {
    for (uint32_t r = 0; r < H; ++r)
      for (uint32_t c = 0; c < C; ++c) pull(c, r);
  } else {
    for (uint32_t c = 0; c < C; ++c)
      for (uint32_t r = 0; r < H; ++r) pull(c, r);
  }
  cs.close();
  return out;
}

// ---------------------------------------------------------------------------
// Commands

using clock_type = std::chrono::steady_clock;

struct command {
  std::string op;
  std::map<std::string, std::string> kv;

  const std::string& str(const std::string& key) const {
    auto it = kv.find(key);
    if (it == kv.end()) throw std::runtime_error("missing " + key + "=");
    return it->second;
  }
  long num(const std::string& key, long fallback) const {
    auto it = kv.find(key);
    return it == kv.end() ? fallback : std::stol(it->second);
  }
  long num(const std::string& key) const { return std::stol(str(key)); }
};

command parse(const std::string& text) {
  std::istringstream in(text);
  command cmd;
  in >> cmd.op;
  std::string word;
  while (in >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos) throw std::runtime_error("expected KEY=VALUE, got " + word);
    cmd.kv[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return cmd;
}

// Input files, read once per process.
std::map<std::string, file_bytes> g_files;

const file_bytes& input_of(const command& cmd) {
  const std::string& path = cmd.str("input");
  auto it = g_files.find(path);
  if (it == g_files.end()) it = g_files.emplace(path, read_file(path)).first;
  return it->second;
}

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::vector<double> run_encode(const command& cmd) {
  const file_bytes& in = input_of(cmd);
  encode_settings s;
  s.w = static_cast<uint32_t>(cmd.num("w"));
  s.h = static_cast<uint32_t>(cmd.num("h"));
  s.c = static_cast<uint32_t>(cmd.num("c", 1));
  s.bps = static_cast<int>(cmd.num("bps", 1));
  s.is_signed = cmd.num("signed", 0) != 0;
  s.src_planar = cmd.num("planar", 0) != 0 || s.c == 1;
  s.reversible = cmd.num("reversible", 1) != 0;
  s.qfactor = static_cast<int>(cmd.num("qfactor", 0));
  s.color_transform = cmd.num("ct", 0) != 0;
  s.nlt = cmd.num("nlt", 0) != 0;
  s.tile_w = static_cast<uint32_t>(cmd.num("tile_w", 0));
  s.tile_h = static_cast<uint32_t>(cmd.num("tile_h", 0));
  s.num_decomp = static_cast<int>(cmd.num("num_decomp", -1));
  if (uint64_t{s.w} * s.h * s.c * s.bps > in.size) throw std::runtime_error("input too small");
  const long reps = cmd.num("reps", 1);
  std::vector<double> times;
  if (cmd.num("codec", 1) == 0) return times;
  for (long i = 0; i < reps; ++i) {
    const auto t0 = clock_type::now();
    {
      ojph::mem_outfile out;
      out.open(65536, false);
      encode(in.data.get(), s, out);
    }
    times.push_back(seconds_since(t0));
  }
  if (cmd.kv.count("dump")) {
    ojph::mem_outfile out;
    out.open(65536, false);
    encode(in.data.get(), s, out);
    write_file(cmd.str("dump"), out.get_data(), out.get_used_size());
  }
  return times;
}

std::vector<double> run_decode(const command& cmd) {
  const file_bytes& in = input_of(cmd);
  const uint32_t reduce = static_cast<uint32_t>(cmd.num("reduce", 0));
  const bool planar = cmd.num("planar", 0) != 0;
  const long reps = cmd.num("reps", 1);
  std::vector<double> times;
  if (cmd.num("codec", 1) == 0) return times;
  for (long i = 0; i < reps; ++i) {
    const auto t0 = clock_type::now();
    decoded d = decode(in.data.get(), in.size, reduce, planar);
    times.push_back(seconds_since(t0));
    if (i + 1 == reps && cmd.kv.count("dump")) write_file(cmd.str("dump"), d.data.get(), d.size);
  }
  return times;
}

std::string reply(const std::string& text) {
  try {
    const command cmd = parse(text);
    std::vector<double> times;
    if (cmd.op == "enc")
      times = run_encode(cmd);
    else if (cmd.op == "dec")
      times = run_decode(cmd);
    else
      throw std::runtime_error("unknown command " + cmd.op);
    std::ostringstream out;
    out << "ok";
    out.precision(9);
    for (double t : times) out << ' ' << std::fixed << t;
    return out.str();
  } catch (const std::exception& e) {
    return std::string("err ") + e.what();
  }
}

}  // namespace

int main(int argc, char** argv) {
  // OpenJPH's messages would otherwise share stdout with the replies.
  ojph::set_info_stream(stderr);
  ojph::set_warning_stream(stderr);

  if (argc > 1) {
    std::string text;
    for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + ' ';
    const std::string r = reply(text);
    std::cout << r << std::endl;
    return r.rfind("ok", 0) == 0 ? 0 : 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    if (line.empty()) continue;
    std::cout << reply(line) << std::endl;
  }
  return 0;
}
