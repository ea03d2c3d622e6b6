// The option-table facility: the metaclass OptionsMeta, the entry
// class Option (an int subclass) and the empty base table Options, made the
// way class statements make them; and make_table(), which declares a table
// from C++ as `class Name(Options): ...` would. It behaves like:
//
//     class OptionsMeta(type):
//         def __new__(mcls, name, bases, ns):
//             if any(getattr(b, "_options_", ())): raise TypeError  # extends
//             ns = dict(ns); entries = []
//             for key, v in list(ns.items()):
//                 if isinstance(key, str) and key.isupper() and key[0] != "_":
//                     code, text = v if isinstance(v, tuple) else (v, None)
//                     ns[key] = e = mcls._option_class(code, key, text)
//                     entries.append(e)      # each v is checked first
//             ns["_options_"] = tuple(entries)
//             ns["_option_index_"] = (ns["_options_"], codes, {code: first
//             entry}) cls = super().__new__(mcls, name, bases, ns) for e in
//             entries: object.__setattr__(e, "__objclass__", cls)
//             cls.__dict__["codes"] = tuple(operator.index(e) for e in
//             cls._options_) return cls
//         def __setattr__(cls, name, value):      # codes follow _options_
//             if name == "codes": raise AttributeError
//             if name == "_options_" and not isinstance(value, tuple): raise
//             TypeError super().__setattr__(name, value) if name ==
//             "_options_": cls.__dict__["codes"] = tuple(map(operator.index,
//             value))
//         def __delattr__(cls, name):             # ... and go with them
//             if name == "codes": raise AttributeError
//             super().__delattr__(name)
//             if name == "_options_": cls.__dict__.pop("codes", None)
//         def __bool__(cls): return True       # an empty table is no false
//         def __contains__(cls, x): return any(x is e for e in cls._options_)
//         def __iter__(cls): return iter(cls._options_)
//         def __len__(cls): return len(cls._options_)
//         def get_option_by_code(cls, code):
//             return next((e for e in cls._options_ if e == code), None)
//
//     class Option(int):
//         def __new__(cls, code, name, text=None): ...  # name, text,
//         __objclass__ def __str__(self): return self.name def __repr__(self):
//         return f"<{self.__objclass__.__name__}.{self.name}: {int(self)}>"
//         __setattr__ = __delattr__ = read_only          # AttributeError
//         def __reduce_ex__(self, proto): return getattr, (self.__objclass__,
//         self.name)
//
//     class Options(metaclass=OptionsMeta): pass
//
// An entry's code is an int or an int subclass, but not a bool: `A = True`
// in a table is taken for a slip and refused like any other wrong value.
//
// `codes` is a plain class attribute of each table, read as fast as any;
// the metaclass keeps it read-only and in step with `_options_`.
// get_option_by_code answers from the `_option_index_` that __new__ leaves
// in the table, while it is seen to belong to `cls._options_`
// (option_index.cpp); `in`, `iter` and `len` read `cls._options_`.
#include "comm/records/options.hpp"

#include "comm/records/option_index.hpp"

#include "comm/py/args.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/methods.hpp"
#include "comm/py/state.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <cstring>

namespace comm {

using py::Ref;

// type() leaves a class's ht_module empty; filling it (a strong reference,
// which type_dealloc releases and type_traverse visits) lets
// PyType_GetModuleByDef find our state from the class's methods, as it does
// for a class made from a spec.
int
set_defining_module(PyObject *type, PyObject *module)
{
    if (!PyType_Check(type) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(type),
                           Py_TPFLAGS_HEAPTYPE) ||
        reinterpret_cast<PyHeapTypeObject *>(type)->ht_module != nullptr) {
        PyErr_SetString(PyExc_SystemError,
                        "set_defining_module: not a fresh heap class");
        return -1;
    }
    reinterpret_cast<PyHeapTypeObject *>(type)->ht_module =
        Ref::borrow(module).release();
    return 0;
}

namespace {

// These classes come from type(), which leaves their defining module empty:
// the methods on them find the module state through set_defining_module
// below; the static __new__ methods are bound to the module itself. `obj` is
// a table (its metaclass defines the method) or an entry (its class does).
ModuleState *
state_of_class(PyObject *obj)
{
    return state_of_type(Py_TYPE(obj));
}

// A static method bound to the module, so that it reaches the state
// whichever class it is called with.
int
attach_static(PyObject *type, PyMethodDef *def, PyObject *module,
              PyObject *modname)
{
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, modname));
    if (!fn) {
        return -1;
    }
    Ref descr = Ref::steal(PyStaticMethod_New(fn.get()));
    if (!descr) {
        return -1;
    }
    return PyObject_SetAttrString(type, def->ml_name, descr.get());
}

Ref
get_attr(PyObject *obj, PyObject *name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

bool
is_code(PyObject *value)
{
    return PyLong_Check(value) && !PyBool_Check(value);
}

// 1 when a class-body key declares an entry (str.isupper(), no leading "_").
int
is_entry_name(ModuleState *st, PyObject *key)
{
    if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 ||
        PyUnicode_READ_CHAR(key, 0) == '_') {
        return 0;
    }
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(key, st->str_isupper));
    if (!upper) {
        return -1;
    }
    return PyObject_IsTrue(upper.get());
}

// One declared value made into an entry: `code` or `(code, text)`.
Ref
make_entry(PyObject *option_class, PyObject *table_name, PyObject *key,
           PyObject *value)
{
    PyObject *code = value;
    PyObject *text = Py_None;
    if (PyTuple_Check(value)) {
        Py_ssize_t size = PyTuple_GET_SIZE(value);
        if (size != 2) {
            PyErr_Format(PyExc_TypeError,
                         "%U.%U: an option is an int code or an (int, str) "
                         "pair, not a tuple of %zd items",
                         table_name, key, size);
            return Ref();
        }
        code = PyTuple_GET_ITEM(value, 0); // borrowed: the caller holds value
        text = PyTuple_GET_ITEM(value, 1);
        if (!is_code(code) || !PyUnicode_Check(text)) {
            PyErr_Format(PyExc_TypeError,
                         "%U.%U: an option is an int code or an (int, str) "
                         "pair, not (%s, %s)",
                         table_name, key, Py_TYPE(code)->tp_name,
                         Py_TYPE(text)->tp_name);
            return Ref();
        }
    }
    else if (!is_code(value)) {
        PyErr_Format(PyExc_TypeError,
                     "%U.%U: an option is an int code or an (int, str) pair, "
                     "not '%s'",
                     table_name, key, Py_TYPE(value)->tp_name);
        return Ref();
    }
    PyObject *args[] = {code, key, text};
    return Ref::steal(PyObject_Vectorcall(option_class, args, 3, nullptr));
}

// A table with entries is final, as an enum with members is.
int
refuse_extension(PyObject *name, PyObject *bases, PyObject *entries_key)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        Ref base = Ref::borrow(PyTuple_GET_ITEM(bases, i));
        if (!PyType_Check(base.get())) {
            continue; // type.__new__ says what is wrong with it
        }
        Ref entries;
        int found = py::get_optional_attr(base.get(), entries_key, &entries);
        if (found < 0) {
            return -1;
        }
        if (found && PyTuple_Check(entries.get()) &&
            PyTuple_GET_SIZE(entries.get()) > 0) {
            PyErr_Format(
                PyExc_TypeError,
                "%U: cannot extend option table '%s', which has "
                "entries",
                name, reinterpret_cast<PyTypeObject *>(base.get())->tp_name);
            return -1;
        }
    }
    return 0;
}

// `name` is the str `text` (a str subclass compared by its characters).
bool
is_name(PyObject *name, const char *text)
{
    return PyUnicode_Check(name) &&
           PyUnicode_CompareWithASCIIString(name, text) == 0;
}

// Puts `codes` in the table's own dict (or takes it out, value null) as
// type.__setattr__ would, but past any `codes` a metaclass defines: that
// one answers reads, as a metaclass's data descriptor does for every class.
int
set_own_codes(ModuleState *st, PyObject *cls, PyObject *value)
{
    Ref own = Ref::borrow(reinterpret_cast<PyTypeObject *>(cls)->tp_dict);
    int done = value ? PyDict_SetItem(own.get(), st->str_codes, value)
                     : PyDict_DelItem(own.get(), st->str_codes);
    PyType_Modified(reinterpret_cast<PyTypeObject *>(cls));
    return done;
}

// tuple(operator.index(e) for e in entries), `entries` a tuple the caller
// holds.
Ref
codes_of(PyObject *entries)
{
    Py_ssize_t n = PyTuple_GET_SIZE(entries);
    Ref codes = Ref::steal(PyTuple_New(n));
    if (!codes) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // PyNumber_Index gives an exact int: the plain code.
        Ref code = Ref::steal(PyNumber_Index(PyTuple_GET_ITEM(entries, i)));
        if (!code) {
            return Ref();
        }
        PyTuple_SET_ITEM(codes.get(), i, code.release());
    }
    return codes;
}

int
refuse_codes(PyObject *cls)
{
    PyErr_Format(PyExc_AttributeError,
                 "attribute 'codes' of '%s' objects is not writable",
                 Py_TYPE(cls)->tp_name);
    return -1;
}

// OptionsMeta.__new__(mcls, name, bases, ns, **kwds): a static method taking
// a tuple, since what it hands on to type.__new__ is a tuple again.
PyObject *
OptionsMeta_new(PyObject *module, PyObject *args, PyObject *kwargs)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    Ref type_new =
        get_attr(reinterpret_cast<PyObject *>(&PyType_Type), st->str___new__);
    if (!type_new) {
        return nullptr;
    }
    // All borrowed from args, which our caller holds for the call.
    if (PyTuple_GET_SIZE(args) != 4 ||
        !PyType_Check(PyTuple_GET_ITEM(args, 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(args, 1)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(args, 2)) ||
        !PyDict_Check(PyTuple_GET_ITEM(args, 3))) {
        // Not a class definition: type.__new__ says what is wrong.
        return PyObject_Call(type_new.get(), args, kwargs);
    }
    PyObject *mcls = PyTuple_GET_ITEM(args, 0);
    PyObject *name = PyTuple_GET_ITEM(args, 1);
    PyObject *bases = PyTuple_GET_ITEM(args, 2);
    PyObject *body = PyTuple_GET_ITEM(args, 3);

    if (refuse_extension(name, bases, st->str__options_) < 0) {
        return nullptr;
    }
    Ref option_class = get_attr(mcls, st->str__option_class);
    if (!option_class) {
        return nullptr;
    }
    // The caller's namespace stays as it was; the class gets a copy with the
    // entries in place of the declared values.
    Ref ns = Ref::steal(PyDict_Copy(body));
    if (!ns) {
        return nullptr;
    }
    Ref items = Ref::steal(PyDict_Items(body));
    if (!items) {
        return nullptr;
    }
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        PyObject *key = PyTuple_GET_ITEM(item.get(), 0); // item holds both
        PyObject *value = PyTuple_GET_ITEM(item.get(), 1);
        int wanted = is_entry_name(st, key);
        if (wanted < 0) {
            return nullptr;
        }
        if (wanted == 0) {
            continue;
        }
        Ref entry = make_entry(option_class.get(), name, key, value);
        if (!entry) {
            return nullptr;
        }
        if (PyDict_SetItem(ns.get(), key, entry.get()) < 0) {
            return nullptr;
        }
        if (PyList_Append(entries.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    Ref ordered = Ref::steal(PyList_AsTuple(entries.get()));
    if (!ordered) {
        return nullptr;
    }
    if (PyDict_SetItem(ns.get(), st->str__options_, ordered.get()) < 0) {
        return nullptr;
    }
    Ref index = make_index(ordered.get());
    if (!index && PyErr_Occurred()) {
        return nullptr;
    }
    if (index &&
        PyDict_SetItem(ns.get(), st->str__option_index_, index.get()) < 0) {
        return nullptr;
    }
    Ref type_args = Ref::steal(PyTuple_Pack(4, mcls, name, bases, ns.get()));
    if (!type_args) {
        return nullptr;
    }
    Ref cls =
        Ref::steal(PyObject_Call(type_new.get(), type_args.get(), kwargs));
    if (!cls) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ordered.get()); ++i) {
        // Filled as in Option_new.
        if (PyObject_GenericSetAttr(PyTuple_GET_ITEM(ordered.get(), i),
                                    st->str___objclass__, cls.get()) < 0) {
            return nullptr;
        }
    }
    // `codes` as the table answers `_options_` (a metaclass may answer it).
    Ref answered = entries_of(st, cls.get());
    if (!answered) {
        return nullptr;
    }
    Ref codes = codes_of(answered.get());
    if (!codes) {
        return nullptr;
    }
    if (set_own_codes(st, cls.get(), codes.get()) < 0) {
        return nullptr;
    }
    return cls.release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
OptionsMeta_bool(PyObject *, PyObject *)
{
    Py_RETURN_TRUE;
}

// Identity only: a bare int or another table's entry is no member, and an
// odd object is never hashed or compared.
PyObject *
OptionsMeta_contains(PyObject *cls, PyObject *item)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    Ref entries = entries_of(st, cls);
    if (!entries) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.get()); ++i) {
        if (PyTuple_GET_ITEM(entries.get(), i) == item) {
            Py_RETURN_TRUE;
        }
    }
    Py_RETURN_FALSE;
    COMM_ENTRY_END(nullptr)
}

PyObject *
OptionsMeta_iter(PyObject *cls, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    Ref entries = entries_of(st, cls);
    if (!entries) {
        return nullptr;
    }
    return PyObject_GetIter(entries.get());
    COMM_ENTRY_END(nullptr)
}

PyObject *
OptionsMeta_len(PyObject *cls, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    Ref entries = entries_of(st, cls);
    if (!entries) {
        return nullptr;
    }
    return PyLong_FromSsize_t(PyTuple_GET_SIZE(entries.get()));
    COMM_ENTRY_END(nullptr)
}

// OptionsMeta.__setattr__(cls, name, value): `codes` is read-only, and
// follows `_options_`, which must be a tuple of entries.
PyObject *
OptionsMeta_setattr(PyObject *cls, PyObject *const *args, Py_ssize_t nargs)
{
    COMM_ENTRY_BEGIN
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject *name = args[0];
    PyObject *value = args[1];
    if (is_name(name, "codes")) {
        refuse_codes(cls);
        return nullptr;
    }
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    if (!is_name(name, "_options_")) {
        if (PyType_Type.tp_setattro(cls, name, value) < 0) {
            return nullptr;
        }
        return py::none();
    }
    // The new codes are made first: a value they cannot be made of is
    // refused before anything changes.
    if (!PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "%R._options_ must be a tuple of options", cls);
        return nullptr;
    }
    Ref entries = Ref::borrow(value);
    Ref codes = codes_of(entries.get());
    if (!codes) {
        return nullptr;
    }
    if (PyType_Type.tp_setattro(cls, name, entries.get()) < 0) {
        return nullptr;
    }
    if (set_own_codes(st, cls, codes.get()) < 0) {
        return nullptr;
    }
    return py::none();
    COMM_ENTRY_END(nullptr)
}

// OptionsMeta.__delattr__(cls, name): without `_options_` of its own, a
// table answers with its base's, and so without `codes` of its own too.
PyObject *
OptionsMeta_delattr(PyObject *cls, PyObject *name)
{
    COMM_ENTRY_BEGIN
    if (is_name(name, "codes")) {
        refuse_codes(cls);
        return nullptr;
    }
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    if (PyType_Type.tp_setattro(cls, name, nullptr) < 0) {
        return nullptr;
    }
    if (!is_name(name, "_options_")) {
        return py::none();
    }
    Ref own = Ref::borrow(reinterpret_cast<PyTypeObject *>(cls)->tp_dict);
    int has_codes = PyDict_Contains(own.get(), st->str_codes);
    if (has_codes < 0) {
        return nullptr;
    }
    if (has_codes && set_own_codes(st, cls, nullptr) < 0) {
        return nullptr;
    }
    return py::none();
    COMM_ENTRY_END(nullptr)
}

PyObject *
OptionsMeta_get_option_by_code(PyObject *cls, PyObject *code)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(cls);
    if (st == nullptr) {
        return nullptr;
    }
    Ref entry;
    Ref entries;
    int indexed = index_lookup(st, cls, code, &entry, &entries);
    if (indexed < 0) {
        return nullptr;
    }
    if (indexed > 0) {
        return entry.release();
    }
    // The comparison may run Python code; `entries` keeps the items alive.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.get()); ++i) {
        PyObject *item = PyTuple_GET_ITEM(entries.get(), i);
        int eq = PyObject_RichCompareBool(item, code, Py_EQ);
        if (eq < 0) {
            return nullptr;
        }
        if (eq) {
            return Ref::borrow(item).release();
        }
    }
    return py::none();
    COMM_ENTRY_END(nullptr)
}

// Option.__new__(cls, code, name, text=None): a free-standing entry until a
// table claims it.
PyObject *
Option_new(PyObject *module, PyObject *const *args, size_t nargsf,
           PyObject *kwnames)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_module(module);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError,
                        "Option.__new__(): not enough arguments");
        return nullptr;
    }
    PyObject *names[] = {st->str_code, st->str_name, st->str_text};
    py::Signature sig = {"Option.__new__", names, 3, 2, 1};
    PyObject *bound[3]; // borrowed from the caller's vector
    if (py::bind_args(sig, args + 1, static_cast<size_t>(nargs - 1), kwnames,
                      bound) < 0) {
        return nullptr;
    }
    PyObject *name = bound[1];
    PyObject *text = bound[2] ? bound[2] : Py_None;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "an option's name must be str, not '%s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    Ref code = Ref::steal(PyNumber_Index(bound[0]));
    if (!code) {
        return nullptr;
    }
    // super().__new__(cls, code), with int.__new__'s own checks on cls.
    Ref int_new =
        get_attr(reinterpret_cast<PyObject *>(&PyLong_Type), st->str___new__);
    if (!int_new) {
        return nullptr;
    }
    PyObject *new_args[] = {args[0], code.get()};
    Ref self =
        Ref::steal(PyObject_Vectorcall(int_new.get(), new_args, 2, nullptr));
    if (!self) {
        return nullptr;
    }
    // Entries are read-only to Python; only the generic setter fills them.
    if (PyObject_GenericSetAttr(self.get(), st->str_name, name) < 0) {
        return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), st->str_text, text) < 0) {
        return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), st->str___objclass__, Py_None) <
        0) {
        return nullptr;
    }
    return self.release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Option_str(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    return get_attr(self, st->str_name).release();
    COMM_ENTRY_END(nullptr)
}

// <PumpStatus.RUN: 2>, or <Option X: 5> for an entry of no table.
PyObject *
Option_repr(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    Ref name = get_attr(self, st->str_name);
    if (!name) {
        return nullptr;
    }
    Ref owner = get_attr(self, st->str___objclass__);
    if (!owner) {
        return nullptr;
    }
    Ref number = Ref::steal(PyLong_Type.tp_repr(self)); // int.__repr__
    if (!number) {
        return nullptr;
    }
    if (owner.get() == Py_None) {
        return PyUnicode_FromFormat("<%s %S: %U>", Py_TYPE(self)->tp_name,
                                    name.get(), number.get());
    }
    Ref owner_name = get_attr(owner.get(), st->str___name__);
    if (!owner_name) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<%S.%S: %U>", owner_name.get(), name.get(),
                                number.get());
    COMM_ENTRY_END(nullptr)
}

int
read_only(PyObject *self, PyObject *name)
{
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError,
                     "attribute name must be string, not '%s'",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    PyErr_Format(PyExc_AttributeError,
                 "'%s' object attribute '%U' is read-only",
                 Py_TYPE(self)->tp_name, name);
    return -1;
}

PyObject *
Option_setattr(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    read_only(self, args[0]);
    return nullptr;
}

PyObject *
Option_delattr(PyObject *self, PyObject *name)
{
    read_only(self, name);
    return nullptr;
}

// (getattr, (table, name)): copy, deepcopy and pickle give the entry itself.
// An entry of no table comes back as an equal new one.
PyObject *
Option_reduce(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    ModuleState *st = state_of_class(self);
    if (st == nullptr) {
        return nullptr;
    }
    Ref owner = get_attr(self, st->str___objclass__);
    if (!owner) {
        return nullptr;
    }
    Ref name = get_attr(self, st->str_name);
    if (!name) {
        return nullptr;
    }
    if (owner.get() == Py_None) {
        Ref text = get_attr(self, st->str_text);
        if (!text) {
            return nullptr;
        }
        Ref code = Ref::steal(PyNumber_Index(self));
        if (!code) {
            return nullptr;
        }
        return Py_BuildValue("(O(OOO))",
                             reinterpret_cast<PyObject *>(Py_TYPE(self)),
                             code.get(), name.get(), text.get());
    }
    Ref getattr;
    int found =
        py::dict_get_item_ref(PyEval_GetBuiltins(), st->str_getattr, &getattr);
    if (found <= 0) {
        if (found == 0) {
            PyErr_SetString(PyExc_RuntimeError, "lost builtins.getattr");
        }
        return nullptr;
    }
    return Py_BuildValue("(O(OO))", getattr.get(), owner.get(), name.get());
    COMM_ENTRY_END(nullptr)
}

PyObject *
Option_reduce_ex(PyObject *self, PyObject *)
{
    return Option_reduce(self, nullptr); // the same for every protocol
}

// The __new__ methods: functions bound to the module, made static methods by
// attach_static (METH_STATIC would hide the module from them).
PyMethodDef OptionsMeta_new_def = {
    "__new__", COMM_METH(OptionsMeta_new), METH_VARARGS | METH_KEYWORDS,
    "__new__(mcls, name, bases, ns, /, **kwds)\n--\n\n"
    "Make an option table: each upper-case class attribute becomes an "
    "Option."};

PyMethodDef OptionsMeta_methods[] = {
    {"__bool__", COMM_METH(OptionsMeta_bool), METH_NOARGS,
     "__bool__($cls, /)\n--\n\nTrue: a table is true even without entries."},
    {"__contains__", COMM_METH(OptionsMeta_contains), METH_O,
     "__contains__($cls, item, /)\n--\n\nTrue when item is one of this "
     "table's own entries."},
    {"__iter__", COMM_METH(OptionsMeta_iter), METH_NOARGS,
     "__iter__($cls, /)\n--\n\nThe entries in declaration order."},
    {"__len__", COMM_METH(OptionsMeta_len), METH_NOARGS,
     "__len__($cls, /)\n--\n\nThe number of entries."},
    {"__setattr__", COMM_METH(OptionsMeta_setattr), METH_FASTCALL,
     "__setattr__($cls, name, value, /)\n--\n\n"
     "As type's; `codes` is read-only and follows `_options_`."},
    {"__delattr__", COMM_METH(OptionsMeta_delattr), METH_O,
     "__delattr__($cls, name, /)\n--\n\n"
     "As type's; `codes` is read-only and follows `_options_`."},
    {"get_option_by_code", COMM_METH(OptionsMeta_get_option_by_code), METH_O,
     "get_option_by_code($cls, code, /)\n--\n\n"
     "The first entry whose code equals code, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef Option_new_def = {
    "__new__", COMM_METH(Option_new), METH_FASTCALL | METH_KEYWORDS,
    "__new__(cls, code, name, text=None)\n--\n\n"
    "An entry with this code and name, belonging to no table."};

PyMethodDef Option_methods[] = {
    {"__str__", COMM_METH(Option_str), METH_NOARGS,
     "__str__($self, /)\n--\n\nThe entry's name."},
    {"__repr__", COMM_METH(Option_repr), METH_NOARGS,
     "__repr__($self, /)\n--\n\nThe table, name and code, as <PumpStatus.RUN: "
     "2>."},
    {"__setattr__", COMM_METH(Option_setattr), METH_FASTCALL,
     "__setattr__($self, name, value, /)\n--\n\nRefused: entries are "
     "read-only."},
    {"__delattr__", COMM_METH(Option_delattr), METH_O,
     "__delattr__($self, name, /)\n--\n\nRefused: entries are read-only."},
    {"__reduce_ex__", COMM_METH(Option_reduce_ex), METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\n"
     "Copies and pickles stand for the very same entry of its table."},
    {"__reduce__", COMM_METH(Option_reduce), METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Copies and pickles stand for the very same entry of its table."},
    {nullptr, nullptr, 0, nullptr},
};

// {"__module__": modname, "__qualname__": name, "__doc__": doc}
Ref
class_namespace(PyObject *modname, const char *name, const char *doc)
{
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) {
        return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__module__", modname) < 0) {
        return Ref();
    }
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!qualname) {
        return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) {
        return Ref();
    }
    if (doc != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text) {
            return Ref();
        }
        if (PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) {
            return Ref();
        }
    }
    return ns;
}

// meta(name, bases, ns), as a class statement calls its metaclass.
Ref
call_metaclass(PyObject *meta, const char *name, PyObject *bases, PyObject *ns)
{
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    if (!name_obj) {
        return Ref();
    }
    PyObject *args[] = {name_obj.get(), bases, ns};
    return Ref::steal(PyObject_Vectorcall(meta, args, 3, nullptr));
}

} // namespace

int
add_options(PyObject *module)
{
    ModuleState *st = state_of_module(module);
    Ref modname = lookup_global(module, st->str___name__);
    if (!modname) {
        return -1;
    }
    PyObject *type_obj = reinterpret_cast<PyObject *>(&PyType_Type);

    Ref meta_ns = class_namespace(modname.get(), "OptionsMeta",
                                  "The metaclass of option tables.");
    if (!meta_ns) {
        return -1;
    }
    Ref meta_bases = Ref::steal(PyTuple_Pack(1, type_obj));
    if (!meta_bases) {
        return -1;
    }
    Ref meta = call_metaclass(type_obj, "OptionsMeta", meta_bases.get(),
                              meta_ns.get());
    if (!meta) {
        return -1;
    }
    if (set_defining_module(meta.get(), module) < 0) {
        return -1;
    }
    if (attach_static(meta.get(), &OptionsMeta_new_def, module,
                      modname.get()) < 0) {
        return -1;
    }
    if (py::attach_methods(meta.get(), OptionsMeta_methods, modname.get()) <
        0) {
        return -1;
    }

    Ref option_ns = class_namespace(
        modname.get(), "Option",
        "An entry of an option table: an int code with a name and a text.");
    if (!option_ns) {
        return -1;
    }
    Ref option_bases = Ref::steal(
        PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyLong_Type)));
    if (!option_bases) {
        return -1;
    }
    Ref option = call_metaclass(type_obj, "Option", option_bases.get(),
                                option_ns.get());
    if (!option) {
        return -1;
    }
    if (set_defining_module(option.get(), module) < 0) {
        return -1;
    }
    if (attach_static(option.get(), &Option_new_def, module, modname.get()) <
        0) {
        return -1;
    }
    if (py::attach_methods(option.get(), Option_methods, modname.get()) < 0) {
        return -1;
    }
    if (PyObject_SetAttr(meta.get(), st->str__option_class, option.get()) <
        0) {
        return -1;
    }

    Ref options_ns = class_namespace(modname.get(), "Options", nullptr);
    if (!options_ns) {
        return -1;
    }
    Ref options_bases = Ref::steal(
        PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!options_bases) {
        return -1;
    }
    Ref options = call_metaclass(meta.get(), "Options", options_bases.get(),
                                 options_ns.get());
    if (py::module_add(module, "Options", std::move(options)) < 0) {
        return -1;
    }
    return py::module_add(module, "Option", std::move(option));
}

Ref
make_table(PyObject *module, const char *name, const EntrySpec *entries,
           std::size_t count, bool translate)
{
    ModuleState *st = state_of_module(module);
    Ref modname = lookup_global(module, st->str___name__);
    if (!modname) {
        return Ref();
    }
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!qualname) {
        return Ref();
    }
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) {
        return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0) {
        return Ref();
    }
    if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) {
        return Ref();
    }
    for (std::size_t i = 0; i < count; ++i) {
        const EntrySpec &spec = entries[i];
        Ref value = Ref::steal(PyLong_FromLong(spec.code));
        if (!value) {
            return Ref();
        }
        if (spec.text != nullptr) {
            Ref text = Ref::steal(PyUnicode_DecodeUTF8(
                spec.text, static_cast<Py_ssize_t>(std::strlen(spec.text)),
                nullptr));
            if (!text) {
                return Ref();
            }
            if (translate) {
                // `_` as the class body would find it for this text.
                Ref gettext = lookup_global(module, st->str__);
                if (!gettext) {
                    return Ref();
                }
                text =
                    Ref::steal(PyObject_CallOneArg(gettext.get(), text.get()));
                if (!text) {
                    return Ref();
                }
            }
            value = Ref::steal(PyTuple_Pack(2, value.get(), text.get()));
            if (!value) {
                return Ref();
            }
        }
        if (PyDict_SetItemString(ns.get(), spec.name, value.get()) < 0) {
            return Ref();
        }
    }
    Ref options = lookup_global(module, st->str_Options);
    if (!options) {
        return Ref();
    }
    Ref meta =
        Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(options.get())));
    Ref bases = Ref::steal(PyTuple_Pack(1, options.get()));
    if (!bases) {
        return Ref();
    }
    PyObject *args[] = {qualname.get(), bases.get(), ns.get()};
    return Ref::steal(PyObject_Vectorcall(meta.get(), args, 3, nullptr));
}

} // namespace comm
