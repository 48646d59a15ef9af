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

BorrowFlag* borrow_flag(PyObject* reg) noexcept {
  return &reinterpret_cast<QuantumRegisterObject*>(reg)->borrow;
}

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

int adjoint_jacobian(std::uint64_t qubits, const std::vector<core::AdjointGate>* gates,
                     const std::vector<core::Observable>* observables,
                     core::AdjointResult* out, std::uint64_t threads) noexcept {
  return guarded(-1, [&] {
    // Nothing here reads or writes a Python object: the gates and
    // observables are the caller's C++ copies.
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
      core::ScopedThreads scope(threads);
      *out = core::adjoint_jacobian(qubits, *gates, *observables);
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    if (out->refusal.empty()) return 0;
    PyErr_SetString(PyExc_ValueError, out->refusal.c_str());
    return -1;
  });
}

// Reads the operations of run_operations' arrays into ops; empty, or why not.
std::string decode_operations(const std::uint64_t* words, std::uint64_t word_count,
                              const double* numbers, std::uint64_t number_count,
                              std::vector<core::Operation>& ops) {
  using core::OpKind;
  std::uint64_t w = 0;
  std::uint64_t d = 0;
  auto word = [&](std::uint64_t& out) {
    if (w >= word_count) return false;
    out = words[w++];
    return true;
  };
  auto list = [&](std::vector<std::uint64_t>& out) {
    std::uint64_t count = 0;
    if (!word(count) || count > word_count - w) return false;
    out.assign(words + w, words + w + count);
    w += count;
    return true;
  };
  auto amplitudes = [&](std::uint64_t count, core::Amplitude* out) {
    if (count > (number_count - d) / 2) return false;
    for (std::uint64_t i = 0; i < count; ++i, d += 2) out[i] = {numbers[d], numbers[d + 1]};
    return true;
  };
  while (w < word_count) {
    const std::string where = "operation " + std::to_string(ops.size());
    core::Operation op;
    std::uint64_t kind = 0;
    word(kind);
    if (kind > static_cast<std::uint64_t>(OpKind::kMatrix)) return where + ": no such kind";
    op.kind = static_cast<OpKind>(kind);
    if (!list(op.qubits) || !list(op.controls) || !word(op.control_values)) {
      return where + ": the words end inside it";
    }
    std::uint64_t count = 0;
    switch (op.kind) {
      case OpKind::kRx: case OpKind::kRy: case OpKind::kRz:
        if (d >= number_count) return where + ": the numbers end inside it";
        op.theta = numbers[d++];
        break;
      case OpKind::kU: case OpKind::kMcu:
        if (!amplitudes(4, &op.m.m00)) return where + ": the numbers end inside it";
        break;
      case OpKind::kDiagonal: case OpKind::kMatrix: {
        const std::uint64_t k = op.qubits.size();
        if (k > core::kMaxOperationQubits) break;  // check_operation says why
        count = std::uint64_t{1} << (op.kind == OpKind::kMatrix ? 2 * k : k);
        op.entries.resize(count);
        if (!amplitudes(count, op.entries.data())) return where + ": the numbers end inside it";
        break;
      }
      default:
        break;
    }
    ops.push_back(std::move(op));
  }
  if (d != number_count) return "the numbers go on after the last operation";
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
    std::exception_ptr failure;
    const std::uint64_t threads = options >> kThreadsShift;
    Py_BEGIN_ALLOW_THREADS
    try {
      core::ScopedThreads scope(threads);
      for (const core::Operation& op : ops) core::run_operation(r, op);
      // What the register still holds recorded runs now, with the lock
      // released and on these threads, rather than at the next read.
      r.amplitudes();
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return 0;
  });
}

// Reads expectation_values' arrays into observables of a register of n
// qubits; empty, or why not.
std::string decode_observables(const std::uint64_t* words, std::uint64_t word_count,
                               const double* numbers, std::uint64_t number_count,
                               std::uint64_t n, std::vector<core::Observable>& out) {
  std::uint64_t w = 0, d = 0;
  auto word = [&](std::uint64_t& v) {
    if (w >= word_count) return false;
    v = words[w++];
    return true;
  };
  const std::uint64_t all = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
  std::uint64_t count = 0;
  if (!word(count)) return "no observable count";
  for (std::uint64_t o = 0; o < count; ++o) {
    const std::string where = "observable " + std::to_string(o) + ": ";
    std::uint64_t paulis = 0, hermitians = 0;
    if (!word(paulis) || !word(hermitians)) return where + "the words end inside it";
    core::Observable obs;
    for (std::uint64_t t = 0; t < paulis; ++t) {
      core::PauliTerm p;
      if (!word(p.word.x) || !word(p.word.z)) return where + "the words end inside it";
      if (((p.word.x | p.word.z) & ~all) != 0) {
        return where + "a Pauli word acts on a qubit not below " + std::to_string(n);
      }
      if (d >= number_count) return where + "the numbers end inside it";
      p.coefficient = numbers[d++];
      obs.paulis.push_back(p);
    }
    for (std::uint64_t t = 0; t < hermitians; ++t) {
      core::HermitianTerm h;
      std::uint64_t k = 0, seen = 0;
      if (!word(k) || k == 0 || k > core::kMaxHermitianQubits || k > word_count - w) {
        return where + "a Hermitian term needs 1 to " + std::to_string(core::kMaxHermitianQubits) +
               " qubits";
      }
      for (std::uint64_t i = 0; i < k; ++i) {
        const std::uint64_t q = words[w++];
        if (q >= n || (seen >> q) & 1) {
          return where + "a Hermitian term needs distinct qubits below " + std::to_string(n);
        }
        seen |= std::uint64_t{1} << q;
        h.qubits.push_back(q);
      }
      const std::uint64_t entries = std::uint64_t{1} << (2 * k);
      if (entries > (number_count - d) / 2) return where + "the numbers end inside it";
      for (std::uint64_t e = 0; e < entries; ++e, d += 2) {
        h.matrix.push_back(core::Amplitude{numbers[d], numbers[d + 1]});
      }
      obs.hermitians.push_back(std::move(h));
    }
    out.push_back(std::move(obs));
  }
  if (w != word_count || d != number_count) return "the arrays go on after the last observable";
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
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
      const std::vector<double> values =
          core::expectation_values(r.amplitudes(), r.dimension(), observables);
      std::copy(values.begin(), values.end(), out);
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return 0;
  });
}

// One field a line, in the order EngineApi declares them.
constexpr EngineApi kEngineApi = {
    .abi_version = kEngineApiVersion,
    .size = sizeof(EngineApi),
    .kernel_set = &kernel_set,
    .register_type = &register_type,
    .borrow_flag = &borrow_flag,
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
