#include "offline/workers.h"

#include <signal.h>

void start_workers(std::vector<std::thread> &threads, unsigned n, const std::function<void()> &work)
{
    for (unsigned i = 0; i < n; ++i)
        threads.emplace_back([work] {
            sigset_t set;
            sigfillset(&set);
            for (int synchronous : {SIGBUS, SIGSEGV, SIGFPE, SIGILL})
                sigdelset(&set, synchronous);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            work();
        });
}

void stop_workers(std::vector<std::thread> &threads, std::mutex &mutex, std::condition_variable &wake,
                  std::atomic<bool> &stop)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    wake.notify_all();
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
}
