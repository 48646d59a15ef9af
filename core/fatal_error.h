// Fatal errors: an operation that cannot go on unwinds with FatalError up to the
// Python entry guard, which turns it into PanicException. The engine never
// prints, exits or aborts; everything it owns is released by the unwinding.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace zentrova::core {

class FatalError : public std::exception {
 public:
  FatalError(std::string message, const char* file, int line)
      : message_(std::move(message)), file_(file ? file : "?"), line_(line) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

 private:
  std::string message_;
  const char* file_;
  int line_;
};

[[noreturn]] inline void fatal(std::string message, const char* file = nullptr, int line = 0) {
  throw FatalError(std::move(message), file, line);
}

}  // namespace zentrova::core

#define ZV_FATAL(msg) ::zentrova::core::fatal((msg), __FILE__, __LINE__)
