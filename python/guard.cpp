// The entry guard's conversions and the PanicException type.
#include "python/guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "python/messages.h"
#include "python/pyref.h"

namespace zentrova::py {

thread_local int NestingScope::depth_ = 0;

namespace {

PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_uncaught() {
  std::fputs(kUncaughtPanic, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

void report(const char* file, int line, std::string_view message) {
  std::string text = "zentrova: fatal error on thread " +
                     std::to_string(PyThread_get_thread_ident()) + " at " + file + ":" +
                     std::to_string(line) + ": ";
  text.append(message);
  text += '\n';
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  // Failing to create the type while converting a fatal error leaves nothing to
  // raise: the process ends rather than return a half-reported failure.
  if (!type) abort_uncaught();
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "replace");
  if (!text) abort_uncaught();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// The lookup and creation behind panic_exception_type, with no exception pending
// on entry: a new reference, or null with an exception set.
PyObject* find_or_create_panic_type() {
  // Null (without an exception) only where the interpreter keeps no dictionary:
  // the type is then this module's own.
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyRef key = PyRef::steal(PyUnicode_FromString(kPanicTypeKey));
  if (!key) return nullptr;
  PyObject* type = shared ? PyDict_GetItemWithError(shared, key.get()) : nullptr;  // borrowed
  if (type) return Py_NewRef(type);
  if (PyErr_Occurred()) return nullptr;
  PyRef created = PyRef::steal(
      PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc, PyExc_BaseException, nullptr));
  if (!created || !shared) return created.release();
  // Creation can run Python code (a collection) and so let another thread in;
  // whichever type was stored first is the only one ever seen.
  return Py_XNewRef(PyDict_SetDefault(shared, key.get(), created.get()));
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type) return g_panic_type;
  // Kept in the interpreter's own dictionary, which Python code cannot reach,
  // so that the type stays one per interpreter even if this module is loaded
  // again from another file (a second install on the path). Companion modules
  // raise it through zentrova's entries, never by themselves.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* type = find_or_create_panic_type();
  if (!type) {
    Py_XDECREF(pending);
    return nullptr;
  }
  if (g_panic_type) {
    Py_DECREF(type);
  } else {
    g_panic_type = type;  // kept for the life of the process
  }
  PyErr_SetRaisedException(pending);
  return g_panic_type;
}

void convert_fatal(const core::FatalError& error) noexcept {
  try {
    report(error.file(), error.line(), error.message());
  } catch (...) {
    // The report is best effort; the exception below is what the caller sees.
  }
  raise_panic(error.message().c_str());
}

void convert_unknown(const char* what) noexcept {
  const char* message = what && *what ? what : kGenericFatal;
  try {
    report("?", 0, message);
  } catch (...) {
  }
  raise_panic(message);
}

void fail_creation() {
  PyErr_WriteUnraisable(nullptr);
  ZV_FATAL(kObjectCreationFailed);
}

}  // namespace zentrova::py
