// Linux and other systems with getrandom(2): bytes from the kernel's generator,
// which blocks only until it has been seeded once after boot.
#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <system_error>

#include "core/platform/entropy.h"

namespace zentrova::core::platform {

namespace {

class PosixEntropy final : public EntropySource {
 public:
  std::optional<std::string> fill(EntropyKey& key) override {
    std::size_t got = 0;
    while (got < key.size()) {
      const ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
      if (n < 0) {
        const int error = errno;
        // A signal can interrupt the wait for the first seeding.
        if (error == EINTR) continue;
        return std::system_category().message(error);
      }
      // Reads of up to 256 bytes are not short in practice, but nothing promises it.
      got += static_cast<std::size_t>(n);
    }
    return std::nullopt;
  }
};

}  // namespace

EntropySource& os_entropy() {
  // Never destroyed: a thread may still rekey while static objects are torn down.
  static PosixEntropy& source = *new PosixEntropy;
  return source;
}

}  // namespace zentrova::core::platform
