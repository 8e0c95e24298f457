// Owning reference to a Python object: one Py_DECREF when it goes.
#ifndef VANTRE_BINDING_PY_REF_H_
#define VANTRE_BINDING_PY_REF_H_

#include <Python.h>

namespace vantre::binding {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (which may be NULL).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_PY_REF_H_
