// PyDiracKet: the immutable outcome of one measurement, shown as a ket of
// binary digits, most significant (highest qubit) first.
#include <algorithm>
#include <cstdint>
#include <string>

#include "python/guard.h"
#include "python/args.h"
#include "python/messages.h"
#include "python/pyref.h"
#include "python/types.h"

namespace zentrova::py {

namespace {

PyTypeObject* g_type = nullptr;

PyObject* PyDiracKet_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTypeObject* type = require_type(&dirac_ket_type, "PyDiracKet");
    if (!PyObject_TypeCheck(self, type)) {
      raise_type_mismatch(self, "PyDiracKet");
      return nullptr;
    }
    auto* obj = reinterpret_cast<PyDiracKetObject*>(self);
    std::intptr_t seen = obj->borrow.load();
    do {
      if (seen == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
        return nullptr;
      }
    } while (!obj->borrow.compare_exchange_weak(seen, seen + 1));

    const std::uint64_t value = obj->ket.value;
    std::uint64_t digits = 1;
    while (digits < 64 && (value >> digits) != 0) ++digits;
    const std::uint64_t width = std::max(digits, obj->ket.width);
    std::string text;
    text.reserve(static_cast<std::size_t>(width) + 2);
    text += '|';
    text.append(static_cast<std::size_t>(width - digits), '0');
    for (std::uint64_t d = digits; d-- > 0;) text += ((value >> d) & 1) ? '1' : '0';
    text += '>';
    obj->borrow.fetch_sub(1);

    PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!result) fail_creation();
    return result;
  });
}

void PyDiracKet_dealloc(PyObject* self) {
  guarded_dealloc(self, [&] {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyType_Slot PyDiracKet_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&PyDiracKet_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&PyDiracKet_dealloc)},
    {0, nullptr},
};

PyType_Spec PyDiracKet_spec = {
    "builtins.PyDiracKet",
    sizeof(PyDiracKetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    PyDiracKet_slots,
};

}  // namespace

PyTypeObject* dirac_ket_type() {
  if (!g_type) g_type = create_type_once(&g_type, &PyDiracKet_spec, "PyDiracKet");
  return g_type;
}

PyObject* new_dirac_ket(const core::Ket& ket) {
  PyTypeObject* type = require_type(&dirac_ket_type, "PyDiracKet");
  PyRef empty = PyRef::steal(PyTuple_New(0));
  if (!empty) fail_creation();
  // The type has no constructor of its own; object's allocates the instance.
  PyObject* obj = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
  if (!obj) return nullptr;
  auto* ket_obj = reinterpret_cast<PyDiracKetObject*>(obj);
  ket_obj->ket = ket;
  new (&ket_obj->borrow) BorrowFlag(0);
  return obj;
}

}  // namespace zentrova::py
