// Declaring option tables from C++ the way a class statement on Options does.
#pragma once

#include "comm/py/ref.hpp"

#include <cstddef>

namespace comm {

struct EntrySpec {
    const char *name; // upper-case attribute name
    long code;
    const char *text; // UTF-8; nullptr declares the entry by its bare code
};

// Runs `class <name>(Options): NAME = (code, text) ...` in the module: the
// namespace gets __module__ and __qualname__, each entry a (code, text) pair,
// or the bare code; texts pass through the module's `_` when `translate` is
// set. `Options` and `_` are the module's current bindings. New reference.
py::Ref make_table(PyObject *module, const char *name,
                   const EntrySpec *entries, std::size_t count,
                   bool translate);

} // namespace comm
