// Argument conversions of the Python module beyond the binding library's
// own: large arrays read in place once every argument is converted, ordered
// sequences, optional penalty matrices, and the guards that keep Python from
// making or re-typing objects of the module's classes behind its back.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/dense_ref.hpp"

namespace qorv_py {

namespace py = pybind11;

// A large read-only array argument. An aligned float64 array is read in
// place, but only when borrow() is called: the conversion of a later
// argument can run user code (__float__, __index__, __array__) that resizes
// or frees this array's buffer, so the adapter borrows after every argument
// has been converted, and then sees the array as it is at that moment.
// Anything else is converted by exactly the rules of a plain Eigen argument
// (dtype, byte order, strides, (m, 1) as a vector) and copied at once.
template <class Plain, class View = Eigen::Ref<const Plain>>
class InPlace {
 public:
  // The argument's data; valid until the adapter returns. Throws TypeError
  // if user code has turned the array into something that no longer
  // converts.
  const View& borrow() {
    if (!view_) {
      if (array_ && mappable(array_) && ref_.load(array_, false))
        view_.emplace(static_cast<View&>(ref_));
      else if (array_ && !copy_.load(array_, true))
        throw py::type_error("an array argument was changed into an incompatible "
                             "shape or type while the other arguments were converted");
      else
        view_.emplace(static_cast<Plain&>(copy_));
    }
    return *view_;
  }

  // Conversion step, run by the binding library during overload matching:
  // true when the argument converts.
  bool load(py::handle src, bool convert) {
    if (mappable(src) && ref_.load(src, false)) {
      array_ = py::reinterpret_borrow<py::object>(src);
      return true;
    }
    return copy_.load(src, convert);
  }

 private:
  // The in-place caster divides byte strides by the element size without
  // checking, and Eigen reads a zero stride as "contiguous": only aligned
  // arrays whose strides along every axis longer than one are positive
  // multiples of 8 bytes are read in place.
  static bool mappable(py::handle src) {
    if (!py::isinstance<py::array>(src)) return false;
    const auto a = py::reinterpret_borrow<py::array>(src);
    if ((a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) return false;
    for (py::ssize_t d = 0; d < a.ndim(); ++d) {
      const py::ssize_t st = a.strides(d);
      if (a.shape(d) > 1 &&
          (st <= 0 || st % static_cast<py::ssize_t>(sizeof(double)) != 0))
        return false;
    }
    return true;
  }

  py::object array_;  // set when the array is to be read in place
  py::detail::type_caster<View> ref_;
  py::detail::type_caster<Plain> copy_;
  std::optional<View> view_;
};

// Matrices are read in place in either order (column- or row-major).
using MatrixIn = InPlace<Eigen::MatrixXd, qorv::MatrixView>;
using VectorIn = InPlace<Eigen::VectorXd>;

// A list argument whose order carries meaning (variable d, column j): any
// sequence except a string or bytes, at every level of nesting. Sets, dicts,
// their views, iterators and generators are refused (TypeError), where the
// binding library alone would take them in whatever order they iterate.
template <class T>
struct Sequence {
  T value;
};

template <class T>
struct is_vector : std::false_type {};
template <class U, class A>
struct is_vector<std::vector<U, A>> : std::true_type {};

inline bool is_ordered_sequence(py::handle h) {
  return PySequence_Check(h.ptr()) != 0 && !PyUnicode_Check(h.ptr()) &&
         !PyBytes_Check(h.ptr()) && !PyByteArray_Check(h.ptr());
}

// Whether h and, for nested lists, every element are ordered sequences.
template <class T>
bool ordered_all_the_way(py::handle h) {
  if (!is_ordered_sequence(h)) return false;
  using Elem = typename T::value_type;
  if constexpr (is_vector<Elem>::value) {
    const py::ssize_t n = PySequence_Size(h.ptr());
    if (n < 0) {
      PyErr_Clear();
      return false;
    }
    for (py::ssize_t i = 0; i < n; ++i) {
      const py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(h.ptr(), i));
      if (!item) {
        PyErr_Clear();
        return false;
      }
      if (!ordered_all_the_way<Elem>(item)) return false;
    }
  }
  return true;
}

// An optional penalty matrix: None stays absent; anything else is converted
// by the matrix rule, and an object that does not convert raises the binding
// library's cast error (RuntimeError).
struct OptionalMatrix {
  Eigen::MatrixXd value;
  const Eigen::MatrixXd* ptr = nullptr;

  explicit OptionalMatrix(const py::object& obj) {
    if (!obj.is_none()) {
      value = py::cast<Eigen::MatrixXd>(obj);
      ptr = &value;
    }
  }
};

// The module's classes cannot take another class's memory: `__class__`
// assignment between them is accepted by Python (their layouts look alike)
// and would then read one record as another.
inline int refuse_class_assignment(PyObject* self, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
    PyErr_Format(PyExc_TypeError, "__class__ assignment is not supported for %s objects",
                 Py_TYPE(self)->tp_name);
    return -1;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

// The result classes are made only by the module: `Class.__new__(Class)`
// would hand out an object whose C++ value was never constructed.
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s: No constructor defined!", type->tp_name);
  return nullptr;
}

inline const py::custom_type_setup result_class_setup([](PyHeapTypeObject* heap) {
  heap->ht_type.tp_new = &refuse_new;
  heap->ht_type.tp_setattro = &refuse_class_assignment;
});

inline const py::custom_type_setup constructible_class_setup([](PyHeapTypeObject* heap) {
  heap->ht_type.tp_setattro = &refuse_class_assignment;
});

// The binding library's common base of all its classes aborts the
// interpreter when instantiated directly (`type(obj).__mro__[1]()`, or
// pickling with protocol 0 or 1, which calls the base on the object): such
// calls get a TypeError; every other call goes to the base's own __new__.
inline newfunc& base_new() {
  static newfunc original = nullptr;
  return original;
}

inline PyObject* guarded_base_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  if (py::detail::all_type_info(type).empty()) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
  }
  return base_new()(type, args, kwds);
}

inline void guard_instance_base() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (base->tp_new == &guarded_base_new) return;
  base_new() = base->tp_new;
  base->tp_new = &guarded_base_new;
  PyType_Modified(base);
}

}  // namespace qorv_py

namespace pybind11 {
namespace detail {

// A caster that holds its argument and hands it to the adapter by
// reference; the specialisations below only say how it loads.
template <class Arg>
struct holding_caster {
  static handle cast(const Arg&, return_value_policy, handle) = delete;
  template <typename>
  using cast_op_type = Arg&;
  operator Arg&() { return arg_; }

 protected:
  Arg arg_;
};

template <class Plain, class View>
struct type_caster<qorv_py::InPlace<Plain, View>>
    : holding_caster<qorv_py::InPlace<Plain, View>> {
  static constexpr auto name = type_caster<Plain>::name;
  bool load(handle src, bool convert) { return this->arg_.load(src, convert); }
};

template <class T>
struct type_caster<qorv_py::Sequence<T>> : holding_caster<qorv_py::Sequence<T>> {
  static constexpr auto name = make_caster<T>::name;
  bool load(handle src, bool convert) {
    make_caster<T> inner;
    if (!qorv_py::ordered_all_the_way<T>(src) || !inner.load(src, convert)) return false;
    this->arg_.value = std::move(static_cast<T&>(inner));
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11
