// Threads the library starts for itself: the host's asynchronous signals are
// blocked in them, so that a signal meant for the host never lands on a
// worker, cuts its waits short or runs the host's handler there.
#pragma once

#include <csignal>
#include <thread>
#include <utility>

#include <pthread.h>

namespace drawerdriver {

template<typename Work> std::thread backgroundThread(Work &&work)
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    // Faults are the thread's own and must still reach it.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
        sigdelset(&all, fault);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    struct Restore {
        sigset_t mask;
        ~Restore() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore {before};
    return std::thread(std::forward<Work>(work));
}

} // namespace drawerdriver
