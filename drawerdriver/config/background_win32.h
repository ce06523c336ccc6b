// Threads the library starts for itself. Windows has no asynchronous
// signals that could land on them: a plain thread will do.
#pragma once

#include <thread>
#include <utility>

namespace drawerdriver {

template<typename Work> std::thread backgroundThread(Work &&work)
{
    return std::thread(std::forward<Work>(work));
}

} // namespace drawerdriver
