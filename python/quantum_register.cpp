// QuantumRegister: one engine register per instance, and the fifteen methods.
// Every method is one instantiation of QuantumRegister_method, which runs the
// whole call protocol: match arguments, check self, take the register
// exclusively, convert in parameter order, one engine call, give the register
// back, convert the outcome.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"
#include "python/args.h"
#include "python/guard.h"
#include "python/messages.h"
#include "python/pyref.h"
#include "python/types.h"

namespace zentrova::py {

namespace {

PyTypeObject* g_type = nullptr;

// Exclusive use of one register for the length of a call. Given back on every
// path, including a FatalError unwinding towards the entry guard.
class Borrow {
 public:
  explicit Borrow(QuantumRegisterObject* obj) : flag_(&obj->borrow) {
    std::intptr_t expected = 0;
    if (!flag_->compare_exchange_strong(expected, kExclusive)) {
      flag_ = nullptr;
      PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
    }
  }
  ~Borrow() { give_back(); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool held() const { return flag_ != nullptr; }
  void give_back() {
    if (flag_) flag_->store(0);
    flag_ = nullptr;
  }

 private:
  BorrowFlag* flag_;
};

QuantumRegisterObject* checked_self(PyObject* self) {
  PyTypeObject* type = require_type(&quantum_register_type, "QuantumRegister");
  if (!PyObject_TypeCheck(self, type)) {
    raise_type_mismatch(self, "QuantumRegister");
    return nullptr;
  }
  return reinterpret_cast<QuantumRegisterObject*>(self);
}

// Argument kinds: how many parameters each takes and how it converts them.
// On failure `bad` is the offset of the parameter to name in the error.
struct QubitArg {
  static constexpr Py_ssize_t arity = 1;
  using type = std::uint64_t;
  static bool convert(PyObject* const* objs, type* out, int*) { return to_qubit(objs[0], out); }
};
struct AngleArg {
  static constexpr Py_ssize_t arity = 1;
  using type = double;
  static bool convert(PyObject* const* objs, type* out, int*) { return to_angle(objs[0], out); }
};
struct IndexListArg {
  static constexpr Py_ssize_t arity = 1;
  using type = std::vector<std::uint64_t>;
  static bool convert(PyObject* const* objs, type* out, int*) {
    return to_index_list(objs[0], out);
  }
};
// The four entries of a matrix convert as one group: four type checks, then reads.
struct MatrixArg {
  static constexpr Py_ssize_t arity = 4;
  using type = core::Matrix2;
  static bool convert(PyObject* const* objs, type* out, int* bad) {
    return to_matrix4(objs, out, bad);
  }
};

template <class... Kinds>
struct ArgList {
  static constexpr Py_ssize_t count = (Kinds::arity + ... + 0);
  static constexpr std::array<Py_ssize_t, sizeof...(Kinds)> offsets = [] {
    std::array<Py_ssize_t, sizeof...(Kinds)> at{};
    Py_ssize_t next = 0;
    std::size_t i = 0;
    ((at[i++] = next, next += Kinds::arity), ...);
    return at;
  }();
  using Values = std::tuple<typename Kinds::type...>;

  static bool convert(const MethodSig& sig, PyObject* const* argv, Values& values) {
    return convert_each(sig, argv, values, std::index_sequence_for<Kinds...>{});
  }

 private:
  template <std::size_t... I>
  static bool convert_each(const MethodSig& sig, PyObject* const* argv, Values& values,
                           std::index_sequence<I...>) {
    return (convert_one<Kinds>(sig, argv, offsets[I], std::get<I>(values)) && ...);
  }
  template <class Kind>
  static bool convert_one(const MethodSig& sig, PyObject* const* argv, Py_ssize_t offset,
                          typename Kind::type& out) {
    int bad = 0;
    if (Kind::convert(argv + offset, &out, &bad)) return true;
    rewrite_arg_error(sig.params[offset + bad]);
    return false;
  }
};

PyObject* to_python(PyObject* self, const core::OpResult& result) {
  if (result.ok()) return Py_NewRef(self);
  PyErr_SetString(PyExc_ValueError, result.message().c_str());
  return nullptr;
}

PyObject* to_python(PyObject*, const core::Ket& ket) { return new_dirac_ket(ket); }

template <const MethodSig& Sig, auto Op, class... Kinds>
PyObject* QuantumRegister_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  using List = ArgList<Kinds...>;
  static_assert(List::count == Sig.count && List::count <= kMaxParams);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // The common call, all positional and complete, needs no matching at all.
    PyObject* placed[kMaxParams];
    PyObject* const* argv = args;
    if (kwnames || nargs != List::count) {
      if (!match_args(Sig, args, nargs, kwnames, placed)) return nullptr;
      argv = placed;
    }
    QuantumRegisterObject* obj = checked_self(self);
    if (!obj) return nullptr;
    // Taken before converting: an __index__ or __iter__ may call back into us.
    Borrow borrow(obj);
    if (!borrow.held()) return nullptr;
    typename List::Values values;
    if (!List::convert(Sig, argv, values)) return nullptr;
    auto result = std::apply(
        [&](auto&... v) { return (obj->reg.*Op)(std::move(v)...); }, values);
    borrow.give_back();
    return to_python(self, result);
  });
}

template <auto Op>
PyObject* QuantumRegister_noargs(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    QuantumRegisterObject* obj = checked_self(self);
    if (!obj) return nullptr;
    Borrow borrow(obj);
    if (!borrow.held()) return nullptr;
    auto result = (obj->reg.*Op)();
    borrow.give_back();
    return to_python(self, result);
  });
}

// A float in a list costs its 8-byte slot plus a 32-byte object (24 bytes,
// rounded up by the small-object allocator).
constexpr std::uint64_t kBytesPerListedFloat = 40;
// Below this the list cannot plausibly exhaust a host, and reading the memory
// figure would cost more than building it.
constexpr std::uint64_t kReadoutCheckThreshold = std::uint64_t{16} << 20;

void check_readout_fits(std::uint64_t entries) {
  const std::uint64_t need = entries > UINT64_MAX / kBytesPerListedFloat
                                 ? UINT64_MAX
                                 : entries * kBytesPerListedFloat;
  if (need <= kReadoutCheckThreshold) return;
  const std::uint64_t available = core::platform::available_physical_memory();
  if (need > available) {
    ZV_FATAL(core::readout_memory_message(
        "god_observe's list of " + std::to_string(entries) + " probabilities", available, need));
  }
}

PyObject* QuantumRegister_god_observe(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    QuantumRegisterObject* obj = checked_self(self);
    if (!obj) return nullptr;
    Borrow borrow(obj);
    if (!borrow.held()) return nullptr;
    const std::uint64_t dimension = obj->reg.dimension();
    check_readout_fits(dimension);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(dimension)));
    if (!list) fail_creation();
    // Filled a chunk at a time, so no second buffer of 2^n doubles is needed;
    // the register stays borrowed until the list is complete.
    constexpr std::uint64_t kChunk = 512;
    double chunk[kChunk];
    for (std::uint64_t begin = 0; begin < dimension; begin += kChunk) {
      const std::uint64_t count = std::min(kChunk, dimension - begin);
      obj->reg.god_observe(begin, count, chunk);
      for (std::uint64_t i = 0; i < count; ++i) {
        PyObject* value = PyFloat_FromDouble(chunk[i]);
        if (!value) fail_creation();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(begin + i), value);
      }
    }
    borrow.give_back();
    return list.release();
  });
}

// Each method's parameter names, written once: the argument matching, the
// error messages and the text signature all come from its MethodSig. The stub
// (zentrova.pyi) is held to the text signatures by the typing tests.
#define ZV_SIG(name, ...)                                \
  constexpr const char* name##_params[] = {__VA_ARGS__}; \
  constexpr MethodSig name##_sig{#name, name##_params, std::size(name##_params)};
#define ZV_SIG_NOARGS(name) constexpr MethodSig name##_sig{#name, nullptr, 0};

ZV_SIG(__new__, "n")
ZV_SIG_NOARGS(observe)
ZV_SIG(observe_one, "target")
ZV_SIG(observe_mul, "targets")
ZV_SIG_NOARGS(god_observe)
ZV_SIG(x, "target")
ZV_SIG(h, "target")
ZV_SIG(u, "target", "u00", "u01", "u10", "u11")
ZV_SIG(cnot, "control", "target")
ZV_SIG(ccnot, "control1", "control2", "target")
ZV_SIG(rz, "target", "theta")
ZV_SIG(rx, "target", "theta")
ZV_SIG(ry, "target", "theta")
ZV_SIG(swap, "q1", "q2")
ZV_SIG(csswap, "control", "target_1", "target_2")
ZV_SIG(mcu, "control", "target", "u00", "u01", "u10", "u11")

#undef ZV_SIG_NOARGS
#undef ZV_SIG

// The constructor's text signature names the type, not __new__.
constexpr MethodSig QuantumRegister_sig{"QuantumRegister", __new___params,
                                        std::size(__new___params)};

using core::Register;

constexpr auto QuantumRegister_observe = &QuantumRegister_noargs<&Register::observe>;
constexpr auto QuantumRegister_observe_one =
    &QuantumRegister_method<observe_one_sig, &Register::observe_one, QubitArg>;
constexpr auto QuantumRegister_observe_mul =
    &QuantumRegister_method<observe_mul_sig, &Register::observe_mul, IndexListArg>;
constexpr auto QuantumRegister_x = &QuantumRegister_method<x_sig, &Register::x, QubitArg>;
constexpr auto QuantumRegister_h = &QuantumRegister_method<h_sig, &Register::h, QubitArg>;
constexpr auto QuantumRegister_u =
    &QuantumRegister_method<u_sig, &Register::u, QubitArg, MatrixArg>;
constexpr auto QuantumRegister_cnot =
    &QuantumRegister_method<cnot_sig, &Register::cnot, QubitArg, QubitArg>;
constexpr auto QuantumRegister_ccnot =
    &QuantumRegister_method<ccnot_sig, &Register::ccnot, QubitArg, QubitArg, QubitArg>;
constexpr auto QuantumRegister_rz =
    &QuantumRegister_method<rz_sig, &Register::rz, QubitArg, AngleArg>;
constexpr auto QuantumRegister_rx =
    &QuantumRegister_method<rx_sig, &Register::rx, QubitArg, AngleArg>;
constexpr auto QuantumRegister_ry =
    &QuantumRegister_method<ry_sig, &Register::ry, QubitArg, AngleArg>;
constexpr auto QuantumRegister_swap =
    &QuantumRegister_method<swap_sig, &Register::swap, QubitArg, QubitArg>;
constexpr auto QuantumRegister_csswap =
    &QuantumRegister_method<csswap_sig, &Register::csswap, QubitArg, QubitArg, QubitArg>;
constexpr auto QuantumRegister_mcu =
    &QuantumRegister_method<mcu_sig, &Register::mcu, IndexListArg, QubitArg, MatrixArg>;

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// One entry per method: its name and text signature from its MethodSig.
#define ZV_METHOD(method, flags)                                      \
  {                                                                   \
    method##_sig.name, as_cfunction(QuantumRegister_##method), flags, \
        kTextSignature<method##_sig>.text                             \
  }

PyMethodDef QuantumRegister_methods[] = {
    ZV_METHOD(observe, METH_NOARGS),
    ZV_METHOD(observe_one, kFastKw),
    ZV_METHOD(observe_mul, kFastKw),
    ZV_METHOD(god_observe, METH_NOARGS),
    ZV_METHOD(x, kFastKw),
    ZV_METHOD(h, kFastKw),
    ZV_METHOD(u, kFastKw),
    ZV_METHOD(cnot, kFastKw),
    ZV_METHOD(ccnot, kFastKw),
    ZV_METHOD(rz, kFastKw),
    ZV_METHOD(rx, kFastKw),
    ZV_METHOD(ry, kFastKw),
    ZV_METHOD(swap, kFastKw),
    ZV_METHOD(csswap, kFastKw),
    ZV_METHOD(mcu, kFastKw),
    {nullptr, nullptr, 0, nullptr},
};

// The three forms CPython parses a text signature from.
static_assert(std::string_view(kTextSignature<observe_sig>.text) == "observe($self)\n--\n\n");
static_assert(std::string_view(kTextSignature<cnot_sig>.text) ==
              "cnot($self, control, target)\n--\n\n");
static_assert(std::string_view(kTextSignature<QuantumRegister_sig, false>.text) ==
              "QuantumRegister(n)\n--\n\n");

#undef ZV_METHOD

PyObject* QuantumRegister_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* placed[1];
    if (!match_args_tuple(__new___sig, args, kwargs, placed)) return nullptr;
    // Held across __index__, which could drop the caller's last reference.
    PyRef n_obj = PyRef::borrow(placed[0]);
    std::uint64_t n;
    if (!to_qubit(n_obj.get(), &n)) {
      rewrite_arg_error(__new___sig.params[0]);
      return nullptr;
    }
    core::Register reg(n);
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) fail_creation();
    PyObject* obj = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
    if (!obj) return nullptr;  // the register is released on the way out
    auto* qr = reinterpret_cast<QuantumRegisterObject*>(obj);
    new (&qr->reg) core::Register(std::move(reg));
    new (&qr->borrow) BorrowFlag(0);
    return obj;
  });
}

void QuantumRegister_dealloc(PyObject* self) {
  guarded_dealloc(self, [&] {
    reinterpret_cast<QuantumRegisterObject*>(self)->reg.~Register();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyType_Slot QuantumRegister_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTextSignature<QuantumRegister_sig, false>.text)},
    {Py_tp_new, reinterpret_cast<void*>(&QuantumRegister_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&QuantumRegister_dealloc)},
    {Py_tp_methods, QuantumRegister_methods},
    {0, nullptr},
};

PyType_Spec QuantumRegister_spec = {
    "builtins.QuantumRegister",
    sizeof(QuantumRegisterObject),
    0,
    Py_TPFLAGS_DEFAULT,
    QuantumRegister_slots,
};

}  // namespace

PyTypeObject* quantum_register_type() {
  if (!g_type) g_type = create_type_once(&g_type, &QuantumRegister_spec, "QuantumRegister");
  return g_type;
}

}  // namespace zentrova::py
