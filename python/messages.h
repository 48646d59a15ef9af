// Every text the Python layer shows, in one place so that code and tests agree
// on the exact bytes.
#pragma once

namespace zentrova::py {

inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr const char kObjectCreationFailed[] = "PyObject pointer is null";
inline constexpr const char kAppendToAllFailed[] = "could not append __name__ to __all__";
inline constexpr const char kClassInitFailedPrefix[] = "An error occurred while initializing class ";
inline constexpr const char kTypeObjectFailedPrefix[] = "failed to create type object for `";
inline constexpr const char kNewExceptionFailed[] = "Failed to initialize new exception type.";
inline constexpr const char kUncaughtPanic[] = "uncaught panic at ffi boundary";
inline constexpr const char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr const char kTypeNameFailed[] = "failed to extract type name";
inline constexpr const char kPanicTypeName[] = "pyo3_runtime.PanicException";
// Where the PanicException type is kept in the interpreter's dictionary.
inline constexpr const char kPanicTypeKey[] = "zentrova.PanicException";
inline constexpr const char kPanicTypeDoc[] =
    "Raised when zentrova's own code fails fatally while it is called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "usually propagates through the whole stack and ends the interpreter; catch it\n"
    "explicitly (or catch BaseException) to recover.";
// For C++ exceptions that carry no text of their own.
inline constexpr const char kGenericFatal[] = "zentrova: an internal error occurred";

}  // namespace zentrova::py
