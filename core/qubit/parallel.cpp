#include "core/qubit/parallel.h"

#include <atomic>
#include <thread>
#include <vector>

namespace zentrova::core {
namespace {

thread_local std::uint64_t t_budget = 1;
std::atomic<std::uint64_t> g_started{0};

}  // namespace

std::uint64_t threads_started() { return g_started.load(std::memory_order_relaxed); }

std::uint64_t thread_budget() { return t_budget; }

ScopedThreads::ScopedThreads(std::uint64_t threads) : previous_(t_budget) {
  t_budget = threads == 0 ? 1 : threads;
}

ScopedThreads::~ScopedThreads() { t_budget = previous_; }

void parallel_ranges(std::uint64_t workers, std::uint64_t count,
                     void (*work)(void*, std::uint64_t, std::uint64_t, std::uint64_t),
                     void* context) {
  if (workers > count) workers = count;
  if (workers <= 1) {
    if (count != 0) work(context, 0, 0, count);
    return;
  }
  // Ranges of a few items each, taken in turn by whichever thread is free, so
  // a thread slowed by the machine leaves its share to the others.
  const std::uint64_t step = count / (workers * 8) + 1;
  std::atomic<std::uint64_t> next{0};
  auto run = [&](std::uint64_t worker) {
    for (;;) {
      const std::uint64_t first = next.fetch_add(step, std::memory_order_relaxed);
      if (first >= count) return;
      const std::uint64_t end = count - first < step ? count : first + step;
      work(context, worker, first, end);
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (std::uint64_t w = 1; w < workers; ++w) {
    try {
      threads.emplace_back(run, w);
      g_started.fetch_add(1, std::memory_order_relaxed);
    } catch (...) {
      break;  // fewer threads: the ones there take the rest
    }
  }
  run(0);
  for (std::thread& t : threads) t.join();
}

}  // namespace zentrova::core
