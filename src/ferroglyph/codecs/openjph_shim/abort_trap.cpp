#include "abort_trap.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <mutex>

namespace ferroglyph::shim {

namespace {

// Where the running trapped call on this thread resumes; null outside one.
thread_local sigjmp_buf* t_resume = nullptr;

struct sigaction g_previous = {};
std::once_flag g_installed;

void hand_on(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  }
  // Returning lets abort() restore the default action and end the process.
}

void on_abort(int sig, siginfo_t* info, void* context) {
  // abort() raises SIGABRT on the aborting thread, so this is the thread of
  // the trapped call when there is one.
  if (sigjmp_buf* resume = t_resume) {
    t_resume = nullptr;
    siglongjmp(*resume, 1);
  }
  hand_on(sig, info, context);
}

void install_abort_trap() {
  std::call_once(g_installed, [] {
    struct sigaction action = {};
    action.sa_sigaction = on_abort;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGABRT, &action, &g_previous);
  });
}

}  // namespace

bool run_trapping_aborts(void (*fn)(void*) noexcept, void* context) noexcept {
  install_abort_trap();
  sigjmp_buf resume;
  // The signal mask is not saved (a system call per call); SIGABRT, blocked
  // while its handler runs, is unblocked by hand after a jump.
  if (sigsetjmp(resume, 0) != 0) {
    sigset_t abrt;
    sigemptyset(&abrt);
    sigaddset(&abrt, SIGABRT);
    pthread_sigmask(SIG_UNBLOCK, &abrt, nullptr);
    return false;
  }
  t_resume = &resume;
  fn(context);
  t_resume = nullptr;
  return true;
}

}  // namespace ferroglyph::shim
