// Argument handling shared by the constructor and every method: matching
// positional and keyword arguments to parameters, the four converters, and the
// messages of both. Converters return false with the Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/qubit/register.h"

namespace zentrova::py {

inline constexpr Py_ssize_t kMaxParams = 6;

// Shared with companion modules through engine_api.h: a change of layout
// raises kEngineApiVersion.
struct MethodSig {
  const char* name;            // "h", or "__new__" for the constructor
  const char* const* params;   // parameter names in order
  Py_ssize_t count;
  // The last `optional` parameters may be left out (they are then null).
  Py_ssize_t optional = 0;
  // Named in messages as "QuantumRegister.h()"; null for a module's function,
  // "probabilities()".
  const char* owner = "QuantumRegister";
};

// The docstring CPython takes a text signature from, written from a MethodSig
// at compile time so that the parameter names have one source:
// "h($self, target)\n--\n\n" for a method; without "$self, " for a
// constructor, whose MethodSig then carries the type's name.
template <std::size_t Size>
struct TextSignature {
  char text[Size];
};

namespace text_signature_detail {

// Run once to count the characters, once to write them.
struct Counter {
  std::size_t size = 0;
  constexpr void put(char) { ++size; }
};
template <std::size_t Size>
struct Writer {
  TextSignature<Size> out{};
  std::size_t at = 0;
  constexpr void put(char c) { out.text[at++] = c; }
};

template <class Out>
constexpr void write(Out& out, const MethodSig& sig, bool with_self) {
  const auto puts = [&](const char* s) {
    while (*s != '\0') out.put(*s++);
  };
  puts(sig.name);
  out.put('(');
  if (with_self) puts(sig.count > 0 ? "$self, " : "$self");
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (i > 0) puts(", ");
    puts(sig.params[i]);
  }
  puts(")\n--\n\n");
  out.put('\0');
}

}  // namespace text_signature_detail

template <const MethodSig& Sig, bool WithSelf = true>
constexpr auto text_signature() {
  namespace d = text_signature_detail;
  constexpr std::size_t size = [] {
    d::Counter counter;
    d::write(counter, Sig, WithSelf);
    return counter.size;
  }();
  d::Writer<size> writer;
  d::write(writer, Sig, WithSelf);
  return writer.out;
}

template <const MethodSig& Sig, bool WithSelf = true>
inline constexpr auto kTextSignature = text_signature<Sig, WithSelf>();

// Places the arguments of a vectorcall into out[0 .. sig.count) (borrowed).
bool match_args(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional keyword dictionary.
bool match_args_tuple(const MethodSig& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// TypeError "'<qualname>' object is not an instance of '<expected>'".
void raise_type_mismatch(PyObject* obj, const char* expected);

// Puts the parameter's name in front of a pending exception of exactly
// TypeError; any other exception is left as it is.
void rewrite_arg_error(const char* param);

bool to_qubit(PyObject* obj, std::uint64_t* out);
bool to_angle(PyObject* obj, double* out);
// Four type checks first, then eight reads; on failure *bad is the offset of
// the entry that failed.
bool to_matrix4(PyObject* const* objs, core::Matrix2* out, int* bad);
bool to_index_list(PyObject* obj, std::vector<std::uint64_t>* out);

}  // namespace zentrova::py
