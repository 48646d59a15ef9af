// Argument handling shared by the constructor and every method: matching
// positional and keyword arguments to parameters, the four converters, and the
// messages of both. Converters return false with the Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/qubit/register.h"

namespace zentrova::py {

inline constexpr Py_ssize_t kMaxParams = 6;

struct MethodSig {
  const char* name;            // "h", or "__new__" for the constructor
  const char* const* params;   // parameter names in order
  Py_ssize_t count;            // all required
};

// Places the arguments of a vectorcall into out[0 .. sig.count) (borrowed).
bool match_args(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional keyword dictionary.
bool match_args_tuple(const MethodSig& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// TypeError "'<qualname>' object is not an instance of '<expected>'".
void raise_type_mismatch(PyObject* obj, const char* expected);

// Puts the parameter's name in front of a pending exception of exactly
// TypeError; any other exception is left as it is.
void rewrite_arg_error(const char* param);

bool to_qubit(PyObject* obj, std::uint64_t* out);
bool to_angle(PyObject* obj, double* out);
// Four type checks first, then eight reads; on failure *bad is the offset of
// the entry that failed.
bool to_matrix4(PyObject* const* objs, core::Matrix2* out, int* bad);
bool to_index_list(PyObject* obj, std::vector<std::uint64_t>* out);

}  // namespace zentrova::py
