// Running the bridge's work so that nothing escapes it.
//
// guarded(): for work that reads a codestream.  OpenJPH's exceptions become
// the call's failure code with "<place>: <text>", and its assertion failures
// (abort_trap.h), which malformed codestreams reach, are trapped and become
// the same code.  Objects that must be released when an abort is trapped
// (the OpenJPH codestream, our own heap objects) belong in the caller's
// frame, outside the guarded work.
//
// guarded_encode(): the same for work that writes a codestream.  OpenJPH's
// encoder asserts on settings it cannot code (a subband step so coarse that
// a band gets no magnitude bits, code-blocks wider than the line it was
// given), and no check before the call foresees all of them; the trap text
// blames the settings, not the input.  The codestream and the output block
// live in the export's frame for the same reason as above.
//
// caught(): exceptions as above, without the trap; what both run inside it.
//
// The first three codec exports count a failed allocation inside OpenJPH
// among its other exceptions (their numbers predate the failure kinds); the
// newer ones report it as FERROGLYPH_HTJ2K_MEMORY.
#ifndef FERROGLYPH_SHIM_GUARDS_H
#define FERROGLYPH_SHIM_GUARDS_H

#include <exception>
#include <new>

#include "messages.h"

namespace ferroglyph::shim {

// Runs body(context), which returns the call's code; see guarded().  An
// allocation that fails inside the work gives `no_memory` when it is not 0,
// else `failure`.
int run_guarded(const char* place, int failure, int no_memory, int (*body)(void*), void* context);

// As run_guarded, for work that writes a codestream (guarded_encode()).
int run_guarded_encode(const char* place, int failure, int no_memory, int (*body)(void*),
                       void* context);

template <class Body>
int guarded(const char* place, int failure, int no_memory, Body& body) {
  return run_guarded(
      place, failure, no_memory, [](void* b) { return (*static_cast<Body*>(b))(); }, &body);
}

template <class Body>
int guarded_encode(const char* place, int failure, int no_memory, Body& body) {
  return run_guarded_encode(
      place, failure, no_memory, [](void* b) { return (*static_cast<Body*>(b))(); }, &body);
}

template <class Body>
int caught(const char* place, int failure, int no_memory, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc& e) {
    set_error(place, e);
    return no_memory != 0 ? no_memory : failure;
  } catch (const std::exception& e) {
    set_error(place, e);
  } catch (...) {
    set_unknown_error(place);
  }
  return failure;
}

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_GUARDS_H
