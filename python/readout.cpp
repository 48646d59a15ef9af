// zentrova_readout: a register's probabilities and amplitudes as arrays that
// numpy (or anything speaking the buffer protocol) takes without a copy. A
// second, small module beside zentrova, built from the same engine, guard and
// memory check, so that zentrova's own surface stays as it is. What it returns
// is always a copy: nothing a later gate or the register's end does reaches it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/qubit/register.h"
#include "python/borrow.h"
#include "python/guard.h"
#include "python/messages.h"
#include "python/pyref.h"
#include "python/readout_fits.h"
#include "python/types.h"

namespace zentrova::py {

namespace {

// zentrova.QuantumRegister, looked up by the execution step; a strong reference
// kept for the life of the process, as zentrova keeps its own types.
PyTypeObject* g_register_type = nullptr;

// One owned block of `count` items, exported as a one-dimensional buffer. The
// block never changes size, so exports need no counting.
struct ReadoutBufferObject {
  PyObject_HEAD
  void* data;
  Py_ssize_t shape;   // the item count; exported views point here
  Py_ssize_t stride;  // the item size
};

struct Block {
  void operator()(void* p) const noexcept { core::release_amplitudes(p); }
};
using BlockPtr = std::unique_ptr<void, Block>;

// What tells the two read-outs apart.
struct Readout {
  const char* function;  // the Python function's name, and what the copy holds
  const char* format;    // struct-module format of one item
  Py_ssize_t itemsize;
  PyTypeObject** type;
  // Writes the register's 2^n items to out, which may have any alignment.
  void (*fill)(core::Register& reg, void* out);
};

PyTypeObject* g_probability_type = nullptr;
PyTypeObject* g_amplitude_type = nullptr;

// Probabilities begin .. begin+count-1 into out, through an aligned chunk.
void fill_chunked(core::Register& reg, unsigned char* out, std::uint64_t begin,
                  std::uint64_t count) {
  alignas(kReadoutChunkAlignment) double chunk[kReadoutChunk];
  for (std::uint64_t done = 0; done < count; done += kReadoutChunk) {
    const std::uint64_t part = std::min(kReadoutChunk, count - done);
    reg.god_observe(begin + done, part, chunk);
    std::memcpy(out + done * sizeof(double), chunk, part * sizeof(double));
  }
}

void fill_probabilities(core::Register& reg, void* out) {
  // Where the kernels store a probability decides which of their paths computes
  // it (one at a time up to a vector boundary of the destination and in the
  // last partial vector, whole vectors between), and the paths may differ in
  // the sign of a NaN. god_observe fills chunks aligned for the widest vector,
  // so every probability comes from whole vectors there; so it must here.
  constexpr std::uint64_t kGroup = kReadoutChunkAlignment / sizeof(double);
  const std::uint64_t dimension = reg.dimension();
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  auto* bytes = static_cast<unsigned char*>(out);
  if (address % alignof(double) != 0 || dimension < 2 * kGroup) {
    fill_chunked(reg, bytes, 0, dimension);
    return;
  }
  // Most go straight to out from its first vector boundary on; the few before
  // it and after its last whole vector are taken from whole aligned groups.
  const std::uint64_t head =
      (kReadoutChunkAlignment - address % kReadoutChunkAlignment) % kReadoutChunkAlignment /
      sizeof(double);
  const std::uint64_t body = (dimension - head) / kGroup * kGroup;
  const std::uint64_t tail = dimension - head - body;
  auto* d = static_cast<double*>(out);
  alignas(kReadoutChunkAlignment) double group[kGroup];
  if (head != 0) {
    reg.god_observe(0, kGroup, group);
    std::memcpy(d, group, head * sizeof(double));
  }
  reg.god_observe(head, body, d + head);
  if (tail != 0) {
    reg.god_observe(dimension - kGroup, kGroup, group);
    std::memcpy(d + dimension - tail, group + kGroup - tail, tail * sizeof(double));
  }
}

void fill_amplitudes(core::Register& reg, void* out) {
  // Read through the accessor every time: it is where the register settles
  // anything it has not yet applied to its amplitudes.
  std::memcpy(out, reg.amplitudes(), reg.dimension() * sizeof(core::Amplitude));
}

const Readout kProbabilities = {"probabilities", "d", sizeof(double), &g_probability_type,
                                &fill_probabilities};
const Readout kAmplitudes = {"amplitudes", "Zd", sizeof(core::Amplitude), &g_amplitude_type,
                             &fill_amplitudes};

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

// (reg, out=None), matched the way CPython matches a Python function's.
bool match_reg_out(const Readout& r, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** reg, PyObject** out) {
  static const char* const kParams[] = {"reg", "out"};
  PyObject* placed[2] = {nullptr, nullptr};
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from 1 to 2 positional arguments but %zd were given", r.function,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) placed[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int i = 0;
    while (i < 2 && PyUnicode_CompareWithASCIIString(key, kParams[i]) != 0) ++i;
    if (i == 2) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", r.function,
                   key);
      return false;
    }
    if (placed[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", r.function,
                   kParams[i]);
      return false;
    }
    placed[i] = args[nargs + k];
  }
  if (!placed[0]) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'reg'",
                 r.function);
    return false;
  }
  *reg = placed[0];
  *out = placed[1] == Py_None ? nullptr : placed[1];
  return true;
}

void raise_wrong_type(const Readout& r, const char* param, const char* expected, PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", r.function, param,
               expected, name.get());
}

QuantumRegisterObject* checked_register(const Readout& r, PyObject* obj) {
  if (!PyObject_TypeCheck(obj, g_register_type)) {
    raise_wrong_type(r, "reg", "zentrova.QuantumRegister", obj);
    return nullptr;
  }
  return reinterpret_cast<QuantumRegisterObject*>(obj);
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
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' is read-only", r.function);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);
    return false;
  }
  if (view->readonly) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' is read-only", r.function);
    return false;
  }
  if (view->itemsize != r.itemsize || !is_native_format(view->format, r.format)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'out' must be %s, not format '%s'",
                 r.function, expected_out(r), view->format ? view->format : "B");
    return false;
  }
  if (!PyBuffer_IsContiguous(&*view, 'C')) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' must be C-contiguous", r.function);
    return false;
  }
  const std::uint64_t items = static_cast<std::uint64_t>(view->len / view->itemsize);
  if (items != dimension) {
    PyErr_Format(PyExc_ValueError,
                 "%s() argument 'out' must hold %llu items, one per basis state, not %llu",
                 r.function, static_cast<unsigned long long>(dimension),
                 static_cast<unsigned long long>(items));
    return false;
  }
  return true;
}

// -- the buffer objects -----------------------------------------------------------

PyObject* new_buffer_object(const Readout& r, BlockPtr block, std::uint64_t dimension) {
  PyTypeObject* type = *r.type;
  auto* obj = reinterpret_cast<ReadoutBufferObject*>(type->tp_alloc(type, 0));
  if (!obj) return nullptr;  // the block is released on the way out
  obj->data = block.release();
  obj->shape = static_cast<Py_ssize_t>(dimension);
  obj->stride = r.itemsize;
  return reinterpret_cast<PyObject*>(obj);
}

template <const Readout& R>
int ReadoutBuffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  return guarded(-1, [&]() -> int {
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
  });
}

void ReadoutBuffer_dealloc(PyObject* self) {
  guarded_dealloc(self, [&] {
    core::release_amplitudes(reinterpret_cast<ReadoutBufferObject*>(self)->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

Py_ssize_t ReadoutBuffer_length(PyObject* self) {
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
PyObject* readout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* reg_obj;
    PyObject* out;
    if (!match_reg_out(R, args, nargs, kwnames, &reg_obj, &out)) return nullptr;
    QuantumRegisterObject* obj = checked_register(R, reg_obj);
    if (!obj) return nullptr;
    // Taken before out is looked at: its __buffer__ may call back into us.
    Borrow borrow(obj);
    if (!borrow.held()) return nullptr;
    core::Register& reg = obj->reg;
    const std::uint64_t dimension = reg.dimension();

    if (out) {
      View view;
      if (!get_out_view(R, out, dimension, view)) return nullptr;
      R.fill(reg, view->buf);
      borrow.give_back();
      return Py_NewRef(out);  // the view is released after the register
    }

    // A register exists, so 2^n items of at most 16 bytes fit in 64 bits.
    const std::uint64_t need = dimension * static_cast<std::uint64_t>(R.itemsize);
    auto what = [&] { return "a copy of the " + std::to_string(dimension) + " " + R.function; };
    check_readout_fits(need, what);
    BlockPtr block(core::allocate_amplitudes(need));
    if (!block) ZV_FATAL(core::readout_allocation_failed_message(what(), need));
    R.fill(reg, block.get());
    borrow.give_back();
    // Made after the register is given back: creating an object can run
    // Python code, which may use the register again.
    return new_buffer_object(R, std::move(block), dimension);
  });
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

PyTypeObject* create_type(PyTypeObject** slot, PyType_Spec* type_spec) {
  if (*slot) return *slot;
  PyObject* type = PyType_FromSpec(type_spec);
  if (!type) return nullptr;
  // Creation can run Python code and so let another thread in: the type first
  // stored is the only one ever seen.
  if (*slot) {
    Py_DECREF(type);
  } else {
    *slot = reinterpret_cast<PyTypeObject*>(type);
  }
  return *slot;
}

// zentrova.QuantumRegister, checked to be the type this module was built against.
PyTypeObject* find_register_type() {
  if (g_register_type) return g_register_type;
  PyRef module = PyRef::steal(PyImport_ImportModule("zentrova"));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "QuantumRegister"));
  if (!type) return nullptr;
  // This module reads the register inside zentrova's objects; a zentrova built
  // from other sources could lay them out differently.
  if (!PyType_Check(type.get()) ||
      reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
          static_cast<Py_ssize_t>(sizeof(QuantumRegisterObject))) {
    PyErr_SetString(PyExc_ImportError,
                    "zentrova_readout does not match the zentrova module it found: install "
                    "both from the same build");
    return nullptr;
  }
  if (!g_register_type) g_register_type = reinterpret_cast<PyTypeObject*>(type.release());
  return g_register_type;
}

int add_type(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
  if (!type) return -1;
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all, py_name.get()) < 0) return -1;
  return PyObject_SetAttr(module, py_name.get(), reinterpret_cast<PyObject*>(type));
}

int readout_exec(PyObject* module) {
  return guarded(-1, [&]() -> int {
    if (!find_register_type()) return -1;
    PyRef all = PyRef::steal(Py_BuildValue("[ss]", "probabilities", "amplitudes"));
    if (!all) return -1;
    if (add_type(module, all.get(), "ProbabilityBuffer",
                 create_type(&g_probability_type, &ProbabilityBuffer_spec)) < 0 ||
        add_type(module, all.get(), "AmplitudeBuffer",
                 create_type(&g_amplitude_type, &AmplitudeBuffer_spec)) < 0) {
      return -1;
    }
    return PyObject_SetAttrString(module, "__all__", all.get());
  });
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
