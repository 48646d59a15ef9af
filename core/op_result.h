// The result of a gate: success refers to the register that was worked on, a
// refusal owns its message. Callers must look at it, so it is [[nodiscard]].
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace zentrova::core {

class Register;

class [[nodiscard]] OpResult {
 public:
  static OpResult success(Register& reg) { return OpResult(&reg, {}); }
  static OpResult failure(std::string_view message) {
    return OpResult(nullptr, std::string(message));
  }

  bool ok() const { return reg_ != nullptr; }
  // Valid only when ok().
  Register& reg() const { return *reg_; }
  // Empty on success.
  const std::string& message() const { return message_; }

 private:
  OpResult(Register* reg, std::string message) : reg_(reg), message_(std::move(message)) {}

  Register* reg_;
  std::string message_;
};

}  // namespace zentrova::core
