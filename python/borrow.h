// Exclusive use of a register for the length of one call, the same in every
// module that reaches a QuantumRegister: taken atomically before any argument
// is converted (a conversion can run Python code that calls back in), given
// back on every path, including a FatalError unwinding towards the entry guard.
// Companion modules reach a register's flag through zentrova (engine_api.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/messages.h"

namespace zentrova::py {

// 0: free; -1 (all bits set): in exclusive use; k > 0: k shared uses.
using BorrowFlag = std::atomic<std::intptr_t>;
inline constexpr std::intptr_t kExclusive = -1;

class Borrow {
 public:
  // Sets RuntimeError("Already borrowed") when the register is in use.
  explicit Borrow(BorrowFlag* flag) : flag_(flag) {
    std::intptr_t expected = 0;
    if (!flag_->compare_exchange_strong(expected, kExclusive)) {
      flag_ = nullptr;
      PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
    }
  }
  // An object holding its flag as `borrow` (QuantumRegisterObject).
  template <class Object>
  explicit Borrow(Object* obj) : Borrow(&obj->borrow) {}
  ~Borrow() { give_back(); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool held() const { return flag_ != nullptr; }
  void give_back() {
    if (flag_) flag_->store(0);
    flag_ = nullptr;
  }

 private:
  BorrowFlag* flag_;
};

}  // namespace zentrova::py
