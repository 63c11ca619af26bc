// Owner of one new reference to an interpreter object.
//
// Every function of the module that holds a new reference keeps it in a
// PyRef, so that each return path releases it; handing the object to the
// interpreter (or to a function that steals it) is an explicit release().
#ifndef KORVANE_PY_REF_H
#define KORVANE_PY_REF_H

#include "py_compat.h"

namespace korvane {

class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference (or null, which owns nothing).
    explicit PyRef(PyObject *new_reference) : object_(new_reference) {}
    ~PyRef() { Py_XDECREF(object_); }

    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : object_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        PyRef(other.release()).swap(*this);
        return *this;
    }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Gives the reference away; the caller now owns it.
    PyObject *release() {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

  private:
    void swap(PyRef &other) {
        PyObject *object = object_;
        object_ = other.object_;
        other.object_ = object;
    }

    PyObject *object_ = nullptr;
};

} // namespace korvane

#endif // KORVANE_PY_REF_H
