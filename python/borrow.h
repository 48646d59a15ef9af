// Exclusive use of a register for the length of one call, the same in every
// module that reaches a QuantumRegister: taken atomically before any argument
// is converted (a conversion can run Python code that calls back in), given
// back on every path, including a FatalError unwinding towards the entry guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/messages.h"
#include "python/types.h"

namespace zentrova::py {

class Borrow {
 public:
  // Sets RuntimeError("Already borrowed") when the register is in use.
  explicit Borrow(QuantumRegisterObject* obj) : flag_(&obj->borrow) {
    std::intptr_t expected = 0;
    if (!flag_->compare_exchange_strong(expected, kExclusive)) {
      flag_ = nullptr;
      PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
    }
  }
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
