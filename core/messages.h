// Every text the engine shows its callers, in one place so that code and tests
// agree on the exact bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zentrova::core {

// Gate refusals (failure results).
inline constexpr std::string_view kBadQubitText = "...";
inline constexpr std::string_view kCcnotOutOfScopeText = "input out of scope.";

// Fatal errors.
inline constexpr std::string_view kTargetOutOfScopeText = "target out of scope!";
inline constexpr std::string_view kCapacityOverflowText = "capacity overflow";
inline constexpr std::string_view kRngInitPrefix = "could not initialize ThreadRng: ";
// A draw that reaches the generator of a thread whose thread-local objects are
// already being destroyed.
inline constexpr std::string_view kRngTornDownText =
    "ThreadRng used after its thread began to shut down";

// The refusal of a register that does not fit in the memory the host reports.
inline std::string memory_message(std::uint64_t available, std::uint64_t qubits,
                                  std::uint64_t need) {
  std::string m = "You have ";
  m += std::to_string(available);
  m += " bytes of memory and Not enough memory to simulate ";
  m += std::to_string(qubits);
  m += " qubits! This which needs.. ";
  m += std::to_string(need);
  m += " bytes of memory! This need ";
  m += std::to_string(need - available);
  m += " more memory";
  return m;
}

// Qubit counts of 64 and more: 16 * 2^n cannot even be written in 64 bits.
inline std::string too_many_qubits_message(std::uint64_t qubits) {
  return std::string(kCapacityOverflowText) + ": a register of " + std::to_string(qubits) +
         " qubits needs 16 * 2^" + std::to_string(qubits) +
         " bytes, more than a 64-bit size can hold";
}

inline std::string allocation_failed_message(std::uint64_t qubits, std::uint64_t need) {
  return "could not allocate " + std::to_string(need) + " bytes for a register of " +
         std::to_string(qubits) +
         " qubits: the host reported enough available memory, but the allocation failed";
}

// A read-out buffer that could not be had although the memory check passed.
inline std::string readout_allocation_failed_message(std::string_view what, std::uint64_t need) {
  return "could not allocate " + std::to_string(need) + " bytes for " + std::string(what);
}

// A read-out that would not fit in the memory the host reports (a Python list of
// 2^n floats, or the marginal table of a many-qubit measurement).
inline std::string readout_memory_message(std::string_view what, std::uint64_t available,
                                          std::uint64_t need) {
  return "Not enough memory for " + std::string(what) + ": it needs " + std::to_string(need) +
         " bytes and you have " + std::to_string(available) + " bytes of memory";
}

}  // namespace zentrova::core
