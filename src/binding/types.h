// The module's classes: each is made once per process from a spec at
// namespace scope and reached through its TypeHandle.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace gelvo::py {

class TypeHandle {
 public:
  explicit constexpr TypeHandle(PyType_Spec* spec) noexcept : spec_(spec) {}
  TypeHandle(const TypeHandle&) = delete;
  TypeHandle& operator=(const TypeHandle&) = delete;

  // Creates the class the first time and returns a new reference to it, or
  // null with an exception set. Later calls return the same class.
  PyObject* create();
  // The class (borrowed). The module creates every class at import, before
  // any of their objects can exist, so this is never null where it is used.
  PyTypeObject* get() const noexcept { return type_; }

  // A new, zeroed object of the class (tp_alloc), or null with an exception.
  PyObject* alloc() const noexcept { return type_->tp_alloc(type_, 0); }

 private:
  PyType_Spec* spec_;
  PyTypeObject* type_ = nullptr;  // owned for the life of the process
};

// The tp_dealloc tail shared by every class: the object's memory goes and,
// as for any heap type, the reference the object held on its class.
void free_object(PyObject* self) noexcept;

// tp_new of the classes only the module creates: raises TypeError
// "No constructor defined for <ClassName>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// A slot function pointer as PyType_Slot wants it.
template <class F>
void* slot(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

// A fast-call method as PyMethodDef wants it.
template <class F>
PyCFunction method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace gelvo::py
