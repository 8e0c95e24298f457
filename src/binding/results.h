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

// Values copied out of the engine while its lock is held, to become bytes
// objects once it is released: nothing enters the interpreter (whose
// allocations may run a collection, and finalizers with it) under an
// engine lock.

// One value, or none. A short one lives inline: a read allocates nothing
// here.
class CopiedValue {
 public:
  void Set(std::span<const std::byte> value);
  // A new bytes of the value, or a new reference to None if none was set.
  PyObject* New() const;

 private:
  static constexpr size_t kInline = 256;
  std::byte inline_[kInline];
  std::vector<std::byte> heap_;  // a value longer than inline_
  size_t size_ = 0;
  bool found_ = false;
};

// A value, or none, for each of a batch's slots, back to back in one buffer.
class CopiedValues {
 public:
  explicit CopiedValues(size_t slots) : starts_(slots, kAbsent), lengths_(slots, 0) {}
  // Copies `value` into slot `i`, which is absent.
  void Set(size_t i, std::span<const std::byte> value);
  // A new bytes of slot i, or a new reference to None if it is absent.
  PyObject* New(size_t i) const;

 private:
  static constexpr uint64_t kAbsent = UINT64_MAX;
  std::vector<std::byte> bytes_;
  std::vector<uint64_t> starts_;  // per slot: offset into bytes_, or kAbsent
  std::vector<uint64_t> lengths_;
};

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_RESULTS_H_
