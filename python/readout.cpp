// zentrova_readout: a register's probabilities and amplitudes as arrays that
// numpy (or anything speaking the buffer protocol) takes without a copy. A
// second, small module beside zentrova, so that zentrova's own surface stays
// as it is. It holds no engine: the reading, the memory check, the argument
// matching and the entry guard are zentrova's, reached through engine_api.h.
// What it returns is always a copy: nothing a later gate or the register's end
// does reaches it.
//
// Nothing here throws: a C++ exception must not leave this module, and every
// step that could fail with one runs inside zentrova.
#include <cstdint>
#include <cstring>

#include "python/engine_api.h"
#include "python/pyref.h"

namespace zentrova::py {

namespace {

// zentrova's table, found by the execution step; it lives as long as the process.
const EngineApi* g_api = nullptr;

// One owned block of `count` items, exported as a one-dimensional buffer. The
// block never changes size, so exports need no counting.
struct ReadoutBufferObject {
  PyObject_HEAD
  void* data;
  Py_ssize_t shape;   // the item count; exported views point here
  Py_ssize_t stride;  // the item size
};

// What tells the two read-outs apart.
struct Readout {
  // (reg, out=None), matched as CPython matches a function's; its name is the
  // Python function's, and what the copy holds.
  MethodSig sig;
  const char* format;    // struct-module format of one item
  Py_ssize_t itemsize;
  PyTypeObject** type;
  // The entry of EngineApi that writes the register's 2^n items to out, which
  // may have any alignment.
  int (*EngineApi::*fill)(PyObject* reg, void* out) noexcept;
};

PyTypeObject* g_probability_type = nullptr;
PyTypeObject* g_amplitude_type = nullptr;

constexpr const char* kReadoutParams[] = {"reg", "out"};
const Readout kProbabilities = {{"probabilities", kReadoutParams, 2, 1, nullptr},
                                "d",
                                sizeof(double),
                                &g_probability_type,
                                &EngineApi::probabilities};
const Readout kAmplitudes = {{"amplitudes", kReadoutParams, 2, 1, nullptr},
                             "Zd",
                             2 * sizeof(double),
                             &g_amplitude_type,
                             &EngineApi::amplitudes};

// A buffer request's view, released on every way out.
class View {
 public:
  View() = default;
  ~View() {
    if (held_) PyBuffer_Release(&view_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  bool get(PyObject* obj, int flags) {
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// -- arguments ------------------------------------------------------------------

void raise_wrong_type(const Readout& r, const char* param, const char* expected, PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", r.sig.name, param,
               expected, name.get());
}

bool checked_register(const Readout& r, PyObject* obj) {
  PyTypeObject* type = g_api->register_type();
  if (!type) return false;
  if (!PyObject_TypeCheck(obj, type)) {
    raise_wrong_type(r, "reg", "zentrova.QuantumRegister", obj);
    return false;
  }
  return true;
}

// The item formats this host's doubles answer to: bare, native ("@", "=") or
// with this host's byte order spelled out.
bool is_native_format(const char* format, const char* item) {
  if (!format) return false;
  constexpr char kOwnOrder = PY_LITTLE_ENDIAN ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == kOwnOrder || (!PY_LITTLE_ENDIAN && *format == '!')) {
    ++format;
  }
  return std::strcmp(format, item) == 0;
}

const char* expected_out(const Readout& r) {
  return r.itemsize == 8 ? "a writable buffer of float64 ('d')"
                         : "a writable buffer of complex128 ('Zd')";
}

// Takes a writable, C-contiguous view of out whose items are the read-out's and
// whose item count is the register's dimension; refuses anything else before a
// byte of it is written.
bool get_out_view(const Readout& r, PyObject* out, std::uint64_t dimension, View& view) {
  if (!PyObject_CheckBuffer(out)) {
    raise_wrong_type(r, "out", expected_out(r), out);
    return false;
  }
  if (!view.get(out, PyBUF_RECORDS)) {
    // Only the refusal of a writable view is ours to explain; whatever else the
    // exporter raised (its own __buffer__, say) goes to the caller unchanged.
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' is read-only", r.sig.name);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);
    return false;
  }
  if (view->readonly) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' is read-only", r.sig.name);
    return false;
  }
  if (view->itemsize != r.itemsize || !is_native_format(view->format, r.format)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'out' must be %s, not format '%s'",
                 r.sig.name, expected_out(r), view->format ? view->format : "B");
    return false;
  }
  if (!PyBuffer_IsContiguous(&*view, 'C')) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' must be C-contiguous", r.sig.name);
    return false;
  }
  const std::uint64_t items = static_cast<std::uint64_t>(view->len / view->itemsize);
  if (items != dimension) {
    PyErr_Format(PyExc_ValueError,
                 "%s() argument 'out' must hold %llu items, one per basis state, not %llu",
                 r.sig.name, static_cast<unsigned long long>(dimension),
                 static_cast<unsigned long long>(items));
    return false;
  }
  return true;
}

// -- the buffer objects -----------------------------------------------------------

// Takes over block, released with the object or here on failure.
PyObject* new_buffer_object(const Readout& r, void* block, std::uint64_t dimension) {
  PyTypeObject* type = *r.type;
  auto* obj = reinterpret_cast<ReadoutBufferObject*>(type->tp_alloc(type, 0));
  if (!obj) {
    g_api->release_copy(block);
    return nullptr;
  }
  obj->data = block;
  obj->shape = static_cast<Py_ssize_t>(dimension);
  obj->stride = r.itemsize;
  return reinterpret_cast<PyObject*>(obj);
}

template <const Readout& R>
int ReadoutBuffer_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* obj = reinterpret_cast<ReadoutBufferObject*>(self);
  // Writable: the copy is the caller's own, and arrays made from it should
  // behave like any fresh array (and it can be handed back as out).
  view->buf = obj->data;
  view->obj = Py_NewRef(self);
  view->len = obj->shape * obj->stride;
  view->readonly = 0;
  view->itemsize = obj->stride;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(R.format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &obj->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &obj->stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void ReadoutBuffer_dealloc(PyObject* self) noexcept {
  g_api->release_copy(reinterpret_cast<ReadoutBufferObject*>(self)->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t ReadoutBuffer_length(PyObject* self) noexcept {
  return reinterpret_cast<ReadoutBufferObject*>(self)->shape;
}

PyType_Slot ProbabilityBuffer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A copy of a register's probabilities: 2**n float64 values in basis-state "
                    "order,\nexported through the buffer protocol (numpy.asarray takes it "
                    "without a copy).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ReadoutBuffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&ReadoutBuffer_getbuffer<kProbabilities>)},
    {Py_sq_length, reinterpret_cast<void*>(&ReadoutBuffer_length)},
    {0, nullptr},
};

PyType_Slot AmplitudeBuffer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A copy of a register's amplitudes: 2**n complex128 values in basis-state "
                    "order,\nexported through the buffer protocol (numpy.asarray takes it "
                    "without a copy).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ReadoutBuffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&ReadoutBuffer_getbuffer<kAmplitudes>)},
    {Py_sq_length, reinterpret_cast<void*>(&ReadoutBuffer_length)},
    {0, nullptr},
};

constexpr unsigned kBufferFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec ProbabilityBuffer_spec = {
    "zentrova_readout.ProbabilityBuffer", sizeof(ReadoutBufferObject), 0, kBufferFlags,
    ProbabilityBuffer_slots,
};
PyType_Spec AmplitudeBuffer_spec = {
    "zentrova_readout.AmplitudeBuffer", sizeof(ReadoutBufferObject), 0, kBufferFlags,
    AmplitudeBuffer_slots,
};

// -- the two functions ----------------------------------------------------------

template <const Readout& R>
PyObject* readout(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  PyObject* placed[2];
  if (g_api->match_args(&R.sig, args, nargs, kwnames, placed) < 0) return nullptr;
  PyObject* reg = placed[0];
  PyObject* out = placed[1] == Py_None ? nullptr : placed[1];
  if (!checked_register(R, reg)) return nullptr;
  // Taken before out is looked at: its __buffer__ may call back into us.
  HeldRegister borrow(g_api, reg);
  if (!borrow.held()) return nullptr;
  const std::uint64_t dimension = g_api->dimension(reg);

  if (out) {
    View view;
    if (!get_out_view(R, out, dimension, view) || (g_api->*R.fill)(reg, view->buf) < 0) {
      return nullptr;
    }
    borrow.give_back();
    return Py_NewRef(out);  // the view is released after the register
  }

  void* block = g_api->allocate_copy(dimension, static_cast<std::size_t>(R.itemsize), R.sig.name);
  if (!block) return nullptr;
  if ((g_api->*R.fill)(reg, block) < 0) {
    g_api->release_copy(block);
    return nullptr;
  }
  borrow.give_back();
  // Made after the register is given back: creating an object can run
  // Python code, which may use the register again.
  return new_buffer_object(R, block, dimension);
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef readout_functions[] = {
    {"probabilities", as_cfunction(&readout<kProbabilities>), METH_FASTCALL | METH_KEYWORDS,
     "probabilities($module, reg, out=None)\n--\n\n"
     "The probability of every basis state of reg, |a_i|**2, bit for bit as\n"
     "reg.god_observe() gives them. Without out: a new ProbabilityBuffer holding a\n"
     "copy. With out (a writable, C-contiguous float64 buffer of 2**n items): fills\n"
     "it and returns it. The register is not changed."},
    {"amplitudes", as_cfunction(&readout<kAmplitudes>), METH_FASTCALL | METH_KEYWORDS,
     "amplitudes($module, reg, out=None)\n--\n\n"
     "The amplitude of every basis state of reg. Without out: a new AmplitudeBuffer\n"
     "holding a copy. With out (a writable, C-contiguous complex128 buffer of 2**n\n"
     "items): fills it and returns it. The register is not changed."},
    {nullptr, nullptr, 0, nullptr},
};

// -- the module ---------------------------------------------------------------------

int add_type(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
  if (!type) return -1;
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all, py_name.get()) < 0) return -1;
  return PyObject_SetAttr(module, py_name.get(), reinterpret_cast<PyObject*>(type));
}

int readout_exec(PyObject* module) noexcept {
  if (!g_api && !(g_api = import_engine_api("zentrova_readout"))) return -1;
  PyRef all = PyRef::steal(Py_BuildValue("[ss]", "probabilities", "amplitudes"));
  if (!all) return -1;
  if (add_type(module, all.get(), "ProbabilityBuffer",
               g_api->create_type(&g_probability_type, &ProbabilityBuffer_spec,
                                "ProbabilityBuffer")) < 0 ||
      add_type(module, all.get(), "AmplitudeBuffer",
               g_api->create_type(&g_amplitude_type, &AmplitudeBuffer_spec, "AmplitudeBuffer")) <
          0) {
    return -1;
  }
  return PyObject_SetAttrString(module, "__all__", all.get());
}

PyModuleDef_Slot readout_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&readout_exec)},
    {0, nullptr},
};

PyModuleDef readout_module = {
    PyModuleDef_HEAD_INIT,
    "zentrova_readout",
    "A zentrova register's probabilities and amplitudes as arrays: copies that\n"
    "export the buffer protocol, for numpy and the like.",
    0,
    readout_functions,
    readout_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zentrova::py

PyMODINIT_FUNC PyInit_zentrova_readout(void) {
  return PyModuleDef_Init(&zentrova::py::readout_module);
}
