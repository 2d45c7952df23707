// The module tovra and its class Tovra. Each method binds its arguments, takes the borrow of the
// database object, converts, calls the core, and converts the result back; all failures leave
// through call_guarded as exactly one Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "json/arena.h"
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
  return call_guarded([&] {
    PyObject* a[1];
    bind_arguments(kLoadFromDocument, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string path(text_argument("document_path", a[0]));
    database_of(self).load_from_document(path);
    return none();
  });
}

PyObject* create_collection(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
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
  return call_guarded([&] {
    PyObject* a[2];
    bind_arguments(kInsert, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* document = dict_argument("document", a[1]);
    check_collection_name(name);
    Database& database = database_of(self);
    if (Arena* own = database.arena_for_insert(name)) {
      // The collection is in memory: the document converts straight into its arena, and a
      // failure gives back what the conversion took.
      Arena::Mark mark = own->mark();
      try {
        database.insert_converted(
            name, depythonize(document, "document", own, /*outermost_in_arena=*/true));
      } catch (...) {
        own->rewind(mark);
        throw;
      }
      return none();
    }
    auto arena = std::make_shared<Arena>();
    JsonValue converted = depythonize(document, "document", arena.get());
    database.insert(name, std::move(converted), std::move(arena));
    return none();
  });
}

PyObject* insert_many(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
    PyObject* a[2];
    bind_arguments(kInsertMany, args, nargs, kwnames, a);
    ExclusiveBorrow borrow(self);
    std::string_view name = collection_name_argument(a[0]);
    PyObject* documents = list_argument("documents", a[1]);
    check_collection_name(name);
    // The whole list converts before anything is stored, so a failure stores nothing.
    auto arena = std::make_shared<Arena>();
    JsonValue converted = depythonize(documents, "documents", arena.get());
    database_of(self).insert_many(name, std::move(converted), std::move(arena));
    return none();
  });
}

PyObject* insert_many_from_document(PyObject* self, Args args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return call_guarded([&] {
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
  return call_guarded([&] {
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
    JsonValue query_value = depythonize(query, "maybe_query");
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
  return call_guarded([&] {
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
    query::UpdateEngine update_engine(depythonize(update_query, "update_query"), &diagnostics);
    std::optional<query::FilterEngine> filter_engine;
    if (filter_query != nullptr) filter_engine.emplace(depythonize(filter_query, "maybe_query"));
    database.update(name, update_engine, filter_engine ? &*filter_engine : nullptr);
    if (return_result) return pythonize(*collection);
    return none();
  });
}

PyObject* collections(PyObject* self, PyObject*) {
  return call_guarded([&] {
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
  return call_guarded([&] {
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
  return call_guarded([&] {
    ExclusiveBorrow borrow(self);
    database_of(self).drop_all();
    return none();
  });
}

PyObject* write(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
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
  return call_guarded([&] {
    SharedBorrow borrow(self);
    database_of(self).write_all();
    return none();
  });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
  return call_guarded([&] {
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
  return call_guarded([&]() -> PyObject* {
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
  delete reinterpret_cast<TovraObject*>(self)->database;
  Py_TYPE(self)->tp_free(self);
}

PyTypeObject tovra_type = [] {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "tovra.Tovra";
  type.tp_basicsize = sizeof(TovraObject);
  type.tp_dealloc = tovra_dealloc;
  // Not a base type: the class cannot be subclassed. No __dict__, no weak references.
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = "Tovra(name)\n--\n\n";
  type.tp_methods = tovra_methods;
  type.tp_new = tovra_new;
  return type;
}();

PyModuleDef tovra_module = {
    PyModuleDef_HEAD_INIT,
    "tovra",
    "Python extension module for tovra, an embedded JSON document database.",
    // 0, not -1: CPython then calls PyInit_tovra in every interpreter that imports the module
    // (rather than copying the first interpreter's module into the others), so the check
    // there refuses every interpreter but the first.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  fs::set_interrupt_check(python_signal_raised);
  Arena::set_large_chunk_hint(fs::advise_large_pages);
  if (PyType_Ready(&tovra_type) < 0) return nullptr;
  PyRef module(PyModule_Create(&tovra_module));
  if (!module) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Tovra", reinterpret_cast<PyObject*>(&tovra_type)) <
      0) {
    return nullptr;
  }
  PyObject* all = PyObject_GetAttrString(module.get(), "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module.get(), "__all__", all) < 0) {
      Py_XDECREF(all);
      return nullptr;
    }
  }
  PyRef all_ref(all);
  PyRef name(PyUnicode_FromString("Tovra"));
  if (!name || PyList_Append(all, name.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace tovra::python

PyMODINIT_FUNC PyInit_tovra(void) {
  // The module keeps process-wide state (its type object), so it serves one interpreter.
  static int64_t interpreter = -1;
  static PyObject* module = nullptr;
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return nullptr;
  if (interpreter != -1 && interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "tovra does not support sub-interpreters: it is already initialised in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (module == nullptr) {
    module = tovra::python::create_module();
    if (module == nullptr) return nullptr;
    interpreter = current;
  }
  Py_INCREF(module);
  return module;
}
