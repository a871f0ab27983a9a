// Surviving OpenJPH's assertions.
//
// The distributed OpenJPH builds keep their assert() checks, and some of
// them fire on malformed codestreams (a packet header asking for more than
// 32 length bits, for one): assert() prints its message and calls abort(),
// which would end the host process.  Calls into OpenJPH made through
// run_trapping_aborts() are instead abandoned at the abort: SIGABRT raised
// on the calling thread while such a call is under way jumps back to it.
// SIGABRT from anywhere else goes to the handler that was installed before
// ours, or ends the process as usual.
//
// What OpenJPH had allocated in the frames the jump skips is not released,
// so objects the call needs afterwards (the codestream) must live in the
// caller's frame, where they are destroyed normally.
#ifndef FERROGLYPH_SHIM_ABORT_TRAP_H
#define FERROGLYPH_SHIM_ABORT_TRAP_H

namespace ferroglyph::shim {

// Runs fn(context); returns false when it was abandoned at an abort().
// fn must not let a C++ exception escape.  The process-wide handler is
// installed on the first call.
bool run_trapping_aborts(void (*fn)(void*) noexcept, void* context) noexcept;

}  // namespace ferroglyph::shim

#endif
