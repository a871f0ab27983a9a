// Codestreams made by other encoders (Kakadu, OpenHTJ2K, Grok, hardware
// encoders, OpenJPH's own tools): the bridge agrees with what OpenJPH was
// measured to do with each, reproduces the reference images, and survives
// every file, the deliberately malformed ones included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_test_support.h"

namespace {

namespace fs = std::filesystem;
using fgtest::Bytes;

const std::string k_corpus = FERROGLYPH_CORPUS_DIR;

bool corpus_present() {
  return fs::is_directory(k_corpus);
}

std::string corpus_path(const std::string& relative) {
  return k_corpus + "/" + relative;
}

std::string test_name(std::string s) {
  for (char& ch : s)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return s;
}

std::vector<std::string> split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, sep)) out.push_back(field);
  if (!line.empty() && line.back() == sep) out.emplace_back();
  return out;
}

Bytes load_codestream(const std::string& relative) {
  return fgtest::raw_codestream(fgtest::read_file(corpus_path(relative)));
}

TEST(Corpus, IsPresent) {
  if (!corpus_present()) GTEST_SKIP() << "no corpus at " << k_corpus;
  EXPECT_TRUE(fs::exists(corpus_path("catalog.tsv")));
}

// --- Agreement with the catalogue -------------------------------------------------------

// One row of catalog.tsv: what OpenJPH 0.32 was measured to do with a file.
struct CatalogRow {
  std::string file;
  int width = 0, height = 0, components = 0, bit_depth = 0;
  bool is_signed = false;
  bool subsampled = false;
  bool openjph_decodes = false;
  std::string openjph_message;  // "E 0x...: text" or "W 0x...: text (xN)", or empty
};

void PrintTo(const CatalogRow& r, std::ostream* os) {
  *os << r.file;
}

// The rows of catalog.tsv, each a map from column name to text.
using Record = std::map<std::string, std::string>;

std::vector<Record> catalog() {
  std::vector<Record> records;
  std::ifstream in(corpus_path("catalog.tsv"));
  std::string line;
  std::getline(in, line);
  const std::vector<std::string> names = split(line, '\t');
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = split(line, '\t');
    Record r;
    for (size_t i = 0; i < names.size() && i < fields.size(); ++i) r[names[i]] = fields[i];
    records.push_back(r);
  }
  return records;
}

std::vector<CatalogRow> catalog_rows() {
  std::vector<CatalogRow> rows;
  for (Record& f : catalog()) {
    CatalogRow r;
    r.file = f["file"];
    r.width = std::atoi(f["width"].c_str());
    r.height = std::atoi(f["height"].c_str());
    r.components = std::atoi(f["components"].c_str());
    r.bit_depth = std::atoi(f["bit_depth"].c_str());
    r.is_signed = f["signed"] == "yes";
    for (const std::string& s : split(f["subsampling"], ' '))
      if (!s.empty() && s != "1x1") r.subsampled = true;
    r.openjph_decodes = f["libopenjph_decode"] == "yes";
    r.openjph_message = f["libopenjph_output"];
    rows.push_back(r);
  }
  return rows;
}

// The text of a catalogued message, without its level and code.
std::string message_text(const std::string& m) {
  const size_t colon = m.find(": ");
  std::string text = colon == std::string::npos ? m : m.substr(colon + 2);
  const size_t times = text.rfind(" (x");
  if (times != std::string::npos) text.erase(times);
  return text;
}

int message_repeats(const std::string& m) {
  const size_t times = m.rfind(" (x");
  return times == std::string::npos ? 1 : std::atoi(m.c_str() + times + 3);
}

size_t occurrences(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

class CatalogAgreement : public testing::TestWithParam<CatalogRow> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CatalogAgreement);

// Codestreams OpenJPH decodes are decoded (or, with subsampled components,
// refused as non-uniform) with the catalogued geometry and warnings; those
// it refuses fail with OpenJPH's message.
TEST_P(CatalogAgreement, DecodeAsOpenJphWasMeasuredTo) {
  const CatalogRow& row = GetParam();
  const Bytes cs = load_codestream(row.file);
  ASSERT_FALSE(cs.empty());
  ferroglyph_htj2k_clear_warnings();
  const fgtest::InfoResult info = fgtest::decode_info(cs);
  if (!row.openjph_decodes) {
    std::string error = info.error;
    if (info.rc == 0) {
      const fgtest::DecodeResult d = fgtest::decode(cs);
      EXPECT_NE(d.rc, 0);
      error = d.error;
    } else {
      // The same header stops a decode too.
      Bytes dst(16);
      EXPECT_NE(
          ferroglyph_htj2k_decode(cs.data(), cs.size(), dst.data(), dst.size(), 1, 0, 0, 0, 1), 0);
    }
    EXPECT_NE(error.find(message_text(row.openjph_message)), std::string::npos) << error;
    return;
  }
  ASSERT_EQ(info.rc, 0) << info.error;
  EXPECT_EQ(info.info.width, row.width);
  EXPECT_EQ(info.info.height, row.height);
  EXPECT_EQ(info.info.components, row.components);
  EXPECT_EQ(info.info.bit_depth, row.bit_depth);
  EXPECT_EQ(info.info.is_signed, row.is_signed ? 1 : 0);
  EXPECT_EQ(info.info.uniform, row.subsampled ? 0 : 1);
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult d = fgtest::decode(cs);
  EXPECT_EQ(d.rc, row.subsampled ? 7 : 0) << d.error;
  const std::string warnings = ferroglyph_htj2k_last_warnings();
  if (row.openjph_message.rfind("W ", 0) == 0) {
    // Raised while the tile headers are read, once per tile.
    EXPECT_EQ(occurrences(warnings, message_text(row.openjph_message)),
              static_cast<size_t>(message_repeats(row.openjph_message)));
  } else if (!row.subsampled) {
    EXPECT_EQ(warnings, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Files, CatalogAgreement,
                         testing::ValuesIn(corpus_present() ? catalog_rows()
                                                            : std::vector<CatalogRow>{}),
                         [](const testing::TestParamInfo<CatalogRow>& info) {
                           return test_name(info.param.file);
                         });

// --- Reference images ---------------------------------------------------------------------

// A decode's measured error against its reference image, per component.
struct ReferenceCase {
  std::string file;
  std::vector<std::string> reference;  // one image, or one PGX file per component
  std::vector<double> mse;
  std::vector<int64_t> pae;
};

void PrintTo(const ReferenceCase& c, std::ostream* os) {
  *os << c.file;
}

const char k_malamute_codestream[] = "openjph_test_codestreams/simple_dec_rev53_64x64.jph";

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The catalogued reference as corpus paths: "a-[0-2].pgx" names three files;
// a bare name lives in the codestream's own folder or its references/.
std::vector<std::string> resolve_reference(const std::string& file, const std::string& text) {
  if (text.rfind("Malamute.ppm", 0) == 0) return {k_malamute_codestream};
  std::vector<std::string> names = {text};
  const size_t range = text.find("[0-");
  if (range != std::string::npos) {
    names.clear();
    for (char last = '0'; last <= text[range + 3]; ++last)
      names.push_back(text.substr(0, range) + last + text.substr(range + 5));
  }
  const std::string dir = fs::path(file).parent_path().string();
  std::vector<std::string> out;
  for (const std::string& name : names) {
    for (const std::string& candidate :
         {name, dir + "/" + name, dir + "/references/" + name,
          fs::path(dir).parent_path().string() + "/references/" + name,
          fs::path(file).begin()->string() + "/" + name}) {
      if (fs::is_regular_file(corpus_path(candidate))) {
        out.push_back(candidate);
        break;
      }
    }
  }
  return out.size() == names.size() ? out : std::vector<std::string>{};
}

// Catalogued decodes with a measured error against a PPM, PGM or PGX
// reference (the 4:2:0 YUV ones are left out: the bridge refuses
// subsampling).
std::vector<ReferenceCase> reference_cases() {
  std::vector<ReferenceCase> cases;
  for (Record& f : catalog()) {
    const std::string& measured = f["vs_reference(MSE/PAE)"];
    if (measured.empty() || f["libopenjph_decode"] != "yes" || f["file"] == k_malamute_codestream)
      continue;
    ReferenceCase c;
    c.file = f["file"];
    c.reference = resolve_reference(c.file, f["reference"]);
    if (c.reference.empty()) continue;
    const std::string& first = c.reference.front();
    if (!ends_with(first, ".ppm") && !ends_with(first, ".pgm") && !ends_with(first, ".pgx") &&
        first != k_malamute_codestream)
      continue;
    for (const std::string& component : split(measured, ' ')) {
      const size_t slash = component.find('/');
      if (slash == std::string::npos) continue;
      c.mse.push_back(std::stod(component.substr(0, slash)));
      c.pae.push_back(std::stoll(component.substr(slash + 1)));
    }
    cases.push_back(c);
  }
  return cases;
}

// One PGX component image: "PG ML|LM +|-depth width height", then samples
// of ceil(depth / 8) bytes.
bool read_pgx(const std::string& path, fgtest::Pnm& img) {
  const Bytes b = fgtest::read_file(path);
  const auto newline = std::find(b.begin(), b.end(), '\n');
  if (newline == b.end()) return false;
  std::istringstream header(std::string(b.begin(), newline));
  std::string magic, order, depth;
  header >> magic >> order >> depth;
  if (depth == "+" || depth == "-") {  // the sign may stand apart
    std::string digits;
    header >> digits;
    depth += digits;
  }
  header >> img.width >> img.height;
  if (magic != "PG" || depth.empty()) return false;
  const bool is_signed = depth[0] == '-';
  const int bits = std::atoi(depth.c_str() + (depth[0] == '+' || depth[0] == '-' ? 1 : 0));
  const size_t bps = static_cast<size_t>((bits + 7) / 8);
  const size_t n = static_cast<size_t>(img.width) * img.height;
  const size_t at = static_cast<size_t>(newline - b.begin()) + 1;
  if (b.size() < at + n * bps) return false;
  img.components = 1;
  img.samples.resize(n);
  for (size_t i = 0; i < n; ++i) {
    uint64_t v = 0;
    for (size_t k = 0; k < bps; ++k) {
      const size_t byte = order == "ML" ? k : bps - 1 - k;
      v = v << 8 | b[at + i * bps + byte];
    }
    int64_t s = static_cast<int64_t>(v);
    if (is_signed && bps < 8 && (v >> (8 * bps - 1)) != 0) s -= int64_t{1} << (8 * bps);
    img.samples[i] = s;
  }
  return true;
}

// The reference as interleaved samples with its geometry.
bool load_reference(const std::vector<std::string>& reference, fgtest::Pnm& img) {
  if (reference.front() == k_malamute_codestream) {
    // Malamute.ppm is not distributed; the lossless Kakadu codestream of it
    // reproduces it exactly.
    const fgtest::DecodeResult d = fgtest::decode(load_codestream(reference.front()), 1, false);
    if (d.rc != 0) return false;
    img.width = d.info.width;
    img.height = d.info.height;
    img.components = d.info.components;
    img.samples.resize(d.samples.count());
    for (size_t i = 0; i < img.samples.size(); ++i) img.samples[i] = d.samples.get(i);
    return true;
  }
  if (!ends_with(reference.front(), ".pgx"))
    return fgtest::read_pnm(corpus_path(reference.front()), img);
  std::vector<fgtest::Pnm> planes(reference.size());
  for (size_t c = 0; c < reference.size(); ++c)
    if (!read_pgx(corpus_path(reference[c]), planes[c])) return false;
  img = planes.front();
  img.components = static_cast<int>(planes.size());
  img.samples.assign(planes.front().samples.size() * planes.size(), 0);
  for (size_t c = 0; c < planes.size(); ++c)
    for (size_t i = 0; i < planes[c].samples.size(); ++i)
      img.samples[i * planes.size() + c] = planes[c].samples[i];
  return true;
}

class ReferenceImages : public testing::TestWithParam<ReferenceCase> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReferenceImages);

// Each decode differs from its reference no more than OpenJPH's own decode
// was measured to: not at all for the lossless ones.
TEST_P(ReferenceImages, DecodeMatchesReferenceAsMeasured) {
  const ReferenceCase& c = GetParam();
  fgtest::Pnm ref;
  ASSERT_TRUE(load_reference(c.reference, ref)) << c.reference.front();
  const fgtest::DecodeResult d = fgtest::decode(load_codestream(c.file), 0, false);
  ASSERT_EQ(d.rc, 0) << d.error;
  ASSERT_EQ(d.info.width, ref.width);
  ASSERT_EQ(d.info.height, ref.height);
  ASSERT_EQ(d.info.components, ref.components);
  ASSERT_EQ(c.mse.size(), static_cast<size_t>(ref.components));
  const size_t C = static_cast<size_t>(ref.components);
  for (size_t comp = 0; comp < C; ++comp) {
    double squared = 0;
    int64_t worst = 0;
    for (size_t i = comp; i < ref.samples.size(); i += C) {
      const int64_t e = std::abs(d.samples.get(i) - ref.samples[i]);
      worst = std::max(worst, e);
      squared += static_cast<double>(e) * static_cast<double>(e);
    }
    const double mse = squared / static_cast<double>(ref.samples.size() / C);
    if (c.pae[comp] == 0) {
      EXPECT_EQ(worst, 0) << "component " << comp;
    } else {
      // OpenJPH's floating-point paths round slightly differently on
      // different processors (SIMD variants).
      EXPECT_LE(worst, c.pae[comp] + 2) << "component " << comp;
      EXPECT_LE(mse, c.mse[comp] * 1.02) << "component " << comp;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ReferenceImages,
                         testing::ValuesIn(corpus_present() ? reference_cases()
                                                            : std::vector<ReferenceCase>{}),
                         [](const testing::TestParamInfo<ReferenceCase>& info) {
                           return test_name(info.param.file);
                         });

// --- Survival ---------------------------------------------------------------------------

std::vector<std::string> all_codestream_files() {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(k_corpus)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() &&
        (ext == ".j2k" || ext == ".j2c" || ext == ".jph" || ext == ".jhc" || ext == ".jp2"))
      files.push_back(fs::relative(entry.path(), k_corpus).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class CorpusSurvival : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusSurvival);

// Run in a child process so that a crash or a hang (cut short by an alarm)
// fails this file's test instead of taking the whole suite down.
TEST_P(CorpusSurvival, NeverCrashesOrHangs) {
  const Bytes cs = load_codestream(GetParam());
  EXPECT_EXIT(
      {
        alarm(60);
        fgtest::exercise(cs, size_t{1} << 28);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Files, CorpusSurvival,
                         testing::ValuesIn(corpus_present() ? all_codestream_files()
                                                            : std::vector<std::string>{}),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return test_name(info.param);
                         });

// The decoded image of this conformance file is wrong (63 tiles carry their
// own quantization, which OpenJPH skips), so it must never come back without
// the warnings that say so.
TEST(CorpusWarnings, SkippedTileQuantizationIsNeverQuiet) {
  if (!corpus_present()) GTEST_SKIP() << "no corpus at " << k_corpus;
  const Bytes cs = load_codestream("iso_htj2k_conformance/ds1_ht_04_b9.j2k");
  for (int resilient : {0, 1}) {
    ferroglyph_htj2k_clear_warnings();
    const fgtest::DecodeResult d = fgtest::decode(cs, 2, true, 0, 0, resilient);
    ASSERT_EQ(d.rc, 0) << d.error;
    EXPECT_EQ(occurrences(ferroglyph_htj2k_last_warnings(),
                          "QCD marker segment in a tile is not supported yet"),
              63u);
  }
}

// Kakadu's low-latency codestream splits its five levels both ways, then
// horizontally, vertically, horizontally and both ways again.  Reductions
// that keep the vertical-only level decode; leaving it out is refused,
// since OpenJPH would abort the process.
TEST(CorpusReductions, LeavingOutAVerticalOnlyLevelIsRefused) {
  if (!corpus_present()) GTEST_SKIP() << "no corpus at " << k_corpus;
  const Bytes cs =
      load_codestream("openjph_test_codestreams/simple_dec_irv53_bhvhb_low_latency.jph");
  const int sizes[][2] = {{1616, 1080}, {808, 540}, {404, 540}, {404, 270}, {202, 270}, {101, 135}};
  for (int r = 0; r <= 5; ++r) {
    SCOPED_TRACE("reduction " + std::to_string(r));
    const fgtest::InfoResult info = fgtest::decode_info(cs, r, r);
    ASSERT_EQ(info.rc, 0) << info.error;
    EXPECT_EQ(info.info.width, sizes[r][0]);
    EXPECT_EQ(info.info.height, sizes[r][1]);
    const int expected = r < 3 ? 0 : 6;
    EXPECT_EXIT(
        {
          alarm(60);
          const fgtest::DecodeResult d = fgtest::decode(cs, 1, true, r, r);
          std::exit(d.rc == 6 && d.error.find("vertical-only") == std::string::npos ? 99 : d.rc);
        },
        testing::ExitedWithCode(expected), "");
  }
  // Resolutions left unread but reconstructed are not affected.
  const fgtest::DecodeResult d = fgtest::decode(cs, 1, true, 5, 2);
  EXPECT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(d.info.width, 404);
}

// Resilient decoding of a file with a damaged code-block completes, but
// says that data was lost.
TEST(CorpusWarnings, ResilientDecodeReportsLostCodeBlocks) {
  if (!corpus_present()) GTEST_SKIP() << "no corpus at " << k_corpus;
  const Bytes cs = load_codestream("openhtj2k_data/tests_data/security_threaded_decode_abort.j2k");
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult plain = fgtest::decode(cs);
  EXPECT_EQ(plain.rc, 5);
  EXPECT_EQ(plain.error, "decode: Error decoding a codeblock.");
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult resilient = fgtest::decode(cs, 1, true, 0, 0, 1);
  EXPECT_EQ(resilient.rc, 0) << resilient.error;
  EXPECT_NE(std::string(ferroglyph_htj2k_last_warnings()).find("Error decoding a codeblock."),
            std::string::npos);
}

}  // namespace
