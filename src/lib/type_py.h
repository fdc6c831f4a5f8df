// Creating the module's classes.
#pragma once

#include <Python.h>

namespace gelvo::py {

// Creates a class from spec the first time and stores it in slot; returns a
// new reference to it (or null with an exception). Each class of the module
// is created once per process and shared by every later use.
PyObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec);

// tp_new of the classes only the module creates: raises TypeError
// "No constructor defined for <ClassName>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace gelvo::py
