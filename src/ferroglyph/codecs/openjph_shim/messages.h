// Per-thread capture of OpenJPH's messages.
//
// OpenJPH reports through process-wide handler objects that it calls on the
// thread doing the work.  Ours hold no state: each writes into the calling
// thread's texts, so concurrent calls never see each other's messages.
#ifndef FERROGLYPH_SHIM_MESSAGES_H
#define FERROGLYPH_SHIM_MESSAGES_H

#include <exception>
#include <string>

namespace ferroglyph::shim {

// Text of the last failure on this thread; replaced, never appended to.
std::string& last_error();
// OpenJPH warnings (and data-loss notices) since the last clear, '\n'-joined.
std::string& warnings();

// Installs the warning, error and information handlers once per process.
void install_handlers();

// Starts an exported call: handlers installed, stale error detail dropped.
void begin_call();

void set_error(const char* text);
// "<place>: <detail>", the detail being OpenJPH's own message when there is
// one, else the exception's.
void set_error(const char* place, const std::exception& e);
// "<place>: unknown C++ exception".
void set_unknown_error(const char* place);

// Whether a message of OpenJPH (information or warning) means that image
// data was lost (the codestream ended early, a code-block or tile was
// dropped); exported as ferroglyph_htj2k_means_data_loss.
bool info_means_data_loss(const char* text);

// Appends one line to this thread's warnings.
void add_warning(const char* text);

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_MESSAGES_H
