// Small helpers that several engine test files share.
#pragma once

#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "core/qubit/register.h"

namespace zentrova::core::test_support {

// The message of the FatalError that call() throws, or "no fatal error".
std::string fatal_text_of(auto&& call) {
  try {
    call();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no fatal error";
}

// The register's amplitudes as bytes, to show that a pass changed none of them.
inline std::vector<unsigned char> raw_bytes(Register& reg) {
  const auto* p = reinterpret_cast<const unsigned char*>(reg.amplitudes());
  return std::vector<unsigned char>(p, p + reg.dimension() * sizeof(Amplitude));
}

}  // namespace zentrova::core::test_support
