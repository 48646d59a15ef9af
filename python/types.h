// The two classes' instance layouts and their process-wide type objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/qubit/register.h"
#include "python/borrow.h"

namespace zentrova::py {

struct QuantumRegisterObject {
  PyObject_HEAD
  core::Register reg;
  BorrowFlag borrow;
};

struct PyDiracKetObject {
  PyObject_HEAD
  core::Ket ket;
  BorrowFlag borrow;
};

static_assert(alignof(QuantumRegisterObject) <= 16, "CPython aligns objects to 16 bytes");
static_assert(alignof(PyDiracKetObject) <= 16, "CPython aligns objects to 16 bytes");

// The cached type object, created on first need; null with RuntimeError
// ("An error occurred while initializing class ...") set on failure.
PyTypeObject* quantum_register_type();
PyTypeObject* dirac_ket_type();

// As above, for methods that cannot go on without the type: a failure is
// reported as unraisable and becomes a fatal error.
PyTypeObject* require_type(PyTypeObject* (*get)(), const char* class_name);

// A new PyDiracKet holding the ket.
PyObject* new_dirac_ket(const core::Ket& ket);

// Creates a heap type from its PyType_Spec, or sets the class-initialisation error.
// Creation can run Python code and so let another thread in: whichever type
// reaches *slot first is kept, so only one type object is ever seen.
PyTypeObject* create_type_once(PyTypeObject** slot, PyType_Spec* type_spec,
                               const char* class_name);

}  // namespace zentrova::py
