#include "messages.h"

#include "openjph_shim.h"

#include <openjph/ojph_message.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace ferroglyph::shim {

namespace {

thread_local std::string g_last_error;
thread_local std::string g_error_detail;
thread_local std::string g_warnings;

// One message keeps at most 1023 bytes.
constexpr size_t k_message_capacity = 1024;

int format_message(char (&buf)[k_message_capacity], const char* fmt, va_list args) {
  buf[0] = '\0';
  if (fmt == nullptr) return 0;
  return std::vsnprintf(buf, sizeof buf, fmt, args);
}

// Some of OpenJPH's texts end in a newline; kept information is one line.
void strip_trailing_newlines(char* s) {
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) s[--n] = '\0';
}

// OpenJPH's handlers are variadic; each collector formats the message once
// and hands the text (null when there is none) to `take`.
template <class Base, void (*take)(char* text)>
class collector final : public Base {
 public:
  void operator()(int /*code*/, const char* /*file*/, int /*line*/, const char* fmt,
                  ...) override {
    char buf[k_message_capacity];
    va_list args;
    va_start(args, fmt);
    const int n = format_message(buf, fmt, args);
    va_end(args);
    take(n > 0 ? buf : nullptr);
  }
};

void take_warning(char* text) {
  if (text != nullptr) add_warning(text);
}

void take_error(char* text) {
  if (text != nullptr)
    g_error_detail = text;
  else
    g_error_detail.clear();
  // OpenJPH requires an error handler to throw: it continues after the
  // error site if the handler returns.
  throw std::runtime_error(g_error_detail);
}

// OpenJPH's default information handler prints to standard output; a library
// must not.  Most information is noise, but some of it is the only sign that
// a damaged or truncated codestream lost data, and that is kept.
void take_info(char* text) {
  if (text == nullptr) return;
  strip_trailing_newlines(text);
  if (info_means_data_loss(text)) add_warning(text);
}

using warning_collector = collector<ojph::message_warning, take_warning>;
using error_collector = collector<ojph::message_error, take_error>;
using info_collector = collector<ojph::message_info, take_info>;

warning_collector g_warning_collector;
error_collector g_error_collector;
info_collector g_info_collector;
std::once_flag g_handlers_installed;

bool contains_nocase(const char* haystack, const char* needle) {
  const size_t n = std::strlen(needle);
  for (const char* p = haystack; *p; ++p) {
    size_t i = 0;
    while (i < n && p[i] &&
           std::tolower(static_cast<unsigned char>(p[i])) ==
               std::tolower(static_cast<unsigned char>(needle[i])))
      ++i;
    if (i == n) return true;
  }
  return false;
}

}  // namespace

std::string& last_error() { return g_last_error; }
std::string& warnings() { return g_warnings; }

void install_handlers() {
  std::call_once(g_handlers_installed, [] {
    ojph::configure_warning(&g_warning_collector);
    ojph::configure_error(&g_error_collector);
    ojph::configure_info(&g_info_collector);
  });
}

void begin_call() {
  install_handlers();
  g_error_detail.clear();
}

void set_error(const char* text) { g_last_error = text; }

void set_error(const char* place, const std::exception& e) {
  const std::string detail = g_error_detail.empty() ? std::string(e.what()) : g_error_detail;
  g_last_error = place;
  g_last_error += ": ";
  g_last_error += detail;
}

void set_unknown_error(const char* place) {
  g_last_error = place;
  g_last_error += ": unknown C++ exception";
}

bool info_means_data_loss(const char* text) {
  // The one list of OpenJPH's texts that mean samples were lost or left
  // wrong: the information it gives when a codestream ends early, the
  // errors that resilient decoding turns into information (a tile,
  // tile-part or code-block skipped or zeroed), and the block decoder's
  // warnings about code-blocks it could not decode fully.
  static const char* const k_loss_markers[] = {
      "terminated", "ended before", "error",    "wrong",         "incorrect",  "corrupt",
      "missing",    "codeblock",    "code-block", "coding passes", "not enough", "skipped",
  };
  for (const char* m : k_loss_markers)
    if (contains_nocase(text, m)) return true;
  return false;
}

void add_warning(const char* text) {
  if (!g_warnings.empty()) g_warnings += '\n';
  g_warnings += text;
}

}  // namespace ferroglyph::shim

int ferroglyph_htj2k_means_data_loss(const char* line) {
  return line != nullptr && ferroglyph::shim::info_means_data_loss(line) ? 1 : 0;
}
