// The guarded call (guards.h), and the exports that hand out what calls
// leave behind: the failure text and the collected warnings.
#include "guards.h"

#include <string>

#include "abort_trap.h"
#include "messages.h"
#include "openjph_shim.h"

namespace ferroglyph::shim {

namespace {

struct guarded_work {
  const char* place;
  int no_memory;
  int (*body)(void*);
  void* context;
  int rc;
};

void run_catching(void* w) noexcept {
  auto& work = *static_cast<guarded_work*>(w);
  work.rc = caught(work.place, work.rc, work.no_memory, [&] { return work.body(work.context); });
}

int run_trapped(const char* place, int failure, int no_memory, int (*body)(void*), void* context,
                const char* trapped) {
  guarded_work work{place, no_memory, body, context, failure};
  if (!run_trapping_aborts(run_catching, &work))
    set_error((std::string(place) + ": " + trapped).c_str());
  return work.rc;
}

}  // namespace

int run_guarded(const char* place, int failure, int no_memory, int (*body)(void*), void* context) {
  return run_trapped(place, failure, no_memory, body, context,
                     "OpenJPH stopped at a failed internal check (assertion) while reading the "
                     "codestream; it is malformed");
}

int run_guarded_encode(const char* place, int failure, int no_memory, int (*body)(void*),
                       void* context) {
  return run_trapped(place, failure, no_memory, body, context,
                     "OpenJPH stopped at a failed internal check (assertion) while encoding; it "
                     "cannot code these samples with these settings");
}

}  // namespace ferroglyph::shim

extern "C" {

const char* ferroglyph_htj2k_last_error(void) {
  return ferroglyph::shim::last_error().c_str();
}

const char* ferroglyph_htj2k_last_warnings(void) {
  return ferroglyph::shim::warnings().c_str();
}

void ferroglyph_htj2k_clear_warnings(void) {
  ferroglyph::shim::warnings().clear();
  ferroglyph::shim::install_handlers();
}

}  // extern "C"
