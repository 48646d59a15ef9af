// Threads for a register's passes. The module's own methods never start one:
// a register uses more than its caller's thread only while a ScopedThreads on
// that thread allows it (the program runner sets one, with the interpreter
// lock released). The work is split into items whose results do not depend on
// which thread runs them or in what order (the tiles of a pass: each amplitude
// meets the same operations whichever thread holds its tile), so a state has
// the same bits on any number of threads.
#pragma once

#include <cstdint>

namespace zentrova::core {

// The threads work on this thread's behalf may use: 1 unless a ScopedThreads
// says otherwise.
std::uint64_t thread_budget();

class ScopedThreads {
 public:
  explicit ScopedThreads(std::uint64_t threads);
  ~ScopedThreads();
  ScopedThreads(const ScopedThreads&) = delete;
  ScopedThreads& operator=(const ScopedThreads&) = delete;

 private:
  std::uint64_t previous_;
};

// Calls work(worker, first, end) for consecutive ranges [first, end) that
// together cover [0, count) once each, on `workers` threads (the caller's
// among them; worker is 0 .. workers-1, each a thread of its own, so it may
// index scratch space). Returns when every range is done. work must not
// throw. Threads are started for the call and joined before it returns: a
// pass over a large state takes milliseconds, starting a thread microseconds,
// and nothing outlives the call (no pool to stop at exit or after a fork).
void parallel_ranges(std::uint64_t workers, std::uint64_t count,
                     void (*work)(void* context, std::uint64_t worker, std::uint64_t first,
                                  std::uint64_t end),
                     void* context);

// How many threads parallel_ranges has started in this process, for tests
// that hold the module's own methods to starting none.
std::uint64_t threads_started();

// The same with a callable.
template <class Work>
void parallel_ranges(std::uint64_t workers, std::uint64_t count, Work& work) {
  parallel_ranges(
      workers, count,
      [](void* context, std::uint64_t worker, std::uint64_t first, std::uint64_t end) {
        (*static_cast<Work*>(context))(worker, first, end);
      },
      &work);
}

}  // namespace zentrova::core
