// Argument matching and conversion. The messages follow CPython's own wording
// closely, but are ours: the private _PyArg helpers differ in detail.
#include "python/args.h"

#include <algorithm>
#include <string>

#include "python/messages.h"
#include "python/pyref.h"

namespace zentrova::py {

namespace {

std::string full_name(const MethodSig& sig) {
  return (sig.owner ? std::string(sig.owner) + "." : std::string()) + sig.name + "()";
}

Py_ssize_t required(const MethodSig& sig) { return sig.count - sig.optional; }

void raise_too_many(const MethodSig& sig, Py_ssize_t given) {
  const std::string takes = sig.optional == 0 ? std::to_string(sig.count)
                                               : "from " + std::to_string(required(sig)) +
                                                     " to " + std::to_string(sig.count);
  std::string m = full_name(sig) + " takes " + takes +
                  " positional arguments but " + std::to_string(given) +
                  (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, m.c_str());
}

void raise_unexpected_keyword(const MethodSig& sig, PyObject* key) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               full_name(sig).c_str(), text.get());
}

void raise_multiple_values(const MethodSig& sig, Py_ssize_t index) {
  std::string m = full_name(sig) + " got multiple values for argument '" + sig.params[index] + "'";
  PyErr_SetString(PyExc_TypeError, m.c_str());
}

void raise_missing(const MethodSig& sig, PyObject* const* out) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < required(sig); ++i) {
    if (!out[i]) missing.push_back(sig.params[i]);
  }
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        names += " and ";
      } else {
        names += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    names += std::string("'") + missing[i] + "'";
  }
  std::string m = full_name(sig) + " missing " + std::to_string(missing.size()) +
                  " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                  ": " + names;
  PyErr_SetString(PyExc_TypeError, m.c_str());
}

// Index of the parameter a keyword names, or -1.
Py_ssize_t find_param(const MethodSig& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
  }
  return -1;
}

// Shared by both calling conventions once positionals are placed.
bool place_keyword(const MethodSig& sig, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t i = find_param(sig, key);
  if (i < 0) {
    raise_unexpected_keyword(sig, key);
    return false;
  }
  if (out[i]) {
    raise_multiple_values(sig, i);
    return false;
  }
  out[i] = value;
  return true;
}

bool place_positionals(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject** out) {
  if (nargs > sig.count) {
    raise_too_many(sig, nargs);
    return false;
  }
  std::fill(out, out + sig.count, nullptr);
  std::copy(args, args + nargs, out);
  return true;
}

bool check_complete(const MethodSig& sig, PyObject* const* out) {
  for (Py_ssize_t i = 0; i < required(sig); ++i) {
    if (!out[i]) {
      raise_missing(sig, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool match_args(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  if (!place_positionals(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_complete(sig, out);
}

bool match_args_tuple(const MethodSig& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!place_positionals(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
  if (kwargs) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_complete(sig, out);
}

void raise_type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", kTypeNameFailed,
                 expected);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void rewrite_arg_error(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) return;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyRef original = PyRef::steal(raised);
  PyRef text = PyRef::steal(PyObject_Str(raised));
  if (!text) return;  // the failure of str() is the exception now
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(raised)) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  PyErr_SetRaisedException(renamed.release());
}

bool to_qubit(PyObject* obj, std::uint64_t* out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_angle(PyObject* obj, double* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_matrix4(PyObject* const* objs, core::Matrix2* out, int* bad) {
  for (int i = 0; i < 4; ++i) {
    if (!PyComplex_Check(objs[i])) {
      raise_type_mismatch(objs[i], "complex");
      *bad = i;
      return false;
    }
  }
  // Instances of complex, subclasses included: the stored value is read, as
  // PyComplex_RealAsDouble and PyComplex_ImagAsDouble would read it, without
  // their eight calls, and no user code runs.
  core::Amplitude* entries[4] = {&out->m00, &out->m01, &out->m10, &out->m11};
  for (int i = 0; i < 4; ++i) {
    const Py_complex value = reinterpret_cast<PyComplexObject*>(objs[i])->cval;
    entries[i]->re = value.real;
    entries[i]->im = value.imag;
  }
  return true;
}

bool to_index_list(PyObject* obj, std::vector<std::uint64_t>* out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kStrToVec);
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_type_mismatch(obj, "Sequence");
    return false;
  }
  // The size only reserves room, and never more than a register could use: a
  // __len__ may return anything, and the list grows past it as items arrive.
  constexpr Py_ssize_t kMaxReserve = 4096;
  std::vector<std::uint64_t> items;
  const auto take = [&](PyObject* item) {
    std::uint64_t value;
    if (!to_qubit(item, &value)) return false;
    items.push_back(value);
    return true;
  };
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // The common case, read in place: what their iterators would do, at a
    // fraction of the cost. The size is read again at every item, as a list's
    // iterator does, since an item's __index__ may change the list.
    const bool list = PyList_CheckExact(obj);
    const auto size = [&] { return list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj); };
    items.reserve(static_cast<std::size_t>(std::min(size(), kMaxReserve)));
    for (Py_ssize_t i = 0; i < size(); ++i) {
      PyRef item = PyRef::borrow(list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i));
      if (!take(item.get())) return false;
    }
  } else {
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
      // A failing __len__ costs only the hint; but an interrupt or exit request
      // raised meanwhile is the user's, and is not swallowed with it.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();
      hint = 0;
    }
    items.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    for (;;) {
      PyRef item = PyRef::steal(PyIter_Next(iter.get()));
      if (!item) {
        if (PyErr_Occurred()) return false;
        break;
      }
      if (!take(item.get())) return false;
    }
  }
  *out = std::move(items);
  return true;
}

}  // namespace zentrova::py
