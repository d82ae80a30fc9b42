// Buffers of numpy arrays (anything with the buffer protocol) as RAII views:
// acquired in the constructor, released in the destructor, so no early
// return or exception can leak an export of the array.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <utility>

#include "glue/errors.h"

namespace glue {
namespace nb = nanobind;

class Buffer {
 public:
  Buffer() = default;
  /// Acquire with PyBUF_* flags; a refusal raises the exporter's error.
  Buffer(nb::handle obj, int flags) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) raise_current();
    held_ = true;
  }
  ~Buffer() { release(); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      view_ = other.view_;
      held_ = std::exchange(other.held_, false);
    }
    return *this;
  }

  /// A writable, C-contiguous 1-D view of exactly `length` integers of
  /// `itemsize` bytes (`is_signed` picks int64-style or uint32-style codes).
  /// Anything else raises TypeError naming `what`, so native code never
  /// writes past an array it did not allocate itself.
  static Buffer writable_ints(nb::handle obj, bool is_signed, Py_ssize_t itemsize, Py_ssize_t length,
                              const char* what) {
    Buffer b;
    if (!b.try_acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) || !b.is_ints(is_signed, itemsize) ||
        b.ndim() != 1 || b.length() != length) {
      b.release();
      raise(PyExc_TypeError, "%s must be a writable contiguous 1-D array of %zd %s%zd integers, got %.200s", what,
            length, is_signed ? "int" : "uint", itemsize * 8, Py_TYPE(obj.ptr())->tp_name);
    }
    return b;
  }

  /// Integers of this signedness and size ('q'/'l' for signed 8 bytes, ...)?
  bool is_ints(bool is_signed, Py_ssize_t itemsize) const {
    char f = format_code();
    const char* codes = is_signed ? "bhilq" : "BHILQ";
    return f && std::strchr(codes, f) && view_.itemsize == itemsize;
  }

  /// Acquire if the object allows it; false (no error left set) otherwise.
  bool try_acquire(nb::handle obj, int flags) {
    release();
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  void release() {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  template <class T>
  T* data() const {
    return (T*) view_.buf;
  }
  Py_ssize_t itemsize() const { return view_.itemsize; }
  int ndim() const { return view_.ndim; }
  /// Length of a 1-D view.
  Py_ssize_t length() const { return view_.shape ? view_.shape[0] : view_.len / (view_.itemsize ? view_.itemsize : 1); }
  Py_ssize_t stride() const { return view_.strides ? view_.strides[0] : view_.itemsize; }
  /// The struct code of a one-item format ('q', 'I', ...) with a native or
  /// little-endian prefix dropped; 0 for anything else.
  char format_code() const {
    const char* f = view_.format ? view_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    return (f[0] && !f[1]) ? f[0] : 0;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace glue
