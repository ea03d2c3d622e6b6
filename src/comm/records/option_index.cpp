// The index behind get_option_by_code: the {code: first entry} dict that
// OptionsMeta.__new__ leaves in each table as `_option_index_` (with the
// entries and codes it was made from), and the check that it still belongs
// to what `cls._options_` gives now.
//
// Kept because the side-by-side bench needs it: without it the look-up
// compares the entries one by one, as the Python sketch in option_meta.cpp
// does, and is slower than a plain table with a {code: entry} dict
// (bench/run.py --only side; CPython 3.11.7, release build, best of 40
// interleaved rounds, PumpStatus, ns per call, 2-core VM):
//
//     get_option_by_code     compared one by one   with the index   plain
//     hit (2)                      124 (1.05-1.07)        98-108 (0.79-0.92)
//     117 miss (99)                    176 (1.48)            109-110
//     (0.91-0.92)   119
//
// What it relies on in CPython: a type's tp_version_tag changes whenever the
// type, one of its bases or its metaclass is assigned to (PyType_Modified
// runs on every type.__setattr__ and __delattr__, and on __bases__
// assignment, for the type and all its subclasses), and is never reused for
// another type. So a table seen once with its index matching `_options_`
// is filed under its own and its metaclass's tag, and while both tags stand
// the finding holds without a second look (ModuleState::option_index holds
// no object). An int whose == and hash are int's own (an exact int, a plain
// int subclass such as Option) is looked up in the dict without running
// Python code, and finds what a scan comparing each entry with it would
// find first; any other code is compared entry by entry.
#include "comm/records/option_index.hpp"

#include "comm/py/compat.hpp"

namespace comm {

using py::Ref;

// The entries of a table in declaration order: a new reference to a tuple.
Ref
entries_of(ModuleState *st, PyObject *table)
{
    Ref entries = Ref::steal(PyObject_GetAttr(table, st->str__options_));
    if (entries && !PyTuple_Check(entries.get())) {
        PyErr_Format(PyExc_TypeError,
                     "%R._options_ must be a tuple of options", table);
        return Ref();
    }
    return entries;
}

namespace {

// An int whose == and hash are int's own: comparing it with an entry runs
// no Python code, and a dict keyed by the plain codes finds what a scan
// comparing each entry with it would find first.
bool
compares_as_int(PyObject *value)
{
    PyTypeObject *type = Py_TYPE(value);
    return PyLong_Check(value) &&
           type->tp_richcompare == PyLong_Type.tp_richcompare &&
           type->tp_hash == PyLong_Type.tp_hash;
}

// Whether any class on the metaclass's MRO names `_options_`: then
// `cls._options_` is not simply a class dict's entry and no index is used.
// A key of the user's own in a class dict may run code while compared, so
// the MRO and each dict are held.
int
metaclass_names_entries(ModuleState *st, PyObject *cls)
{
    Ref mro = Ref::borrow(Py_TYPE(cls)->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro.get(), i);
        Ref dict =
            Ref::borrow(reinterpret_cast<PyTypeObject *>(base)->tp_dict);
        int found = dict ? PyDict_Contains(dict.get(), st->str__options_) : 0;
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// The index that __new__ left in the table's own dict: 1 and *index set
// when it is there and has its shape, 0 when not, -1 with an exception.
int
own_index(ModuleState *st, PyObject *cls, Ref *index)
{
    Ref dict = Ref::borrow(reinterpret_cast<PyTypeObject *>(cls)->tp_dict);
    int found =
        py::dict_get_item_ref(dict.get(), st->str__option_index_, index);
    if (found <= 0) {
        return found;
    }
    PyObject *held = index->get();
    if (!PyTuple_CheckExact(held) || PyTuple_GET_SIZE(held) != 3 ||
        !PyTuple_CheckExact(PyTuple_GET_ITEM(held, 0)) ||
        !PyTuple_CheckExact(PyTuple_GET_ITEM(held, 1)) ||
        !PyDict_CheckExact(PyTuple_GET_ITEM(held, 2))) {
        *index = Ref();
        return 0;
    }
    return 1;
}

// Whether `codes` are the codes of `entries`, one by one: an index put on a
// table by hand is not believed. Both sides compare as ints: no Python code.
int
codes_match(PyObject *entries, PyObject *codes)
{
    Py_ssize_t n = PyTuple_GET_SIZE(entries);
    if (PyTuple_GET_SIZE(codes) != n) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *code = PyTuple_GET_ITEM(codes, i);
        PyObject *entry = PyTuple_GET_ITEM(entries, i);
        if (!PyLong_CheckExact(code) || !compares_as_int(entry)) {
            return 0;
        }
        int eq = PyObject_RichCompareBool(code, entry, Py_EQ);
        if (eq <= 0) {
            return eq;
        }
    }
    return 1;
}

// The look-ups of a table: 1 and *index set when the table has an index made
// for its current `_options_`; 0 and *entries set when it is to be answered
// by a scan of `cls._options_`; -1 with an exception set.
int
index_of(ModuleState *st, PyObject *cls, Ref *index, Ref *entries)
{
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    unsigned int tag = type->tp_version_tag;
    OptionIndexSlot &slot = st->option_index[tag % kOptionIndexSlots];
    if (tag != 0 && slot.tag == tag && slot.table == cls &&
        slot.meta_tag == Py_TYPE(cls)->tp_version_tag) {
        int found = own_index(st, cls, index);
        if (found != 0) {
            return found;
        }
    }
    // Looking `_options_` up also gives both classes a version tag.
    *entries = entries_of(st, cls);
    if (!*entries) {
        return -1;
    }
    tag = type->tp_version_tag;
    unsigned int meta_tag = Py_TYPE(cls)->tp_version_tag;
    int named = metaclass_names_entries(st, cls);
    int found = named == 0 ? own_index(st, cls, index) : 0;
    if (named < 0 || found < 0) {
        return -1;
    }
    if (found == 0 || PyTuple_GET_ITEM(index->get(), 0) != entries->get()) {
        return 0;
    }
    int match = codes_match(entries->get(), PyTuple_GET_ITEM(index->get(), 1));
    if (match <= 0) {
        return match;
    }
    // Filed only if no key of the user's own in a class dict ran code that
    // changed a class while it was compared in the look-ups above.
    if (tag != 0 && meta_tag != 0 && type->tp_version_tag == tag &&
        Py_TYPE(cls)->tp_version_tag == meta_tag) {
        st->option_index[tag % kOptionIndexSlots] =
            OptionIndexSlot{cls, tag, meta_tag};
    }
    return 1;
}

} // namespace

// (entries, codes, {code: first entry}) for __new__ to leave in the table,
// or an empty Ref without an exception when an entry does not compare as
// an int (an _option_class of the user's own may make anything).
Ref
make_index(PyObject *entries)
{
    Py_ssize_t n = PyTuple_GET_SIZE(entries);
    Ref codes = Ref::steal(PyTuple_New(n));
    if (!codes) {
        return Ref();
    }
    Ref by_code = Ref::steal(PyDict_New());
    if (!by_code) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = PyTuple_GET_ITEM(entries, i); // entries holds it
        if (!compares_as_int(entry)) {
            return Ref();
        }
        // An int subclass's index is an exact int copy: no Python code.
        Ref code = Ref::steal(PyNumber_Index(entry));
        if (!code) {
            return Ref();
        }
        if (!PyDict_SetDefault(by_code.get(), code.get(), entry)) {
            return Ref();
        }
        PyTuple_SET_ITEM(codes.get(), i, code.release());
    }
    return Ref::steal(PyTuple_Pack(3, entries, codes.get(), by_code.get()));
}

int
index_lookup(ModuleState *st, PyObject *cls, PyObject *code, Ref *entry,
             Ref *entries)
{
    Ref index;
    int indexed = index_of(st, cls, &index, entries);
    if (indexed <= 0) {
        return indexed;
    }
    if (!compares_as_int(code)) {
        *entries = Ref::borrow(PyTuple_GET_ITEM(index.get(), 0));
        return 0;
    }
    // `index` holds the dict across the look-up.
    int found =
        py::dict_get_item_ref(PyTuple_GET_ITEM(index.get(), 2), code, entry);
    if (found < 0) {
        return -1;
    }
    if (found == 0) {
        *entry = Ref::borrow(Py_None);
    }
    return 1;
}

} // namespace comm
