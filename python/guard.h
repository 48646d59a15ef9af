// The entry guard. Every function CPython calls in this module runs its body
// through guarded(); Python errors travel the CPython way (null or -1 with the
// exception set) and only C++ exceptions travel by unwinding, which must never
// cross a C frame. A FatalError becomes PanicException after a report on stderr.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "core/fatal_error.h"

namespace zentrova::py {

// How deep the current thread is inside the module's entries.
class NestingScope {
 public:
  NestingScope() { ++depth_; }
  ~NestingScope() { --depth_; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
  static int depth() { return depth_; }

 private:
  static thread_local int depth_;
};

// The process-wide PanicException type, created on first need; null with an
// exception set if it cannot be created.
PyObject* panic_exception_type();

// Each sets the thread's current exception; never throws.
void convert_fatal(const core::FatalError& error) noexcept;
void convert_unknown(const char* what) noexcept;

template <class Ret, class Body>
Ret guarded(Ret on_error, Body&& body) noexcept {
  NestingScope scope;
  try {
    return body();
  } catch (const core::FatalError& error) {
    convert_fatal(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    convert_unknown(error.what());
  } catch (...) {
    convert_unknown(nullptr);
  }
  return on_error;
}

// Destructors have no caller to raise to: a fatal error is converted and then
// reported as unraisable, and whatever exception was pending stays pending.
template <class Body>
void guarded_dealloc(PyObject* self, Body&& body) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  if (guarded(-1, [&] { body(); return 0; }) < 0) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

// Reports a pending Python exception as unraisable, then stops the current call
// with a fatal error; for the interpreter failing to create an object.
[[noreturn]] void fail_creation();

}  // namespace zentrova::py
