// zentrova_gradients: the Jacobian of expectation values by adjoint
// differentiation, for a circuit written as a list of gate tuples and
// observables written as Pauli sums and Hermitian matrices. A companion module
// beside zentrova: it turns Python values into the engine's gate and observable
// lists and hands them to zentrova's engine through engine_api.h; it links no
// engine of its own.
//
// Nothing here throws: a C++ exception must not leave this module, so the one
// that can arise (an allocation) is caught at the function's edge.
#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "python/engine_api.h"
#include "python/pyref.h"
#include "python/values.h"

namespace zentrova::py {
namespace {

using core::AdjointGate;
using core::AdjointGateKind;
using core::Observable;

const EngineApi* g_api = nullptr;

struct GateName {
  const char* name;
  AdjointGateKind kind;
  // What the tuple's third item is: nothing, an angle, a 2x2 matrix, or a
  // matrix of any power-of-two side.
  enum { kNone, kAngle, kMatrix, kAnyMatrix } param;
};

constexpr GateName kGateNames[] = {
    {"x", AdjointGateKind::kX, GateName::kNone},
    {"h", AdjointGateKind::kH, GateName::kNone},
    {"u", AdjointGateKind::kU, GateName::kMatrix},
    {"rx", AdjointGateKind::kRx, GateName::kAngle},
    {"ry", AdjointGateKind::kRy, GateName::kAngle},
    {"rz", AdjointGateKind::kRz, GateName::kAngle},
    {"phase", AdjointGateKind::kPhase, GateName::kAngle},
    {"cnot", AdjointGateKind::kCnot, GateName::kNone},
    {"swap", AdjointGateKind::kSwap, GateName::kNone},
    {"ccnot", AdjointGateKind::kCcnot, GateName::kNone},
    {"csswap", AdjointGateKind::kCsswap, GateName::kNone},
    {"mcu", AdjointGateKind::kMcu, GateName::kMatrix},
    {"matrix", AdjointGateKind::kMatrix, GateName::kAnyMatrix},
};

const GateName* gate_name(PyObject* name) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (!text) return nullptr;
  for (const GateName& g : kGateNames) {
    if (std::strcmp(g.name, text) == 0) return &g;
  }
  return nullptr;
}

// A column: an int at least 0, or None for a fixed gate.
bool to_column(PyObject* obj, const std::string& where, std::int64_t& column) {
  if (obj == Py_None) return true;
  column = PyLong_AsLongLong(obj);
  if (column == -1 && PyErr_Occurred()) return false;
  if (column < 0) {
    PyErr_Format(PyExc_ValueError, "%s: a column must be None or at least 0", where.c_str());
    return false;
  }
  return true;
}

bool to_gates(PyObject* obj, std::vector<AdjointGate>& out) {
  PyRef gates = fast_sequence(obj, "gates must be a sequence of gate tuples");
  if (!gates) return false;
  std::int64_t next_column = 0;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(gates.get()); ++i) {
    const std::string where = "gate " + std::to_string(i);
    PyRef tuple = fast_sequence(PySequence_Fast_GET_ITEM(gates.get(), i),
                                where + ": must be a tuple (name, wires[, parameter[, column]])");
    if (!tuple) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(tuple.get());
    PyObject* const* item = PySequence_Fast_ITEMS(tuple.get());
    const GateName* name = size >= 2 ? gate_name(item[0]) : nullptr;
    if (PyErr_Occurred()) return false;
    if (!name) {
      PyErr_Format(PyExc_ValueError,
                   "%s: must be a tuple (name, wires[, parameter[, column]]) whose name is one of "
                   "x, h, u, rx, ry, rz, phase, cnot, swap, ccnot, csswap, mcu, matrix",
                   where.c_str());
      return false;
    }
    const Py_ssize_t want = name->param == GateName::kNone ? 2 : 3;
    const Py_ssize_t most = name->param == GateName::kAngle ? 4
                            : name->param == GateName::kNone ? want : 5;
    if (size < want || size > most) {
      PyErr_Format(PyExc_ValueError, "%s (%s): takes %zd to %zd items, not %zd", where.c_str(),
                   name->name, want, most, size);
      return false;
    }
    AdjointGate g;
    g.kind = name->kind;
    if (!to_qubits(item[1], where, g.qubits)) return false;
    if (name->param == GateName::kMatrix || name->param == GateName::kAnyMatrix) {
      std::vector<core::Amplitude> m;
      const std::uint64_t side =
          name->param == GateName::kMatrix ? 2 : std::uint64_t{1} << std::min<std::size_t>(g.qubits.size(), 16);
      if (!to_matrix(item[2], where, side, m)) return false;
      if (name->param == GateName::kMatrix) {
        g.m = core::Matrix2{m[0], m[1], m[2], m[3]};
      } else {
        g.entries = std::move(m);
      }
      // A trainable matrix: its column, then its generator G (dU/dp = i G U)
      // as Pauli terms (coefficient, word, wires).
      if (size >= 4 && !to_column(item[3], where, g.column)) return false;
      if (size == 5) {
        Observable generator;
        if (!to_observable(item[4], where + ": generator", generator)) return false;
        if (!generator.hermitians.empty()) {
          PyErr_Format(PyExc_ValueError, "%s: a generator is a sum of Pauli terms", where.c_str());
          return false;
        }
        for (const core::PauliTerm& t : generator.paulis) {
          g.generator.push_back(core::GeneratorTerm{t.coefficient, 0, t.word});
        }
      }
    } else if (name->param == GateName::kAngle) {
      g.theta = PyFloat_AsDouble(item[2]);
      if (g.theta == -1.0 && PyErr_Occurred()) return false;
      if (size == 3) {
        g.column = next_column++;
      } else if (!to_column(item[3], where, g.column)) {
        return false;
      }
    }
    out.push_back(std::move(g));
  }
  return true;
}

constexpr const char* kJacobianParams[] = {"qubits", "gates", "observables", "threads"};
constexpr MethodSig kJacobianSig = {"jacobian", kJacobianParams, 4, 1, nullptr};

PyObject* jacobian_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* placed[4];
  if (g_api->match_args(&kJacobianSig, args, nargs, kwnames, placed) < 0) return nullptr;
  std::uint64_t threads = 1;
  if (!to_threads(placed[3], "jacobian", threads)) return nullptr;
  const unsigned long long qubits = PyLong_AsUnsignedLongLong(placed[0]);
  if (PyErr_Occurred()) return nullptr;
  std::vector<AdjointGate> gates;
  if (!to_gates(placed[1], gates)) return nullptr;
  std::vector<Observable> observables;
  if (!to_observables(placed[2], observables)) return nullptr;
  // The flat arrays the engine table takes.
  std::vector<std::uint64_t> gate_words, observable_words;
  std::vector<double> gate_numbers, observable_numbers;
  std::int64_t last_column = core::kFixedGate;
  for (const AdjointGate& g : gates) {
    gate_words.push_back(static_cast<std::uint64_t>(g.kind));
    gate_words.push_back(g.qubits.size());
    gate_words.insert(gate_words.end(), g.qubits.begin(), g.qubits.end());
    gate_words.push_back(g.column == core::kFixedGate ? kNoColumn : static_cast<std::uint64_t>(g.column));
    gate_words.push_back(g.generator.size());
    for (const core::GeneratorTerm& t : g.generator) {
      gate_words.push_back(t.projector);
      gate_words.push_back(t.word.x);
      gate_words.push_back(t.word.z);
    }
    gate_numbers.push_back(g.theta);
    if (g.kind == core::AdjointGateKind::kU || g.kind == core::AdjointGateKind::kMcu) {
      for (const core::Amplitude& a : {g.m.m00, g.m.m01, g.m.m10, g.m.m11}) {
        gate_numbers.push_back(a.re);
        gate_numbers.push_back(a.im);
      }
    }
    for (const core::Amplitude& a : g.entries) {
      gate_numbers.push_back(a.re);
      gate_numbers.push_back(a.im);
    }
    for (const core::GeneratorTerm& t : g.generator) gate_numbers.push_back(t.coefficient);
    last_column = std::max(last_column, g.column);
  }
  encode_observables(observables, observable_words, observable_numbers);
  core::AdjointResult result;
  result.columns = static_cast<std::uint64_t>(last_column + 1);
  result.values.resize(observables.size());
  result.jacobian.resize(observables.size() * result.columns);
  if (g_api->adjoint_jacobian(qubits, gate_words.data(), gate_words.size(), gate_numbers.data(),
                              gate_numbers.size(), observable_words.data(), observable_words.size(),
                              observable_numbers.data(), observable_numbers.size(), result.columns,
                              result.values.data(), result.jacobian.data(), threads) < 0) {
    return nullptr;
  }
  PyRef values = float_array(result.values, result.values.size(), 0, false);
  if (!values) return nullptr;
  PyRef jac = float_array(result.jacobian, result.values.size(), result.columns, true);
  if (!jac) return nullptr;
  return PyTuple_Pack(2, values.get(), jac.get());
}

PyObject* jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    return jacobian_body(args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef gradients_functions[] = {
    {"jacobian", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&jacobian)),
     METH_FASTCALL | METH_KEYWORDS,
     "jacobian($module, qubits, gates, observables, threads=1)\n--\n\n"
     "Expectation values and their Jacobian by adjoint differentiation.\n\n"
     "Runs gates on a register of `qubits` qubits from |0...0>, then one backward\n"
     "pass. Returns (values, jacobian): values[k] = <O_k>, jacobian[k, c] its\n"
     "derivative by parameter c (numpy arrays; memoryviews without numpy).\n\n"
     "gates: tuples (name, wires[, parameter[, column]]), wires being qubit indices\n"
     "as zentrova numbers them (qubit 0 the least significant bit), controls first:\n"
     "x, h, cnot, swap, ccnot, csswap (no parameter); rx, ry, rz, phase (an angle,\n"
     "any number of controls before the target); u, mcu (a 2x2 matrix); matrix\n"
     "(a 2**k x 2**k matrix on k wires, wires[0] its row index's most significant\n"
     "bit). A matrix gate is fixed unless a column and its generator G follow:\n"
     "(name, wires, matrix, column, generator), dU/dp = i G U at the matrix given,\n"
     "G a sequence of Pauli terms (coefficient, word, wires).\n"
     "An angle is parameter number c, counted over the angles without a column,\n"
     "unless its tuple gives a column (an int, which gates may share) or None.\n\n"
     "observables: each a sequence of terms, summed: (coefficient, word, wires)\n"
     "with word a str of I, X, Y, Z, one letter per wire; or (matrix, wires), a\n"
     "Hermitian 2**k x 2**k matrix whose row index has wires[0] as its most\n"
     "significant bit.\n\n"
     "threads: how many threads the passes of large states may use (the same bits\n"
     "on any number); it runs with the interpreter lock released.\n\n"
     "ValueError for a malformed circuit; zentrova's PanicException when the\n"
     "1 + len(observables) states it needs would not fit in memory."},
    {nullptr, nullptr, 0, nullptr},
};

int gradients_exec(PyObject* module) noexcept {
  if (!g_api && !(g_api = import_engine_api("zentrova_gradients"))) return -1;
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "jacobian"));
  if (!all) return -1;
  return PyObject_SetAttrString(module, "__all__", all.get());
}

PyModuleDef_Slot gradients_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&gradients_exec)},
    {0, nullptr},
};

PyModuleDef gradients_module = {
    PyModuleDef_HEAD_INIT,
    "zentrova_gradients",
    "Gradients of expectation values by adjoint differentiation, on zentrova's\n"
    "engine: one forward and one backward pass for the whole Jacobian.",
    0,
    gradients_functions,
    gradients_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zentrova::py

PyMODINIT_FUNC PyInit_zentrova_gradients(void) {
  return PyModuleDef_Init(&zentrova::py::gradients_module);
}
