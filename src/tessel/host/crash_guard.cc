#include "tessel/host/crash_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "tessel/host/crash_report.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kAltStackSize = 128 * 1024;

// One guarded call on this thread; nested calls chain through prev.
struct GuardFrame {
  sigjmp_buf jump;
  const char* exeName;
  const char* params;
  GuardFrame* prev;
};

// Read inside the signal handler: initial-exec TLS needs no allocation on first access.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_frame = nullptr;

std::atomic<const char*> g_exeName{""};
std::atomic<const char*> g_params{""};
std::once_flag g_installOnce;
std::terminate_handler g_previousTerminate = nullptr;

// Owns the calling thread's alternate stack and releases it when the thread ends.
struct AltStack {
  void* base = nullptr;
  ~AltStack() {
    if (base == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(base, kAltStackSize);
  }
};
thread_local AltStack t_altStack;

void OnFatalSignal(int signo, siginfo_t* si, void* context) {
  const int savedErrno = errno;
  stCrashInfo info;
  info.code = cCrashReport::CodeOfSignal(signo, si ? si->si_code : 0);
  info.signo = signo;
  info.info = si;
  info.context = static_cast<const ucontext_t*>(context);
  GuardFrame* frame = t_frame;
  const char* exe = frame ? frame->exeName : g_exeName.load();
  const char* params = frame ? frame->params : g_params.load();
  const int handled = cCrashReport::Report(info, exe, params);
  if (frame != nullptr && handled == 1) {
    t_frame = frame->prev;
    siglongjmp(frame->jump, 1);
  }
  // Not handled: the default action ends the process. A fault caused by an instruction happens
  // again on return; a signal sent by another process is raised again.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(signo, &dfl, nullptr);
  if (si == nullptr || si->si_code <= 0) ::raise(signo);
  errno = savedErrno;
}

std::string CurrentExceptionText();

// An exception that leaves a thread outside every guarded call (a program's end hook on the main
// thread, say) ends the process through std::terminate: it is reported as one that leaves a
// guarded call is, then the previous handler ends the process as before.
[[noreturn]] void OnTerminate() {
  if (!cCrashReport::Reported()) {
    const std::string text =
        std::current_exception() ? CurrentExceptionText() : "std::terminate without an exception";
    stCrashInfo info;
    info.code = kCrashCppException;
    info.what = text.c_str();
    cCrashReport::Report(info, g_exeName.load(), g_params.load());
  }
  if (g_previousTerminate != nullptr) g_previousTerminate();
  std::abort();
}

void DoInstall() {
  cCrashReport::Prepare();
  g_previousTerminate = std::set_terminate(OnTerminate);
  struct sigaction sa {};
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&sa.sa_mask);
  for (int s : kFatalSignals) ::sigaction(s, &sa, nullptr);
}

std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown C++ exception";
  }
}

}  // namespace

void cCrashGuard::Install() {
  std::call_once(g_installOnce, DoInstall);
}

void cCrashGuard::PrepareThread() {
  if (t_altStack.base != nullptr) return;
  void* base =
      ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  stack_t ss{};
  ss.ss_sp = base;
  ss.ss_size = kAltStackSize;
  if (::sigaltstack(&ss, nullptr) != 0) {
    ::munmap(base, kAltStackSize);
    return;
  }
  t_altStack.base = base;
}

void cCrashGuard::SetNames(const char* exeName, const char* params) {
  // Kept for the life of the process: a handler may be reading the previous ones.
  g_exeName.store(::strdup(exeName ? exeName : ""));
  g_params.store(::strdup(params ? params : ""));
}

int cCrashGuard::Run(void (*body)(void*), void* arg, const char* exeName, const char* params) {
  Install();
  PrepareThread();
  GuardFrame frame;
  frame.exeName = exeName;
  frame.params = params;
  frame.prev = t_frame;
  if (sigsetjmp(frame.jump, 1) != 0) return 1;  // the handler restored t_frame
  t_frame = &frame;
  try {
    body(arg);
  } catch (...) {
    t_frame = frame.prev;
    const std::string text = CurrentExceptionText();
    stCrashInfo info;
    info.code = kCrashCppException;
    info.what = text.c_str();
    if (cCrashReport::Report(info, exeName, params) == 1) return 1;
    throw;
  }
  t_frame = frame.prev;
  return 0;
}
