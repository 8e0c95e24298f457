// Argument parsing and conversion for the Vantre methods.
//
// Parsing follows the fast-call convention by hand with the public API:
// count positionals, then match each keyword by identity, then by equality.
// Every failure leaves a Python error set and returns false; conversion
// failures that are TypeErrors are re-raised with the prefix
// "argument '<name>': ".
#ifndef VANTRE_BINDING_ARGS_H_
#define VANTRE_BINDING_ARGS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "binding/py_ref.h"

namespace vantre::binding {

// Parameters of one method: all positional-or-keyword, the first
// `required` of them required.
struct Params {
  const char* function;  // full name, e.g. "Vantre.get_bytes"
  std::span<const char* const> names;
  size_t required;
};

// Fills out[i] with a borrowed reference to parameter i, or NULL if it was
// not given.
bool ParseFastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);
bool ParseTuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Key text: the UTF-8 contents of a str (or subclass). The view stays valid
// while the object lives.
bool ConvertText(PyObject* obj, const char* name, std::string_view* out);

// Byte string from a sequence of integers 0..255 (not a str). Exact bytes
// and bytearray objects are viewed in place; other sequences are copied
// element by element into `storage`.
struct ByteArg {
  ByteArg() = default;
  ByteArg(const ByteArg&) = delete;
  ByteArg& operator=(const ByteArg&) = delete;
  // Gives the buffer export back. REQUIRES: the interpreter lock.
  ~ByteArg() {
    if (exported.obj != nullptr) PyBuffer_Release(&exported);
  }

  std::span<const std::byte> bytes;
  std::vector<std::byte> storage;
  // A bytearray is viewed through a buffer export, which keeps it from
  // being resized (and its bytes moved) by another thread while the call
  // runs without the interpreter lock.
  Py_buffer exported{};
};
bool ConvertByteSequence(PyObject* obj, const char* name, ByteArg* out);

// Sequence of str (not a str itself). The objects are kept alive in `refs`
// and their texts viewed in `texts`.
struct TextListArg {
  std::vector<PyRef> refs;
  std::vector<std::string_view> texts;
};
bool ConvertTextSequence(PyObject* obj, const char* name, TextListArg* out);

// Non-negative integer that fits in 32 bits.
bool ConvertCacheSize(PyObject* obj, const char* name, uint64_t* out);

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_ARGS_H_
