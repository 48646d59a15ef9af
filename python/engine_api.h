// What zentrova lends its companion modules (zentrova_readout, and any module
// built beside it): one table of C functions, so that a process holds one
// engine, one kernel choice and one entry guard, however many modules use it.
//
// zentrova publishes the table as a capsule in the interpreter's own dictionary
// (where Python code cannot reach it), so the module's attributes stay exactly
// its two classes. A client imports it once, in its execution step:
//
//   const EngineApi* api = import_engine_api("zentrova_foo");
//   if (!api) return -1;  // ImportError set
//
// Symbols are hidden in both shared objects and C++ type information is not
// shared between them, so no C++ exception may cross: every entry is noexcept,
// runs inside zentrova's entry guard and reports failure the CPython way (a
// Python exception set and -1 or null returned). A fatal error in the engine
// reaches the client as PanicException, reported on stderr by zentrova.
//
// Adding an entry: append a field at the end of EngineApi, raise
// kEngineApiVersion, and fill the field in kEngineApi (python/engine_api.cpp).
// A client built against another version refuses to import, so both modules
// must come from one build. Changing MethodSig or any entry's meaning also
// raises the version. Only C types cross: pointers, counts, flat arrays and
// plain structs (MethodSig), so nothing depends on the two modules sharing a
// C++ library or its type information.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "python/args.h"

namespace zentrova::py {

inline constexpr std::uint32_t kEngineApiVersion = 4;
// The capsule's name, and its key in the interpreter's dictionary.
inline constexpr const char kEngineApiName[] = "zentrova._engine_api";

// A fixed gate's column in adjoint_jacobian's words.
inline constexpr std::uint64_t kNoColumn = ~std::uint64_t{0};

// run_operations' options: the program goes through the fusion planner
// (core/program/fuse.h) first; and from bit kThreadsShift up, the threads its
// passes may use (0 or 1: the caller's alone).
inline constexpr std::uint64_t kFuseOperations = 1;
inline constexpr std::uint64_t kThreadsShift = 8;

// The first three fields stay where they are in every version: a client reads
// them before it trusts the rest (the tests read them from Python too).
struct EngineApi {
  std::uint32_t abi_version;  // kEngineApiVersion as zentrova was built
  std::uint32_t size;         // sizeof(EngineApi) as zentrova was built

  // The kernel table the engine chose for this process, by name ("avx2",
  // "scalar", ...). Every client's work runs through this one table.
  const char* (*kernel_set)() noexcept;

  // -- the Python layer -------------------------------------------------------
  // zentrova.QuantumRegister (borrowed; it lives as long as the process).
  PyTypeObject* (*register_type)() noexcept;
  // Takes reg, a QuantumRegister, for exclusive use: 0, or -1 with
  // RuntimeError("Already borrowed") when it is in use. Given back by
  // give_back; HeldRegister below pairs the two.
  int (*take_register)(PyObject* reg) noexcept;
  void (*give_back_register)(PyObject* reg) noexcept;
  // zentrova's argument matcher (python/args.h): fills out[0 .. sig->count),
  // or returns -1 with the argument-list TypeError set.
  int (*match_args)(const MethodSig* sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept;
  // zentrova's type creation (create_type_once, python/types.h): the type in
  // *slot, created from type_spec on first need; null with RuntimeError set.
  PyTypeObject* (*create_type)(PyTypeObject** slot, PyType_Spec* type_spec,
                               const char* class_name) noexcept;

  // -- read-outs: reg is a QuantumRegister the caller holds borrowed ------------
  std::uint64_t (*dimension)(PyObject* reg) noexcept;
  // 2^n probabilities into out (any alignment), bit for bit as god_observe
  // gives them; gates the register recorded are applied first.
  int (*probabilities)(PyObject* reg, void* out) noexcept;
  // 2^n amplitudes (complex128) into out (any alignment).
  int (*amplitudes)(PyObject* reg, void* out) noexcept;
  // A block for a copy of `count` items of `itemsize` bytes, checked against
  // the host's memory first: a copy that would not fit is refused with
  // PanicException naming "a copy of the <count> <what>". Released with
  // release_copy.
  void* (*allocate_copy)(std::uint64_t count, std::size_t itemsize, const char* what) noexcept;
  void (*release_copy)(void* block) noexcept;

  // -- gradients ---------------------------------------------------------------
  // The adjoint Jacobian (core/qubit/adjoint.h): values[k] and
  // jacobian[k * columns + c] for the observables k and the columns c. -1 with
  // ValueError set when the engine refuses the circuit (the text says why, as
  // when `columns` is not the highest column plus one), or with PanicException
  // when its states would not fit in memory. It runs with the interpreter lock
  // released, its passes on `threads` threads (the same bits on any count).
  // The gates in words: for each, its kind (core::AdjointGateKind), k, k
  // qubits, its column (kNoColumn for a fixed gate), and its generator's term
  // count g, then g times (projector, x mask, z mask); in numbers: its angle,
  // then for u and mcu the 2x2 matrix (8: re, im row by row), for a matrix its
  // 4^k entries (2 * 4^k), then the g terms' coefficients. The observables as
  // expectation_values takes them.
  int (*adjoint_jacobian)(std::uint64_t qubits, const std::uint64_t* gate_words,
                          std::uint64_t gate_word_count, const double* gate_numbers,
                          std::uint64_t gate_number_count, const std::uint64_t* observable_words,
                          std::uint64_t observable_word_count, const double* observable_numbers,
                          std::uint64_t observable_number_count, std::uint64_t columns,
                          double* values, double* jacobian, std::uint64_t threads) noexcept;

  // -- programs ----------------------------------------------------------------
  // Runs a list of operations on reg (a QuantumRegister the caller holds
  // borrowed) with the interpreter lock released; the register is taken for
  // exclusive use meanwhile (RuntimeError "Already borrowed" if it is in use).
  // Every operation is checked before the first runs: a refused list (ValueError
  // naming the operation and why) leaves the state as it was. Plain C arrays:
  // each operation is, in words,
  //   kind (core::OpKind), k, k qubits, c, c controls, control values (bit i
  //   for control i)
  // and takes from numbers, in order: rx, ry, rz their angle; u, mcu 8 (the
  // 2x2 matrix's re, im row by row); a diagonal 2 * 2^k, a matrix 2 * 4^k;
  // the others none. Register gates take no controls (mcu's are among its
  // qubits, before the target). options: kFuseOperations, and a thread count
  // shifted by kThreadsShift; the state comes out the same on any count.
  int (*run_operations)(PyObject* reg, const std::uint64_t* words, std::uint64_t word_count,
                        const double* numbers, std::uint64_t number_count,
                        std::uint64_t options) noexcept;
  // <psi|O_k|psi> of reg's state into out[k], with the interpreter lock
  // released (the register taken for exclusive use meanwhile). In words: the
  // observable count, then for each: its Pauli term count p, its Hermitian
  // term count h, p pairs (x mask, z mask: Y where both), and h times (k,
  // k qubits, the first the most significant bit of a row index). In
  // numbers: the p coefficients of each observable's Pauli terms, then the
  // 2 * 4^k parts of each Hermitian matrix, row by row (re, im). ValueError
  // for a term outside the register or malformed.
  int (*expectation_values)(PyObject* reg, const std::uint64_t* words, std::uint64_t word_count,
                            const double* numbers, std::uint64_t number_count,
                            double* out) noexcept;
};

// zentrova's side: puts the table where import_engine_api finds it. Called by
// zentrova's execution step; -1 with an exception set on failure.
int publish_engine_api();

// Imports zentrova and returns its table, or null with ImportError set (or
// the import's own exception) when zentrova is missing or from another build.
// `client` names the importing module in the message.
inline const EngineApi* import_engine_api(const char* client) noexcept {
  PyObject* module = PyImport_ImportModule("zentrova");  // publishes the table
  if (!module) return nullptr;
  Py_DECREF(module);
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* capsule = shared ? PyDict_GetItemString(shared, kEngineApiName) : nullptr;
  const EngineApi* api = nullptr;
  if (capsule && PyCapsule_IsValid(capsule, kEngineApiName)) {
    api = static_cast<const EngineApi*>(PyCapsule_GetPointer(capsule, kEngineApiName));
  }
  if (!api || api->abi_version != kEngineApiVersion || api->size != sizeof(EngineApi)) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not match the zentrova module it found: install both from the same "
                 "build",
                 client);
    return nullptr;
  }
  return api;
}

// Exclusive use of a register for a client's call: taken on construction
// (held() false, with RuntimeError set, when it is in use), given back on
// every path out.
class HeldRegister {
 public:
  HeldRegister(const EngineApi* api, PyObject* reg)
      : api_(api), reg_(api->take_register(reg) == 0 ? reg : nullptr) {}
  ~HeldRegister() { give_back(); }
  HeldRegister(const HeldRegister&) = delete;
  HeldRegister& operator=(const HeldRegister&) = delete;
  bool held() const { return reg_ != nullptr; }
  void give_back() {
    if (reg_) api_->give_back_register(reg_);
    reg_ = nullptr;
  }

 private:
  const EngineApi* api_;
  PyObject* reg_;
};

}  // namespace zentrova::py
