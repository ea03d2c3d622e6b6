// The code look-up of an option table (get_option_by_code) through an
// index made when the table is declared (option_index.cpp).
#pragma once

#include "comm/py/state.hpp"

namespace comm {

// cls._options_, which must be a tuple: a new reference, or empty with an
// exception set.
py::Ref entries_of(ModuleState *st, PyObject *table);

// (entries, codes, {code: first entry}) for OptionsMeta.__new__ to leave in
// the table as `_option_index_`; empty without an exception when an entry
// does not compare as an int, empty with one on error.
py::Ref make_index(PyObject *entries);

// table.get_option_by_code(code) through the table's index: 1 and *entry
// set (the entry, or None) when the index answers; 0 and *entries set to
// `cls._options_` when the caller is to compare the entries one by one; -1
// with an exception set.
int index_lookup(ModuleState *st, PyObject *cls, PyObject *code,
                 py::Ref *entry, py::Ref *entries);

} // namespace comm
