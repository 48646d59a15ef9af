// zentrova_program: a whole list of operations run on a register in one call,
// with the interpreter lock released while it computes. Beside the register's
// own gates it runs a diagonal or a dense matrix on up to ten qubits under
// controls of either value, so a framework's gate never needs to be taken
// apart. A companion module of zentrova's: it turns Python values into plain
// arrays and hands them to zentrova's engine through engine_api.h, which
// checks every operation before the first runs.
//
// Nothing here throws: a C++ exception must not leave this module, so the one
// that can arise (an allocation) is caught at the function's edge.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/program/operation.h"
#include "python/engine_api.h"
#include "python/pyref.h"
#include "python/values.h"

namespace zentrova::py {
namespace {

using core::OpKind;

const EngineApi* g_api = nullptr;

struct OpName {
  const char* name;
  OpKind kind;
  // The arguments after the qubits: none, an angle, four matrix entries, or a
  // sequence of entries (diagonal, matrix).
  enum { kNone, kAngle, kMatrix2, kEntries } param;
  // Qubit arguments before them; 0 for mcu (a list, then the target) and for
  // diagonal and matrix (one list).
  int qubits;
};

constexpr OpName kOpNames[] = {
    {"x", OpKind::kX, OpName::kNone, 1},
    {"h", OpKind::kH, OpName::kNone, 1},
    {"u", OpKind::kU, OpName::kMatrix2, 1},
    {"rx", OpKind::kRx, OpName::kAngle, 1},
    {"ry", OpKind::kRy, OpName::kAngle, 1},
    {"rz", OpKind::kRz, OpName::kAngle, 1},
    {"cnot", OpKind::kCnot, OpName::kNone, 2},
    {"swap", OpKind::kSwap, OpName::kNone, 2},
    {"ccnot", OpKind::kCcnot, OpName::kNone, 3},
    {"csswap", OpKind::kCsswap, OpName::kNone, 3},
    {"mcu", OpKind::kMcu, OpName::kMatrix2, 0},
    {"diagonal", OpKind::kDiagonal, OpName::kEntries, 0},
    {"matrix", OpKind::kMatrix, OpName::kEntries, 0},
};

const OpName* op_name(PyObject* name) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (!text) return nullptr;
  for (const OpName& o : kOpNames) {
    if (std::strcmp(o.name, text) == 0) return &o;
  }
  return nullptr;
}

// The arrays handed to the engine, and where the current operation starts.
struct Encoder {
  std::vector<std::uint64_t> words;
  std::vector<double> numbers;
  std::string where;

  bool fail(PyObject* type, const std::string& text) {
    PyErr_SetString(type, (where + ": " + text).c_str());
    return false;
  }

  bool qubit(PyObject* obj) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long q = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred()) return false;
    words.push_back(q);
    return true;
  }

  // A sequence of qubit indices, its length first.
  bool qubits(PyObject* obj, const char* what) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, (where + ": " + what + " must be a sequence of ints").c_str()));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    words.push_back(static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!qubit(PySequence_Fast_GET_ITEM(seq.get(), i))) return false;
    }
    return true;
  }

  bool number(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    numbers.push_back(v);
    return true;
  }

  bool entry(PyObject* obj) {
    const Py_complex z = PyComplex_AsCComplex(obj);
    if (z.real == -1.0 && PyErr_Occurred()) return false;
    numbers.push_back(z.real);
    numbers.push_back(z.imag);
    return true;
  }

  // Entries as a C-contiguous buffer of complex128 (numpy's arrays) when it is
  // one, else any sequence of numbers; `count` of them.
  bool entries(PyObject* obj, std::uint64_t count) {
    if (PyObject_CheckBuffer(obj)) {
      Py_buffer view;
      if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
        const bool complex128 = view.itemsize == 16 && view.format &&
                                (std::strcmp(view.format, "Zd") == 0 ||
                                 std::strcmp(view.format, "=Zd") == 0 ||
                                 std::strcmp(view.format, "<Zd") == 0);
        if (complex128) {
          const auto n = static_cast<std::uint64_t>(view.len / 16);
          if (n != count) {
            PyBuffer_Release(&view);
            return fail(PyExc_ValueError, "it needs " + std::to_string(count) +
                                              " entries, not " + std::to_string(n));
          }
          const auto* d = static_cast<const double*>(view.buf);
          numbers.insert(numbers.end(), d, d + 2 * n);
          PyBuffer_Release(&view);
          return true;
        }
        PyBuffer_Release(&view);
      } else {
        PyErr_Clear();
      }
    }
    PyRef seq = PyRef::steal(PySequence_Fast(obj, (where + ": the entries must be a sequence of numbers").c_str()));
    if (!seq) return false;
    const auto n = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(seq.get()));
    // A matrix may come as its rows.
    if (n != count && n * n == count) {
      for (std::uint64_t r = 0; r < n; ++r) {
        PyRef row = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), r),
                                                 (where + ": a matrix row must be a sequence of numbers").c_str()));
        if (!row) return false;
        if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(row.get())) != n) {
          return fail(PyExc_ValueError, "the matrix must be square");
        }
        for (std::uint64_t c = 0; c < n; ++c) {
          if (!entry(PySequence_Fast_GET_ITEM(row.get(), c))) return false;
        }
      }
      return true;
    }
    if (n != count) {
      return fail(PyExc_ValueError,
                  "it needs " + std::to_string(count) + " entries, not " + std::to_string(n));
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      if (!entry(PySequence_Fast_GET_ITEM(seq.get(), i))) return false;
    }
    return true;
  }

  // ("diagonal" | "matrix", (targets, entries[, controls, values])).
  bool multi(const OpName& o, PyObject* const* a, Py_ssize_t n) {
    if (n != 2 && n != 4) {
      return fail(PyExc_TypeError, "takes (targets, entries) or (targets, entries, controls, values)");
    }
    const std::size_t targets_at = words.size();
    if (!qubits(a[0], "targets")) return false;
    const std::uint64_t targets = words[targets_at];
    if (n == 4) {
      const std::size_t controls_at = words.size();
      if (!qubits(a[2], "controls")) return false;
      const std::uint64_t c = words[controls_at];
      PyRef values = PyRef::steal(
          PySequence_Fast(a[3], (where + ": values must be a sequence of 0 and 1").c_str()));
      if (!values) return false;
      if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(values.get())) != c) {
        return fail(PyExc_ValueError, "controls and values must have the same length");
      }
      if (c >= 64) return fail(PyExc_ValueError, "more controls than a register has qubits");
      std::uint64_t mask = 0;
      for (std::uint64_t i = 0; i < c; ++i) {
        const int truth =
            PyObject_IsTrue(PySequence_Fast_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i)));
        if (truth < 0) return false;
        if (truth) mask |= std::uint64_t{1} << i;
      }
      words.push_back(mask);
    } else {
      words.push_back(0);  // no controls
      words.push_back(0);
    }
    if (targets > core::kMaxOperationQubits) return true;  // the engine refuses it by name
    const std::uint64_t count =
        std::uint64_t{1} << (o.kind == OpKind::kMatrix ? 2 * targets : targets);
    return entries(a[1], count);
  }

  bool op(PyObject* item) {
    PyRef tuple = PyRef::steal(PySequence_Fast(item, (where + " must be a tuple (name, args)").c_str()));
    if (!tuple) return false;
    if (PySequence_Fast_GET_SIZE(tuple.get()) != 2) {
      return fail(PyExc_TypeError, "an operation is a tuple (name, args)");
    }
    PyObject* name = PySequence_Fast_GET_ITEM(tuple.get(), 0);
    const OpName* o = op_name(name);
    if (!o) {
      PyRef text = PyRef::steal(PyObject_Repr(name));
      return fail(PyExc_ValueError,
                  std::string("no operation is named ") + (text ? PyUnicode_AsUTF8(text.get()) : "?"));
    }
    PyRef args = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(tuple.get(), 1),
                                              (where + ": args must be a tuple").c_str()));
    if (!args) return false;
    PyObject* const* a = PySequence_Fast_ITEMS(args.get());
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(args.get());
    words.push_back(static_cast<std::uint64_t>(o->kind));
    if (o->param == OpName::kEntries) return multi(*o, a, n);
    Py_ssize_t at = 0;
    const Py_ssize_t extra = o->param == OpName::kAngle ? 1 : o->param == OpName::kMatrix2 ? 4 : 0;
    if (o->kind == OpKind::kMcu) {
      if (n != 2 + extra) return fail(PyExc_TypeError, "mcu takes (controls, target, m00, m01, m10, m11)");
      PyRef controls = PyRef::steal(PySequence_Fast(a[0], (where + ": controls must be a sequence of ints").c_str()));
      if (!controls) return false;
      const Py_ssize_t c = PySequence_Fast_GET_SIZE(controls.get());
      words.push_back(static_cast<std::uint64_t>(c) + 1);
      for (Py_ssize_t i = 0; i < c; ++i) {
        if (!qubit(PySequence_Fast_GET_ITEM(controls.get(), i))) return false;
      }
      if (!qubit(a[1])) return false;
      at = 2;
    } else {
      if (n != o->qubits + extra) {
        return fail(PyExc_TypeError, std::string(o->name) + " takes " +
                                         std::to_string(o->qubits + extra) + " arguments, not " +
                                         std::to_string(n));
      }
      words.push_back(static_cast<std::uint64_t>(o->qubits));
      for (; at < o->qubits; ++at) {
        if (!qubit(a[at])) return false;
      }
    }
    words.push_back(0);  // no controls with values
    words.push_back(0);
    if (o->param == OpName::kAngle) return number(a[at]);
    for (Py_ssize_t i = 0; i < extra; ++i) {
      if (!entry(a[at + i])) return false;
    }
    return true;
  }
};

PyObject* run_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"register", "operations", "fuse", "threads"};
  static constexpr MethodSig kSig = {"run", kParams, 4, 2, nullptr};
  PyObject* placed[4];
  if (g_api->match_args(&kSig, args, nargs, kwnames, placed) < 0) return nullptr;
  PyObject* reg = placed[0];
  if (!PyObject_TypeCheck(reg, g_api->register_type())) {
    PyErr_Format(PyExc_TypeError, "run() argument 'register' must be QuantumRegister, not %.100s",
                 Py_TYPE(reg)->tp_name);
    return nullptr;
  }
  const int fuse = placed[2] ? PyObject_IsTrue(placed[2]) : 0;
  if (fuse < 0) return nullptr;
  std::uint64_t threads = 1;
  if (!to_threads(placed[3], "run", threads)) return nullptr;
  PyRef iter = PyRef::steal(PyObject_GetIter(placed[1]));
  if (!iter) return nullptr;
  Encoder enc;
  std::uint64_t count = 0;
  while (PyObject* item = PyIter_Next(iter.get())) {
    PyRef held = PyRef::steal(item);
    enc.where = "operation " + std::to_string(count++);
    if (!enc.op(item)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  if (g_api->run_operations(reg, enc.words.data(), enc.words.size(), enc.numbers.data(),
                            enc.numbers.size(),
                            (fuse ? kFuseOperations : 0) | (threads << kThreadsShift)) < 0) {
    return nullptr;
  }
  return Py_NewRef(reg);
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    return run_body(args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* expectations_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"register", "observables"};
  static constexpr MethodSig kSig = {"expectations", kParams, 2, 0, nullptr};
  PyObject* placed[2];
  if (g_api->match_args(&kSig, args, nargs, kwnames, placed) < 0) return nullptr;
  PyObject* reg = placed[0];
  if (!PyObject_TypeCheck(reg, g_api->register_type())) {
    PyErr_Format(PyExc_TypeError,
                 "expectations() argument 'register' must be QuantumRegister, not %.100s",
                 Py_TYPE(reg)->tp_name);
    return nullptr;
  }
  std::vector<core::Observable> observables;
  if (!to_observables(placed[1], observables)) return nullptr;
  std::vector<std::uint64_t> words;
  std::vector<double> numbers;
  encode_observables(observables, words, numbers);
  const std::size_t count = observables.size();
  std::vector<double> values(count);
  if (g_api->expectation_values(reg, words.data(), words.size(), numbers.data(), numbers.size(),
                                values.data()) < 0) {
    return nullptr;
  }
  return float_array(values, values.size(), 0, false).release();
}

PyObject* expectations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  try {
    return expectations_body(args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef program_functions[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run)),
     METH_FASTCALL | METH_KEYWORDS,
     "run($module, register, operations, fuse=False, threads=1)\n--\n\n"
     "Runs operations on register, a zentrova.QuantumRegister, in one call with the\n"
     "interpreter lock released, and returns the register.\n\n"
     "operations: an iterable of (name, args), args as the register's method of that\n"
     "name takes them: ('x', (q,)), ('rx', (q, theta)), ('u', (q, m00, m01, m10, m11)),\n"
     "('cnot', (c, t)), ('mcu', (controls, t, m00, m01, m10, m11)), ...; and\n"
     "('diagonal', (targets, entries[, controls, values])) with 2**k entries,\n"
     "('matrix', (targets, entries[, controls, values])) with 4**k entries row by\n"
     "row (or the rows), k = len(targets) up to 10. targets[0] is the most\n"
     "significant bit of a row index; each control must read its value (0 or 1).\n"
     "Entries may be a complex128 numpy array.\n\n"
     "Every operation is checked before the first runs: ValueError names the first\n"
     "refused one and leaves the state as it was. Register gates give the bits of\n"
     "the register's own calls made one by one.\n\n"
     "fuse=True merges every run of one-qubit operations on a qubit (which waits\n"
     "past operations on other qubits) into one 2x2 matrix first: fewer passes,\n"
     "and a result that differs from the unfused one by the rounding of the\n"
     "matrix products (a few units in the last place), the same on every machine.\n\n"
     "threads: how many threads a large register's passes may use (its tiles are\n"
     "shared out); the state has the same bits on any number."},
    {"expectations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&expectations)),
     METH_FASTCALL | METH_KEYWORDS,
     "expectations($module, register, observables)\n--\n\n"
     "<psi|O|psi> of register's state for each observable, as a float64 numpy array\n"
     "(a memoryview without numpy), read in one pass a term with the interpreter lock\n"
     "released; the state is not changed.\n\n"
     "observables: each a sequence of terms, summed: (coefficient, word, wires) with\n"
     "word a str of I, X, Y, Z, one letter per wire; or (matrix, wires), a Hermitian\n"
     "2**k x 2**k matrix whose row index has wires[0] as its most significant bit."},
    {nullptr, nullptr, 0, nullptr},
};

int program_exec(PyObject* module) noexcept {
  if (!g_api && !(g_api = import_engine_api("zentrova_program"))) return -1;
  PyRef all = PyRef::steal(Py_BuildValue("[ss]", "run", "expectations"));
  if (!all) return -1;
  if (PyModule_AddIntConstant(module, "MAX_OPERATION_QUBITS",
                              static_cast<long>(core::kMaxOperationQubits)) < 0) {
    return -1;
  }
  return PyObject_SetAttrString(module, "__all__", all.get());
}

PyModuleDef_Slot program_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&program_exec)},
    {0, nullptr},
};

PyModuleDef program_module = {
    PyModuleDef_HEAD_INIT,
    "zentrova_program",
    "Whole lists of operations on a zentrova register in one call, the interpreter\n"
    "lock released: the register's gates, and diagonals and dense matrices on up to\n"
    "ten qubits under controls of either value.",
    0,
    program_functions,
    program_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zentrova::py

PyMODINIT_FUNC PyInit_zentrova_program(void) {
  return PyModuleDef_Init(&zentrova::py::program_module);
}
