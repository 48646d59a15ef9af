// The operating system's entropy source: 32 random bytes at a time, to key and
// rekey each thread's generator. Each operating system has its own body of
// this header; tests hand a generator their own source instead.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zentrova::core::platform {

using EntropyKey = std::array<std::uint8_t, 32>;

class EntropySource {
 public:
  virtual ~EntropySource() = default;

  // Fills `key` completely and returns nothing, or returns the source's error
  // text; on failure the contents of `key` are unspecified.
  [[nodiscard]] virtual std::optional<std::string> fill(EntropyKey& key) = 0;
};

// The process-wide source of the host; it keeps no state and may be used from
// any thread.
EntropySource& os_entropy();

}  // namespace zentrova::core::platform
