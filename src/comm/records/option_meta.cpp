// The metaclass of option tables, OptionsMeta: a class statement on Options
// makes each upper-case name of its body an entry (option_entry.cpp), and a
// table answers `in`, `iter`, `len` and get_option_by_code. It behaves like:
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
//             ns["_option_index_"] = (ns["_options_"], codes,
//                                     {code: first entry})
//             cls = super().__new__(mcls, name, bases, ns)
//             for e in entries: object.__setattr__(e, "__objclass__", cls)
//             cls.__dict__["codes"] = tuple(map(operator.index,
//                                               cls._options_))
//             return cls
//         def __setattr__(cls, name, value):      # codes follow _options_
//             if name == "codes": raise AttributeError
//             if name == "_options_" and not isinstance(value, tuple):
//                 raise TypeError
//             super().__setattr__(name, value)
//             if name == "_options_":
//                 cls.__dict__["codes"] = tuple(map(operator.index, value))
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
// An entry's code is an int or an int subclass, but not a bool: `A = True`
// in a table is taken for a slip and refused like any other wrong value.
//
// `codes` is a plain class attribute of each table, read as fast as any;
// the metaclass keeps it read-only and in step with `_options_`.
// get_option_by_code answers from the `_option_index_` that __new__ leaves
// in the table, while it is seen to belong to `cls._options_`
// (option_index.cpp); `in`, `iter` and `len` read `cls._options_`.
#include "comm/records/option_classes.hpp"

#include "comm/records/option_index.hpp"

#include "comm/py/compat.hpp"

namespace comm {

using py::Ref;

namespace {

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

// (mcls, name, bases, ns) of a class definition: a type, a str, a tuple
// and a dict, all borrowed from `args`.
bool
is_class_definition(PyObject *args)
{
    return PyTuple_GET_SIZE(args) == 4 &&
           PyType_Check(PyTuple_GET_ITEM(args, 0)) &&
           PyUnicode_Check(PyTuple_GET_ITEM(args, 1)) &&
           PyTuple_Check(PyTuple_GET_ITEM(args, 2)) &&
           PyDict_Check(PyTuple_GET_ITEM(args, 3));
}

// Each entry the class body `body` declares, made by `option_class` and put
// in `ns` (the class's copy of the body) in place of its declared value: a
// tuple of them in the body's order.
Ref
declare_entries(ModuleState *st, PyObject *option_class, PyObject *name,
                PyObject *body, PyObject *ns)
{
    Ref items = Ref::steal(PyDict_Items(body));
    if (!items) {
        return Ref();
    }
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        PyObject *key = PyTuple_GET_ITEM(item.get(), 0); // item holds both
        PyObject *value = PyTuple_GET_ITEM(item.get(), 1);
        int wanted = is_entry_name(st, key);
        if (wanted < 0) {
            return Ref();
        }
        if (wanted == 0) {
            continue;
        }
        Ref entry = make_entry(option_class, name, key, value);
        if (!entry) {
            return Ref();
        }
        if (PyDict_SetItem(ns, key, entry.get()) < 0) {
            return Ref();
        }
        if (PyList_Append(entries.get(), entry.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(PyList_AsTuple(entries.get()));
}

// ns["_options_"] = entries, and ns["_option_index_"] when the entries can
// be indexed.
int
add_entries(ModuleState *st, PyObject *ns, PyObject *entries)
{
    if (PyDict_SetItem(ns, st->str__options_, entries) < 0) {
        return -1;
    }
    Ref index = make_index(entries);
    if (!index && PyErr_Occurred()) {
        return -1;
    }
    if (index && PyDict_SetItem(ns, st->str__option_index_, index.get()) < 0) {
        return -1;
    }
    return 0;
}

// The new table claims its entries (filled as in Option_new), then takes
// `codes` as it answers `_options_` (a metaclass may answer it).
int
claim_entries(ModuleState *st, PyObject *cls, PyObject *entries)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
        if (PyObject_GenericSetAttr(PyTuple_GET_ITEM(entries, i),
                                    st->str___objclass__, cls) < 0) {
            return -1;
        }
    }
    Ref answered = entries_of(st, cls);
    if (!answered) {
        return -1;
    }
    Ref codes = codes_of(answered.get());
    if (!codes) {
        return -1;
    }
    return set_own_codes(st, cls, codes.get());
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
    if (!is_class_definition(args)) {
        // type.__new__ says what is wrong.
        return PyObject_Call(type_new.get(), args, kwargs);
    }
    // All borrowed from args, which our caller holds for the call.
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
    Ref entries =
        declare_entries(st, option_class.get(), name, body, ns.get());
    if (!entries || add_entries(st, ns.get(), entries.get()) < 0) {
        return nullptr;
    }
    Ref type_args = Ref::steal(PyTuple_Pack(4, mcls, name, bases, ns.get()));
    if (!type_args) {
        return nullptr;
    }
    Ref cls =
        Ref::steal(PyObject_Call(type_new.get(), type_args.get(), kwargs));
    if (!cls || claim_entries(st, cls.get(), entries.get()) < 0) {
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

} // namespace

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

} // namespace comm
