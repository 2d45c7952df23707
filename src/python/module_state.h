// ModuleState: what one tovra module object keeps, in the module's own state (multi-phase
// initialisation, module.cc). Each import makes a module object with its own class Tovra and
// caches; nothing Python is kept in a static, so an interpreter that is finalised and started
// again imports a working module. Methods reach the state through their object's class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tovra::python {

struct ModuleState {
  PyTypeObject* tovra_type;  // the class Tovra, a heap type of this module
  PyObject* panic_type;      // tovra.PanicException, made on first use
  PyObject* sequence_abc;    // collections.abc.Sequence, imported on first use
  PyObject* mapping_abc;     // collections.abc.Mapping, imported on first use
};

// The state of the module that made `type` (the class Tovra, which cannot be subclassed).
inline ModuleState& module_state(PyTypeObject* type) noexcept {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace tovra::python
