// Seams of the read-outs for tests: the host memory figure that the large
// read-out buffers are checked against. Production code never includes this.
#pragma once

#include <cstdint>

namespace zentrova::core {

// While one of these lives, read-outs on the constructing thread take `bytes`
// as the host's available memory instead of asking the host, and check every
// buffer against it, however small.
class ScopedMemoryFigureForTesting {
 public:
  explicit ScopedMemoryFigureForTesting(std::uint64_t bytes);
  ~ScopedMemoryFigureForTesting();
  ScopedMemoryFigureForTesting(const ScopedMemoryFigureForTesting&) = delete;
  ScopedMemoryFigureForTesting& operator=(const ScopedMemoryFigureForTesting&) = delete;

 private:
  bool had_previous_;
  std::uint64_t previous_;
};

}  // namespace zentrova::core
