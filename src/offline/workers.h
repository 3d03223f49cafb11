// Threads that work for the walk's thread: signals stay with the walk's
// thread, which stops between changes.
#ifndef VESKACURE_OFFLINE_WORKERS_H
#define VESKACURE_OFFLINE_WORKERS_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Starts n threads, each running work with every signal blocked but those a
// fault raises in the thread itself (SIGBUS from a file cut while mapped, say).
void start_workers(std::vector<std::thread> &threads, unsigned n, const std::function<void()> &work);

// Sets stop under the mutex, wakes the threads waiting on wake and joins them.
void stop_workers(std::vector<std::thread> &threads, std::mutex &mutex, std::condition_variable &wake,
                  std::atomic<bool> &stop);

#endif
