// The Python values the companion modules read alike: qubit lists, square
// complex matrices, observables as Pauli sums and Hermitian matrices, and the
// float arrays they return. Header-only: each module compiles its own copy (no
// C++ crosses between the shared objects).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/qubit/adjoint.h"
#include "python/pyref.h"

namespace zentrova::py {
namespace {

using core::Observable;

// A sequence's items as a fast sequence (a list or tuple), or null with
// TypeError saying what it should be.
PyRef fast_sequence(PyObject* obj, const std::string& what) {
  return PyRef::steal(PySequence_Fast(obj, what.c_str()));
}

// Qubit indices: one int or a sequence of them.
bool to_qubits(PyObject* obj, const std::string& where, std::vector<std::uint64_t>& out) {
  if (PyIndex_Check(obj)) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long q = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred()) return false;
    out.push_back(q);
    return true;
  }
  PyRef seq = fast_sequence(obj, where + ": wires must be an int or a sequence of ints");
  if (!seq) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyRef index = PyRef::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), i)));
    if (!index) return false;
    const unsigned long long q = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred()) return false;
    out.push_back(q);
  }
  return true;
}

// A square complex matrix of side `size` (size 0: any power of two), row by row.
bool to_matrix(PyObject* obj, const std::string& where, std::uint64_t size,
               std::vector<core::Amplitude>& out) {
  PyRef rows = fast_sequence(obj, where + ": a matrix must be a sequence of rows");
  if (!rows) return false;
  const auto n = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(rows.get()));
  if ((size != 0 && n != size) || n == 0) {
    PyErr_Format(PyExc_ValueError, "%s: the matrix must have %llu rows, not %llu", where.c_str(),
                 static_cast<unsigned long long>(size ? size : 2), static_cast<unsigned long long>(n));
    return false;
  }
  for (std::uint64_t r = 0; r < n; ++r) {
    PyRef row = fast_sequence(PySequence_Fast_GET_ITEM(rows.get(), r),
                              where + ": a matrix row must be a sequence of numbers");
    if (!row) return false;
    if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(row.get())) != n) {
      PyErr_Format(PyExc_ValueError, "%s: the matrix must be square", where.c_str());
      return false;
    }
    for (std::uint64_t c = 0; c < n; ++c) {
      const Py_complex z = PyComplex_AsCComplex(PySequence_Fast_GET_ITEM(row.get(), c));
      if (PyErr_Occurred()) return false;
      out.push_back(core::Amplitude{z.real, z.imag});
    }
  }
  return true;
}

// (coefficient, "XYZ", wires) or (matrix, wires).
bool to_observable(PyObject* obj, const std::string& where, Observable& out) {
  PyRef terms = fast_sequence(obj, where + ": must be a sequence of terms");
  if (!terms) return false;
  for (Py_ssize_t t = 0; t < PySequence_Fast_GET_SIZE(terms.get()); ++t) {
    const std::string term = where + ", term " + std::to_string(t);
    PyRef tuple = fast_sequence(PySequence_Fast_GET_ITEM(terms.get(), t),
                                term + ": must be (coefficient, word, wires) or (matrix, wires)");
    if (!tuple) return false;
    PyObject* const* item = PySequence_Fast_ITEMS(tuple.get());
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(tuple.get());
    std::vector<std::uint64_t> wires;
    if (size == 2) {
      core::HermitianTerm h;
      if (!to_qubits(item[1], term, h.qubits)) return false;
      const std::uint64_t k = h.qubits.size();
      if (k == 0 || k > core::kMaxHermitianQubits) {
        PyErr_Format(PyExc_ValueError, "%s: a matrix acts on 1 to %llu wires", term.c_str(),
                     static_cast<unsigned long long>(core::kMaxHermitianQubits));
        return false;
      }
      if (!to_matrix(item[0], term, std::uint64_t{1} << k, h.matrix)) return false;
      out.hermitians.push_back(std::move(h));
      continue;
    }
    if (size != 3) {
      PyErr_Format(PyExc_ValueError, "%s: must be (coefficient, word, wires) or (matrix, wires)",
                   term.c_str());
      return false;
    }
    core::PauliTerm p;
    p.coefficient = PyFloat_AsDouble(item[0]);
    if (p.coefficient == -1.0 && PyErr_Occurred()) return false;
    const char* word = PyUnicode_Check(item[1]) ? PyUnicode_AsUTF8(item[1]) : nullptr;
    if (!word) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: the word must be a str", term.c_str());
      return false;
    }
    if (!to_qubits(item[2], term, wires)) return false;
    if (std::strlen(word) != wires.size()) {
      PyErr_Format(PyExc_ValueError, "%s: the word has %zu letters for %zu wires", term.c_str(),
                   std::strlen(word), wires.size());
      return false;
    }
    std::uint64_t seen = 0;
    for (std::size_t w = 0; w < wires.size(); ++w) {
      const char c = word[w];
      if (wires[w] >= 60 || (seen >> wires[w]) & 1 || !std::strchr("IXYZ", c) || c == '\0') {
        PyErr_Format(PyExc_ValueError,
                     "%s: a word is made of I, X, Y and Z on distinct wires below 60", term.c_str());
        return false;
      }
      const std::uint64_t bit = std::uint64_t{1} << wires[w];
      seen |= bit;
      if (c == 'X' || c == 'Y') p.word.x |= bit;
      if (c == 'Z' || c == 'Y') p.word.z |= bit;
    }
    out.paulis.push_back(p);
  }
  return true;
}

// A float64 array of the given shape over a new bytearray: numpy's when numpy
// can be imported, else a memoryview of that shape (one-dimensional when
// empty: a memoryview takes no shape with a zero in it).
PyRef float_array(const std::vector<double>& data, std::uint64_t rows, std::uint64_t cols,
                  bool two_dimensional) {
  PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(
      reinterpret_cast<const char*>(data.data()),
      static_cast<Py_ssize_t>(data.size() * sizeof(double))));
  if (!bytes) return {};
  PyRef shape = PyRef::steal(two_dimensional ? Py_BuildValue("(KK)", rows, cols)
                                             : Py_BuildValue("(K)", rows));
  if (!shape) return {};
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (numpy) {
    PyRef flat = PyRef::steal(
        PyObject_CallMethod(numpy.get(), "frombuffer", "Os", bytes.get(), "float64"));
    if (!flat) return {};
    return PyRef::steal(PyObject_CallMethod(flat.get(), "reshape", "O", shape.get()));
  }
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return {};
  PyErr_Clear();
  PyRef view = PyRef::steal(PyMemoryView_FromObject(bytes.get()));
  if (!view) return {};
  if (data.empty()) return PyRef::steal(PyObject_CallMethod(view.get(), "cast", "s", "d"));
  return PyRef::steal(PyObject_CallMethod(view.get(), "cast", "sO", "d", shape.get()));
}

// A threads= argument: null or None for 1, else an int from 1 to 1024
// (ValueError naming `function` otherwise).
bool to_threads(PyObject* obj, const char* function, std::uint64_t& threads) {
  threads = 1;
  if (!obj || obj == Py_None) return true;
  const long long t = PyLong_AsLongLong(obj);
  if (t == -1 && PyErr_Occurred()) return false;
  if (t < 1 || t > 1024) {
    PyErr_Format(PyExc_ValueError, "%s(): threads must be an int from 1 to 1024", function);
    return false;
  }
  threads = static_cast<std::uint64_t>(t);
  return true;
}

// Observables as the engine table's flat arrays (engine_api.h,
// expectation_values): their count, then for each its Pauli and Hermitian
// term counts, the Pauli words' masks and the Hermitian terms' qubits in
// words; the coefficients, then the matrices' parts, in numbers.
void encode_observables(const std::vector<Observable>& observables,
                        std::vector<std::uint64_t>& words, std::vector<double>& numbers) {
  words.push_back(observables.size());
  for (const Observable& o : observables) {
    words.push_back(o.paulis.size());
    words.push_back(o.hermitians.size());
    for (const core::PauliTerm& t : o.paulis) {
      words.push_back(t.word.x);
      words.push_back(t.word.z);
      numbers.push_back(t.coefficient);
    }
    for (const core::HermitianTerm& h : o.hermitians) {
      words.push_back(h.qubits.size());
      words.insert(words.end(), h.qubits.begin(), h.qubits.end());
      for (const core::Amplitude& a : h.matrix) {
        numbers.push_back(a.re);
        numbers.push_back(a.im);
      }
    }
  }
}

// Observables: a sequence of them, each a sequence of terms.
bool to_observables(PyObject* obj, std::vector<Observable>& out) {
  PyRef obs = fast_sequence(obj, "observables must be a sequence of observables");
  if (!obs) return false;
  out.resize(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obs.get())));
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (!to_observable(PySequence_Fast_GET_ITEM(obs.get(), static_cast<Py_ssize_t>(k)),
                       "observable " + std::to_string(k), out[k])) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace zentrova::py
