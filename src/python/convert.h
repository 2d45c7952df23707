// Conversion between Python objects and JsonValue, both directions, both deep: to_value.cc
// converts Python objects into values, to_python.cc values into Python objects.
//
// depythonize walks a Python value and builds a new JsonValue; a failure throws (PythonErrorSet
// with the Python exception set, or tovra::Error for the conversion's own messages) and leaves
// nothing half-built behind. pythonize builds new Python objects; nothing is shared with the
// tree. The deliberate sharing: within the result of one call, equal object keys, and equal
// short string values (at most JsonValue::kInlineCapacity bytes), may be the same str object
// (str_cache.h keeps recently made strs, to save making each again). A str is immutable and
// equal by value, so only an identity check (`is`) can tell.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "python/module_state.h"
#include "store/collection.h"
#include "store/find_result.h"
#include "json/json_value.h"

namespace tovra::python {

// Containers may nest this deep, the outermost being level 1. Stored documents then stay
// readable after a write: a collection file adds one level, and files may nest 127 deep.
inline constexpr int kMaxNesting = 126;

// Conversions of large values run signal handlers every kItemsPerSignalCheck items, so that
// Ctrl-C stops them; a countdown keeps the check's cost out of the per-item work.
inline constexpr uint32_t kItemsPerSignalCheck = 4096;

// With an arena, the blocks of every value inside the outermost one are made in it, and the
// arena must outlive them.
// `outermost_in_arena` puts the outermost value's own block there too (a single document).
// `state` is the calling module's (for the abstract classes a general value is tested against).
// A failure carries a note with the place of the value that failed inside the argument named
// `argument`: "at documents[3]['created']".
JsonValue depythonize(ModuleState& state, PyObject* object, const char* argument,
                      Arena* arena = nullptr,
                      bool outermost_in_arena = false);

// The items of `list` (a list or a subclass of it), each converted as depythonize converts a
// value inside the outermost one: the documents of insert_many.
std::vector<JsonValue> depythonize_documents(ModuleState& state, PyObject* list,
                                             const char* argument, Arena* arena);

// A new list of the documents, converted under the collection's read lock.
PyObject* pythonize(const Collection& collection);
// A new list of the result's documents, converted under its collection's read lock.
PyObject* pythonize(const FindResult& result);

}  // namespace tovra::python
