// zentrova's side of engine_api.h: the entries companion modules call, each a
// shell around the engine inside the entry guard, and the table that lists
// them.
#include "python/engine_api.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>
#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/program/expectation.h"
#include "core/program/fuse.h"
#include "core/program/operation.h"
#include "core/qubit/adjoint.h"
#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/parallel.h"
#include "python/borrow.h"
#include "python/guard.h"
#include "python/pyref.h"
#include "python/readout_fits.h"
#include "python/types.h"

namespace zentrova::py {

namespace {

core::Register& register_of(PyObject* reg) {
  return reinterpret_cast<QuantumRegisterObject*>(reg)->reg;
}

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

// -- the entries ----------------------------------------------------------------

const char* kernel_set() noexcept {
  return guarded<const char*>(nullptr, [] { return core::active_kernels().name; });
}

PyTypeObject* register_type() noexcept {
  return guarded<PyTypeObject*>(nullptr, [] { return quantum_register_type(); });
}

BorrowFlag* borrow_flag(PyObject* reg) {
  return &reinterpret_cast<QuantumRegisterObject*>(reg)->borrow;
}

int take_register(PyObject* reg) noexcept {
  std::intptr_t expected = 0;
  if (borrow_flag(reg)->compare_exchange_strong(expected, kExclusive)) return 0;
  PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
  return -1;
}

void give_back_register(PyObject* reg) noexcept { borrow_flag(reg)->store(0); }

int match_args_entry(const MethodSig* sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
  return guarded(-1, [&] { return match_args(*sig, args, nargs, kwnames, out) ? 0 : -1; });
}

PyTypeObject* create_type(PyTypeObject** slot, PyType_Spec* type_spec,
                          const char* class_name) noexcept {
  return guarded<PyTypeObject*>(nullptr, [&] {
    if (!*slot) *slot = create_type_once(slot, type_spec, class_name);
    return *slot;
  });
}

std::uint64_t dimension(PyObject* reg) noexcept { return register_of(reg).dimension(); }

int probabilities(PyObject* reg, void* out) noexcept {
  return guarded(-1, [&] {
    fill_probabilities(register_of(reg), out);
    return 0;
  });
}

int amplitudes(PyObject* reg, void* out) noexcept {
  return guarded(-1, [&] {
    // Read through the accessor every time: it is where the register settles
    // anything it has not yet applied to its amplitudes.
    core::Register& r = register_of(reg);
    std::memcpy(out, r.amplitudes(), r.dimension() * sizeof(core::Amplitude));
    return 0;
  });
}

void* allocate_copy(std::uint64_t count, std::size_t itemsize, const char* what) noexcept {
  return guarded<void*>(nullptr, [&]() -> void* {
    // A register exists, so 2^n items of at most 16 bytes fit in 64 bits.
    const std::uint64_t need = count * static_cast<std::uint64_t>(itemsize);
    auto name = [&] { return "a copy of the " + std::to_string(count) + " " + what; };
    check_readout_fits(need, name);
    void* block = core::allocate_amplitudes(need);
    if (!block) ZV_FATAL(core::readout_allocation_failed_message(name(), need));
    return block;
  });
}

void release_copy(void* block) noexcept { core::release_amplitudes(block); }

// The flat arrays of the program, observable and gate entries, read in
// order with every read checked against their ends.
struct FlatReader {
  const std::uint64_t* words;
  std::uint64_t word_count;
  const double* numbers;
  std::uint64_t number_count;
  std::uint64_t w = 0;
  std::uint64_t d = 0;

  bool more_words() const { return w < word_count; }
  bool word(std::uint64_t& out) {
    if (w >= word_count) return false;
    out = words[w++];
    return true;
  }
  // A count, then that many words.
  bool list(std::vector<std::uint64_t>& out) {
    std::uint64_t count = 0;
    if (!word(count) || count > word_count - w) return false;
    out.assign(words + w, words + w + count);
    w += count;
    return true;
  }
  bool number(double& out) {
    if (d >= number_count) return false;
    out = numbers[d++];
    return true;
  }
  bool amplitudes(std::uint64_t count, core::Amplitude* out) {
    if (count > (number_count - d) / 2) return false;
    for (std::uint64_t i = 0; i < count; ++i, d += 2) out[i] = {numbers[d], numbers[d + 1]};
    return true;
  }
  bool done() const { return w == word_count && d == number_count; }
};

// Runs body with the interpreter lock released (it must touch no Python
// object); an exception it throws is rethrown once the lock is back, for the
// entry guard to turn into a Python exception.
template <class Body>
void without_lock(Body&& body) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    body();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

// Reads the operations of run_operations' arrays into ops; empty, or why not.
std::string decode_operations(const std::uint64_t* words, std::uint64_t word_count,
                              const double* numbers, std::uint64_t number_count,
                              std::vector<core::Operation>& ops) {
  using core::OpKind;
  FlatReader in{words, word_count, numbers, number_count};
  while (in.more_words()) {
    const std::string where = "operation " + std::to_string(ops.size());
    core::Operation op;
    std::uint64_t kind = 0;
    in.word(kind);
    if (kind > static_cast<std::uint64_t>(OpKind::kMatrix)) return where + ": no such kind";
    op.kind = static_cast<OpKind>(kind);
    if (!in.list(op.qubits) || !in.list(op.controls) || !in.word(op.control_values)) {
      return where + ": the words end inside it";
    }
    std::uint64_t count = 0;
    switch (op.kind) {
      case OpKind::kRx: case OpKind::kRy: case OpKind::kRz:
        if (!in.number(op.theta)) return where + ": the numbers end inside it";
        break;
      case OpKind::kU: case OpKind::kMcu:
        if (!in.amplitudes(4, &op.m.m00)) return where + ": the numbers end inside it";
        break;
      case OpKind::kDiagonal: case OpKind::kMatrix: {
        const std::uint64_t k = op.qubits.size();
        if (k > core::kMaxOperationQubits) break;  // check_operation says why
        count = std::uint64_t{1} << (op.kind == OpKind::kMatrix ? 2 * k : k);
        op.entries.resize(count);
        if (!in.amplitudes(count, op.entries.data())) return where + ": the numbers end inside it";
        break;
      }
      default:
        break;
    }
    ops.push_back(std::move(op));
  }
  if (!in.done()) return "the numbers go on after the last operation";
  return {};
}

int run_operations(PyObject* reg, const std::uint64_t* words, std::uint64_t word_count,
                   const double* numbers, std::uint64_t number_count,
                   std::uint64_t options) noexcept {
  return guarded(-1, [&] {
    Borrow borrow(borrow_flag(reg));
    if (!borrow.held()) return -1;
    core::Register& r = register_of(reg);
    std::vector<core::Operation> ops;
    std::string why = decode_operations(words, word_count, numbers, number_count, ops);
    for (std::uint64_t i = 0; why.empty() && i < ops.size(); ++i) {
      why = core::check_operation(r.qubit_count(), ops[i]);
      if (!why.empty()) why = "operation " + std::to_string(i) + ": " + why;
    }
    if (!why.empty()) {
      PyErr_SetString(PyExc_ValueError, why.c_str());
      return -1;
    }
    if (options & kFuseOperations) ops = core::fuse(ops);
    // Nothing below reads or writes a Python object; the borrow keeps every
    // other call off this register until it is given back.
    const std::uint64_t threads = options >> kThreadsShift;
    without_lock([&] {
      core::ScopedThreads scope(threads);
      for (const core::Operation& op : ops) core::run_operation(r, op);
      // What the register still holds recorded runs now, with the lock
      // released and on these threads, rather than at the next read.
      r.amplitudes();
    });
    return 0;
  });
}

// Reads expectation_values' arrays into observables of a register of n
// qubits; empty, or why not.
std::string decode_observables(const std::uint64_t* words, std::uint64_t word_count,
                               const double* numbers, std::uint64_t number_count,
                               std::uint64_t n, std::vector<core::Observable>& out) {
  FlatReader in{words, word_count, numbers, number_count};
  const std::uint64_t all = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
  std::uint64_t count = 0;
  if (!in.word(count)) return "no observable count";
  for (std::uint64_t o = 0; o < count; ++o) {
    const std::string where = "observable " + std::to_string(o) + ": ";
    std::uint64_t paulis = 0, hermitians = 0;
    if (!in.word(paulis) || !in.word(hermitians)) return where + "the words end inside it";
    core::Observable obs;
    for (std::uint64_t t = 0; t < paulis; ++t) {
      core::PauliTerm p;
      if (!in.word(p.word.x) || !in.word(p.word.z)) return where + "the words end inside it";
      if (((p.word.x | p.word.z) & ~all) != 0) {
        return where + "a Pauli word acts on a qubit not below " + std::to_string(n);
      }
      if (!in.number(p.coefficient)) return where + "the numbers end inside it";
      obs.paulis.push_back(p);
    }
    for (std::uint64_t t = 0; t < hermitians; ++t) {
      core::HermitianTerm h;
      std::uint64_t seen = 0;
      if (!in.list(h.qubits) || h.qubits.empty() || h.qubits.size() > core::kMaxHermitianQubits) {
        return where + "a Hermitian term needs 1 to " + std::to_string(core::kMaxHermitianQubits) +
               " qubits";
      }
      for (const std::uint64_t q : h.qubits) {
        if (q >= n || (seen >> q) & 1) {
          return where + "a Hermitian term needs distinct qubits below " + std::to_string(n);
        }
        seen |= std::uint64_t{1} << q;
      }
      h.matrix.resize(std::uint64_t{1} << (2 * h.qubits.size()));
      if (!in.amplitudes(h.matrix.size(), h.matrix.data())) return where + "the numbers end inside it";
      obs.hermitians.push_back(std::move(h));
    }
    out.push_back(std::move(obs));
  }
  if (!in.done()) return "the arrays go on after the last observable";
  return {};
}

int expectation_values(PyObject* reg, const std::uint64_t* words, std::uint64_t word_count,
                       const double* numbers, std::uint64_t number_count, double* out) noexcept {
  return guarded(-1, [&] {
    Borrow borrow(borrow_flag(reg));
    if (!borrow.held()) return -1;
    core::Register& r = register_of(reg);
    std::vector<core::Observable> observables;
    const std::string why =
        decode_observables(words, word_count, numbers, number_count, r.qubit_count(), observables);
    if (!why.empty()) {
      PyErr_SetString(PyExc_ValueError, why.c_str());
      return -1;
    }
    without_lock([&] {
      const std::vector<double> values =
          core::expectation_values(r.amplitudes(), r.dimension(), observables);
      std::copy(values.begin(), values.end(), out);
    });
    return 0;
  });
}

// Reads adjoint_jacobian's gate arrays into gates; empty, or why not.
std::string decode_gates(const std::uint64_t* words, std::uint64_t word_count, const double* numbers,
                         std::uint64_t number_count, std::vector<core::AdjointGate>& gates) {
  using core::AdjointGateKind;
  FlatReader in{words, word_count, numbers, number_count};
  while (in.more_words()) {
    const std::string where = "gate " + std::to_string(gates.size()) + ": ";
    core::AdjointGate g;
    std::uint64_t kind = 0, column = 0, terms = 0;
    in.word(kind);
    if (kind > static_cast<std::uint64_t>(AdjointGateKind::kMatrix)) return where + "no such kind";
    g.kind = static_cast<AdjointGateKind>(kind);
    if (!in.list(g.qubits) || !in.word(column) || !in.word(terms)) {
      return where + "the words end inside it";
    }
    g.column = column == kNoColumn ? core::kFixedGate : static_cast<std::int64_t>(column);
    if (!in.number(g.theta)) return where + "the numbers end inside it";
    if (g.kind == AdjointGateKind::kU || g.kind == AdjointGateKind::kMcu) {
      if (!in.amplitudes(4, &g.m.m00)) return where + "the numbers end inside it";
    } else if (g.kind == AdjointGateKind::kMatrix) {
      if (g.qubits.size() > core::kMaxOperationQubits) {
        return where + "a matrix acts on at most " + std::to_string(core::kMaxOperationQubits) +
               " qubits";
      }
      g.entries.resize(std::uint64_t{1} << (2 * g.qubits.size()));
      if (!in.amplitudes(g.entries.size(), g.entries.data())) {
        return where + "the numbers end inside it";
      }
    }
    for (std::uint64_t t = 0; t < terms; ++t) {
      core::GeneratorTerm term;
      if (!in.word(term.projector) || !in.word(term.word.x) || !in.word(term.word.z)) {
        return where + "the words end inside it";
      }
      if (!in.number(term.coefficient)) return where + "the numbers end inside it";
      g.generator.push_back(term);
    }
    gates.push_back(std::move(g));
  }
  if (!in.done()) return "the numbers go on after the last gate";
  return {};
}

int adjoint_jacobian(std::uint64_t qubits, const std::uint64_t* gate_words,
                     std::uint64_t gate_word_count, const double* gate_numbers,
                     std::uint64_t gate_number_count, const std::uint64_t* observable_words,
                     std::uint64_t observable_word_count, const double* observable_numbers,
                     std::uint64_t observable_number_count, std::uint64_t columns, double* values,
                     double* jacobian, std::uint64_t threads) noexcept {
  return guarded(-1, [&] {
    std::vector<core::AdjointGate> gates;
    std::vector<core::Observable> observables;
    std::string why = decode_gates(gate_words, gate_word_count, gate_numbers, gate_number_count, gates);
    if (why.empty()) {
      why = decode_observables(observable_words, observable_word_count, observable_numbers,
                               observable_number_count, qubits, observables);
    }
    if (!why.empty()) {
      PyErr_SetString(PyExc_ValueError, ("adjoint: " + why).c_str());
      return -1;
    }
    // Nothing here reads or writes a Python object.
    core::AdjointResult result;
    without_lock([&] {
      core::ScopedThreads scope(threads);
      result = core::adjoint_jacobian(qubits, gates, observables);
    });
    if (result.refusal.empty() && result.columns != columns) {
      result.refusal = "adjoint: the caller counted " + std::to_string(columns) +
                       " columns where the gates name " + std::to_string(result.columns);
    }
    if (!result.refusal.empty()) {
      PyErr_SetString(PyExc_ValueError, result.refusal.c_str());
      return -1;
    }
    std::copy(result.values.begin(), result.values.end(), values);
    std::copy(result.jacobian.begin(), result.jacobian.end(), jacobian);
    return 0;
  });
}

// One field a line, in the order EngineApi declares them.
constexpr EngineApi kEngineApi = {
    .abi_version = kEngineApiVersion,
    .size = sizeof(EngineApi),
    .kernel_set = &kernel_set,
    .register_type = &register_type,
    .take_register = &take_register,
    .give_back_register = &give_back_register,
    .match_args = &match_args_entry,
    .create_type = &create_type,
    .dimension = &dimension,
    .probabilities = &probabilities,
    .amplitudes = &amplitudes,
    .allocate_copy = &allocate_copy,
    .release_copy = &release_copy,
    .adjoint_jacobian = &adjoint_jacobian,
    .run_operations = &run_operations,
    .expectation_values = &expectation_values,
};

}  // namespace

int publish_engine_api() {
  // Without an interpreter dictionary (never so for a normal interpreter) the
  // table stays unpublished and clients refuse to import.
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!shared) return 0;
  PyRef capsule = PyRef::steal(
      PyCapsule_New(const_cast<EngineApi*>(&kEngineApi), kEngineApiName, nullptr));
  if (!capsule) return -1;
  return PyDict_SetItemString(shared, kEngineApiName, capsule.get());
}

}  // namespace zentrova::py
