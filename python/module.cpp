// The module's front door: the one exported symbol, the execution step that
// publishes the two classes, and the creation of their type objects.
#include <string>

#include "python/args.h"
#include "python/engine_api.h"
#include "python/guard.h"
#include "python/messages.h"
#include "python/pyref.h"
#include "python/types.h"

namespace zentrova::py {

PyTypeObject* create_type_once(PyTypeObject** slot, PyType_Spec* type_spec,
                               const char* class_name) {
  PyObject* type = PyType_FromSpec(type_spec);
  if (type) {
    if (*slot) {
      Py_DECREF(type);
      return *slot;
    }
    return reinterpret_cast<PyTypeObject*>(type);
  }
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_Format(PyExc_RuntimeError, "%s%s", kClassInitFailedPrefix, class_name);
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);  // steals cause (null allowed)
  PyErr_SetRaisedException(error);
  return nullptr;
}

PyTypeObject* require_type(PyTypeObject* (*get)(), const char* class_name) {
  PyTypeObject* type = get();
  if (type) return type;
  PyErr_WriteUnraisable(nullptr);
  ZV_FATAL(std::string(kTypeObjectFailedPrefix) + class_name + "`");
}

namespace {

int register_class(PyObject* module, const char* name, PyTypeObject* (*get)()) {
  PyTypeObject* type = get();
  if (!type) return -1;
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name) return -1;

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), py_name.get()) < 0) ZV_FATAL(kAppendToAllFailed);
  return PyObject_SetAttr(module, py_name.get(), reinterpret_cast<PyObject*>(type));
}

int zentrova_exec(PyObject* module) {
  return guarded(-1, [&]() -> int {
    if (!module) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionSet);
      return -1;
    }
    if (!PyModule_Check(module)) {
      raise_type_mismatch(module, "module");
      return -1;
    }
    if (register_class(module, "QuantumRegister", &quantum_register_type) < 0) return -1;
    if (register_class(module, "PyDiracKet", &dirac_ket_type) < 0) return -1;
    // For companion modules; nothing of it shows among the module's attributes.
    return publish_engine_api();
  });
}

PyModuleDef_Slot zentrova_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&zentrova_exec)},
    {0, nullptr},
};

PyModuleDef zentrova_module = {
    PyModuleDef_HEAD_INIT,
    "zentrova",
    "",
    0,
    nullptr,
    zentrova_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zentrova::py

PyMODINIT_FUNC PyInit_zentrova(void) {
  return PyModuleDef_Init(&zentrova::py::zentrova_module);
}
