#include "core/parallel/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace tavrik {

namespace {

std::atomic<StopFlag*> g_flag{nullptr};
volatile sig_atomic_t g_signal = 0;

void OnStopSignal(int signal) {
  if (g_signal == 0) g_signal = signal;
  if (StopFlag* flag = g_flag.load()) flag->Request(StopReason::kSignal);
}

}  // namespace

void CatchStopSignals(StopFlag& flag) {
  g_flag.store(&flag);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: a stop is polled between steps, never seen as a failed read. The
  // handler goes after its first signal, so a second one ends a run that hangs.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int CaughtStopSignal() { return g_signal; }

void DieBySignal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  // A signal whose default is not to end the process: end it with the shell's figure.
  std::_Exit(128 + signal);
}

}  // namespace tavrik
