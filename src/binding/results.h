// Result objects. Each returns a new reference. A failure to make one (a
// failed allocation) is thrown as std::bad_alloc, raised as MemoryError,
// so that the caller's locks are released as it unwinds.
#ifndef VANTRE_BINDING_RESULTS_H_
#define VANTRE_BINDING_RESULTS_H_

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantre::binding {

PyObject* NewBytes(std::span<const std::byte> bytes);
// A str from UTF-8 text; ill-formed bytes (possible only in a damaged
// keys.bin) become U+FFFD.
PyObject* NewText(std::string_view text);
PyObject* NewInt(uint64_t v);
PyObject* NewList(Py_ssize_t size);
PyObject* NewTuple(Py_ssize_t size);

// A list of str, in order.
PyObject* NewTextList(const std::vector<std::string>& texts);

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_RESULTS_H_
