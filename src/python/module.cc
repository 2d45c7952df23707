// The module tovra and its class Tovra. Each method binds its arguments, takes the borrow of the
// database object, converts, calls the core, and converts the result back; all failures leave
// through call_guarded as exactly one Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "json/arena.h"
#include "json/hash.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "query/filter.h"
#include "query/update.h"
#include "store/database.h"
#include "store/fs.h"
#include "store/paths.h"

namespace tovra::python {

namespace {

struct TovraObject {
  PyObject_HEAD
  Database* database;
  // 0: not borrowed; n > 0: n shared borrows; -1: borrowed exclusively.
  Py_ssize_t borrow;
};

Database& database_of(PyObject* self) { return *reinterpret_cast<TovraObject*>(self)->database; }

// The state of the module whose class Tovra `self` is an instance of.
ModuleState& state_of(PyObject* self) { return module_state(Py_TYPE(self)); }

// Borrows guard a method against being entered again while it runs, which Python code run
// during a conversion (a dict subclass calling back into the database) could otherwise do.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) : object_(reinterpret_cast<TovraObject*>(self)) {
    if (object_->borrow != 0) throw_python(PyExc_RuntimeError, "Already borrowed");
    object_->borrow = -1;
  }
  ~ExclusiveBorrow() { object_->borrow = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  TovraObject* object_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : object_(reinterpret_cast<TovraObject*>(self)) {
    if (object_->borrow < 0) throw_python(PyExc_RuntimeError, "Already mutably borrowed");
    ++object_->borrow;
  }
  ~SharedBorrow() { --object_->borrow; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  TovraObject* object_;
};

// Text arguments that name a collection are checked before anything else happens.
std::string_view collection_name_argument(PyObject* value) {
  return text_argument("collection_name", value);
}

// Optional dict: nothing for an omitted argument or None.
PyObject* optional_dict_argument(const char* parameter, PyObject* value) {
  if (value == nullptr || value == Py_None) return nullptr;
  return dict_argument(parameter, value);
}

PyObject* none() { Py_RETURN_NONE; }

// The diagnostic lines of update parsing go straight to file descriptor 1, after whatever the
// program printed before them: sys.stdout is flushed first (when there is one), so buffered
// output never falls behind the lines. A failure to flush or to write is not a failure of the
// update: the flush's exception is reported as unraisable, a failed write is dropped. Only a
// KeyboardInterrupt raised during the flush (Ctrl-C) stops the update, which parses before it
// changes anything, and reaches the caller.
class StandardOutput final : public query::DiagnosticSink {
 public:
  void write(std::string_view lines) override {
    flush_python_stdout();
    fs::write_all(1, lines);
  }

 private:
  static void flush_python_stdout() {
    PyObject* stdout_object = PySys_GetObject("stdout");  // borrowed
    if (stdout_object == nullptr || stdout_object == Py_None) return;
    PyRef result(PyObject_CallMethod(stdout_object, "flush", nullptr));
    if (result) return;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw_python_error();
    PyErr_WriteUnraisable(stdout_object);
  }
};

// Runs pending signal handlers; true when one raised (KeyboardInterrupt on Ctrl-C), which
// stops the running operation with that exception pending.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

using Args = PyObject* const*;

const Signature kNew{"Tovra.__new__()", {"name"}, 1};
const Signature kLoadFromDocument{"Tovra.load_from_document()", {"document_path"}, 1};
const Signature kCreateCollection{"Tovra.create_collection()", {"collection_name"}, 1};
const Signature kInsert{"Tovra.insert()", {"collection_name", "document"}, 2};
const Signature kInsertMany{"Tovra.insert_many()", {"collection_name", "documents"}, 2};
const Signature kInsertManyFromDocument{
    "Tovra.insert_many_from_document()", {"collection_name", "document_name"}, 2};
const Signature kFind{"Tovra.find()", {"collection_name", "maybe_query"}, 1};
const Signature kUpdate{
    "Tovra.update()", {"collection_name", "update_query", "maybe_query", "return_result"}, 2};
const Signature kDropCollection{"Tovra.drop_collection()", {"collection_name"}, 1};
const Signature kWrite{"Tovra.write()", {"collection_name"}, 1};

PyObject* load_from_document(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded(state_of(self), [&] {
    PyObject* a[1];
    bind_arguments(kLoadFromDocument, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string path(text_argument("document_path", a[0]));
    database_of(self).load_from_document(path);
    return none();
  });
}

PyObject* create_collection(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded(state_of(self), [&] {
    PyObject* a[1];
    bind_arguments(kCreateCollection, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    check_collection_name(name);
    database_of(self).create_collection(name);
    return none();
  });
}

PyObject* insert(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = state_of(self);
  return call_guarded(state, [&] {
    PyObject* a[2];
    bind_arguments(kInsert, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* document = dict_argument("document", a[1]);
    check_collection_name(name);
    database_of(self).insert_converting(name, [&](Arena* arena, bool outermost_in_arena) {
      return depythonize(state, document, "document", arena, outermost_in_arena);
    });
    return none();
  });
}

PyObject* insert_many(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = state_of(self);
  return call_guarded(state, [&] {
    PyObject* a[2];
    bind_arguments(kInsertMany, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* documents = list_argument("documents", a[1]);
    check_collection_name(name);
    // The whole list converts before anything is stored, so a failure stores nothing.
    auto arena = std::make_shared<Arena>();
    std::vector<JsonValue> converted =
        depythonize_documents(state, documents, "documents", arena.get());
    database_of(self).insert_many(name, std::move(converted), std::move(arena));
    return none();
  });
}

PyObject* insert_many_from_document(PyObject* self, Args args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return call_guarded(state_of(self), [&] {
    PyObject* a[2];
    bind_arguments(kInsertManyFromDocument, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    std::string path(text_argument("document_name", a[1]));
    check_collection_name(name);
    database_of(self).insert_many_from_document(name, path);
    return none();
  });
}

PyObject* find(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = state_of(self);
  return call_guarded(state, [&] {
    PyObject* a[2];
    bind_arguments(kFind, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* query = optional_dict_argument("maybe_query", a[1]);
    check_collection_name(name);
    Database& database = database_of(self);
    // The collection loads before the query converts.
    CollectionHandle collection = database.collection(name);
    if (query == nullptr) return pythonize(*collection);
    JsonValue query_value = depythonize(state, query, "maybe_query");
    bool stored = false;
    FindResultHandle result = database.find(name, query_value, &stored);
    try {
      return pythonize(*result);
    } catch (...) {
      // The conversion was interrupted or ran out of memory: the call changes nothing.
      if (stored) database.forget_find(name, query_value);
      throw;
    }
  });
}

PyObject* update(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = state_of(self);
  return call_guarded(state, [&] {
    PyObject* a[4];
    bind_arguments(kUpdate, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* update_query = dict_argument("update_query", a[1]);
    PyObject* filter_query = optional_dict_argument("maybe_query", a[2]);
    bool return_result = a[3] != nullptr && bool_argument("return_result", a[3]);
    check_collection_name(name);
    Database& database = database_of(self);
    CollectionHandle collection = database.begin_update(name);
    // Each engine is built right after its query converts: parsing the update writes its
    // diagnostic lines before the filter is looked at.
    StandardOutput diagnostics;
    query::UpdateEngine update_engine(depythonize(state, update_query, "update_query"),
                                      &diagnostics);
    std::optional<query::FilterEngine> filter_engine;
    if (filter_query != nullptr) {
      filter_engine.emplace(depythonize(state, filter_query, "maybe_query"));
    }
    database.update(name, update_engine, filter_engine ? &*filter_engine : nullptr);
    if (return_result) return pythonize(*collection);
    return none();
  });
}

PyObject* collections(PyObject* self, PyObject*) {
  return call_guarded(state_of(self), [&] {
    SharedBorrow borrow(self);
    std::vector<std::string> names = database_of(self).list_collections();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) throw_python_error();
    for (size_t i = 0; i < names.size(); ++i) {
      PyObject* name = PyUnicode_DecodeUTF8(names[i].data(),
                                            static_cast<Py_ssize_t>(names[i].size()), "strict");
      if (name == nullptr) throw_python_error();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
  });
}

PyObject* drop_collection(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded(state_of(self), [&] {
    PyObject* a[1];
    bind_arguments(kDropCollection, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    check_collection_name(name);
    database_of(self).drop_collection(name);
    return none();
  });
}

PyObject* drop_all(PyObject* self, PyObject*) {
  return call_guarded(state_of(self), [&] {
    ExclusiveBorrow borrow(self);
    database_of(self).drop_all();
    return none();
  });
}

PyObject* write(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded(state_of(self), [&] {
    PyObject* a[1];
    bind_arguments(kWrite, args, nargs, kwnames, a);
    SharedBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    check_collection_name(name);
    database_of(self).write(name);
    return none();
  });
}

PyObject* write_all(PyObject* self, PyObject*) {
  return call_guarded(state_of(self), [&] {
    SharedBorrow borrow(self);
    database_of(self).write_all();
    return none();
  });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
  return call_guarded(state_of(self), [&] {
    ExclusiveBorrow borrow(self);
    database_of(self).clear_cache();
    return none();
  });
}

template <auto Method>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Method));
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

// Each doc is a text signature only: the signature line, "--" and an empty line.
PyMethodDef tovra_methods[] = {
    {"load_from_document", fastcall<load_from_document>(), kArgs,
     "load_from_document($self, document_path)\n--\n\n"},
    {"create_collection", fastcall<create_collection>(), kArgs,
     "create_collection($self, collection_name)\n--\n\n"},
    {"insert", fastcall<insert>(), kArgs, "insert($self, collection_name, document)\n--\n\n"},
    {"insert_many", fastcall<insert_many>(), kArgs,
     "insert_many($self, collection_name, documents)\n--\n\n"},
    {"insert_many_from_document", fastcall<insert_many_from_document>(), kArgs,
     "insert_many_from_document($self, collection_name, document_name)\n--\n\n"},
    {"find", fastcall<find>(), kArgs, "find($self, collection_name, maybe_query=None)\n--\n\n"},
    {"update", fastcall<update>(), kArgs,
     "update($self, collection_name, update_query, maybe_query=None, return_result=False)\n--"
     "\n\n"},
    {"collections", collections, METH_NOARGS, "collections($self)\n--\n\n"},
    {"drop_collection", fastcall<drop_collection>(), kArgs,
     "drop_collection($self, collection_name)\n--\n\n"},
    {"drop_all", drop_all, METH_NOARGS, "drop_all($self)\n--\n\n"},
    {"write", fastcall<write>(), kArgs, "write($self, collection_name)\n--\n\n"},
    {"write_all", write_all, METH_NOARGS, "write_all($self)\n--\n\n"},
    {"clear_cache", clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* tovra_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded(module_state(type), [&]() -> PyObject* {
    PyObject* a[1];
    bind_arguments(kNew, args, kwargs, a);
    std::string path(text_argument("name", a[0]));
    auto database = std::make_unique<Database>(std::move(path));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_python_error();
    auto* object = reinterpret_cast<TovraObject*>(self);
    object->database = database.release();
    object->borrow = 0;
    return self;
  });
}

void tovra_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TovraObject*>(self)->database;
  type->tp_free(self);
  Py_DECREF(type);  // an instance of a heap type holds a reference to it
}

PyType_Slot tovra_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tovra_dealloc)},
    {Py_tp_doc, const_cast<char*>("Tovra(name)\n--\n\n")},
    {Py_tp_methods, tovra_methods},
    {Py_tp_new, reinterpret_cast<void*>(tovra_new)},
    {0, nullptr},
};

// Not a base type: the class cannot be subclassed. Immutable, as a static type is: its
// attributes cannot be set. No __dict__, no weak references.
PyType_Spec tovra_spec = {
    "tovra.Tovra",
    sizeof(TovraObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tovra_slots,
};

// The module serves one interpreter of the process: the first to import it. The C++ core keeps
// process-wide settings (the interrupt check of store/fs.h, the arena's page advice) that
// call into the interpreter, so another interpreter is refused. A process that finalises its
// interpreter and starts a new one gets a new module: its state is the module object's, and
// the claim of the finalised interpreter ends with it (Py_AtExit).
int64_t owner_interpreter = -1;

void release_owner() { owner_interpreter = -1; }

int claim_interpreter() {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return -1;
  if (owner_interpreter != -1 && owner_interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "tovra does not support sub-interpreters: it is already initialised in "
                    "another interpreter of this process");
    return -1;
  }
  if (owner_interpreter == -1) {
    owner_interpreter = current;
    // Runs when the main interpreter finalises. Without a free slot for it, a later
    // interpreter with another number is refused, as a sub-interpreter is.
    Py_AtExit(release_owner);
  }
  return 0;
}

int exec_module(PyObject* module) {
  if (claim_interpreter() < 0) return -1;
  fs::set_interrupt_check(python_signal_raised);
  Arena::set_large_chunk_hint(fs::advise_large_pages);
  // Once per process, before the first shape: shapes made under one seed stay in tables.
  if (hash::seed == 0) hash::set_hash_seed(fs::random_u64() | 1);
  ModuleState& state = *static_cast<ModuleState*>(PyModule_GetState(module));
  PyObject* type = PyType_FromModuleAndSpec(module, &tovra_spec, nullptr);
  if (type == nullptr) return -1;
  state.tovra_type = reinterpret_cast<PyTypeObject*>(type);
  // A heap type keeps the doc after its text signature as __doc__, here ''; the class has
  // only the signature, and its __doc__ stays None, as a static type's does.
  if (PyDict_SetItemString(state.tovra_type->tp_dict, "__doc__", Py_None) < 0) return -1;
  PyType_Modified(state.tovra_type);
  if (PyModule_AddObjectRef(module, "Tovra", type) < 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyRef all_ref(all);
  PyRef name(PyUnicode_FromString("Tovra"));
  if (!name || PyList_Append(all, name.get()) < 0) return -1;
  return 0;
}

ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  if (ModuleState* state = state_of_module(module)) {
    Py_VISIT(state->tovra_type);
    Py_VISIT(state->panic_type);
    Py_VISIT(state->sequence_abc);
    Py_VISIT(state->mapping_abc);
  }
  return 0;
}

int clear_module(PyObject* module) {
  if (ModuleState* state = state_of_module(module)) {
    Py_CLEAR(state->tovra_type);
    Py_CLEAR(state->panic_type);
    Py_CLEAR(state->sequence_abc);
    Py_CLEAR(state->mapping_abc);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot tovra_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // The core relies on the interpreter lock: every call runs with it held.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef tovra_module = {
    PyModuleDef_HEAD_INIT,
    "tovra",
    "Python extension module for tovra, an embedded JSON document database.",
    sizeof(ModuleState),
    nullptr,
    tovra_module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace tovra::python

// Multi-phase initialisation: each import makes a module object and runs exec_module on it.
PyMODINIT_FUNC PyInit_tovra(void) { return PyModuleDef_Init(&tovra::python::tovra_module); }
