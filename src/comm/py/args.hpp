// Vectorcall argument binding for positional-or-keyword parameters, with the
// interpreter's own TypeError wording, so our functions read like Python ones
// to a caller who gets the call wrong.
#pragma once

#include "comm/py/compat.hpp"
#include "comm/py/suggest.hpp"

namespace comm::py {

struct Signature {
    const char *qualname;   // "Kelt.get_kvo_rate", as Python reports it
    PyObject *const *names; // interned parameter names, self excluded
    Py_ssize_t nparams;
    Py_ssize_t nrequired;  // the first nrequired have no default
    Py_ssize_t self_count; // 1 for methods: counted as Python counts
};

namespace detail {

inline Py_ssize_t
find_param(const Signature &sig, PyObject *key)
{
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (sig.names[i] == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        int eq = PyUnicode_Compare(sig.names[i], key);
        if (eq == 0) {
            return i;
        }
        if (eq == -1 && PyErr_Occurred()) {
            PyErr_Clear(); // keyword that is not a str cannot match
        }
    }
    return -1;
}

// The interpreter's error for a keyword that names no parameter, with its
// suggestion of a parameter name where the version gives one. Returns -1.
inline int
unexpected_keyword(const Signature &sig, PyObject *key)
{
    PyObject *hint = kKeywordSuggestions // borrowed from sig.names
                         ? suggest_name(sig.names, sig.nparams, key)
                         : nullptr;
    if (hint != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%S'. "
                     "Did you mean '%S'?",
                     sig.qualname, key, hint);
    }
    else {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%S'",
                     sig.qualname, key);
    }
    return -1;
}

} // namespace detail

// Fills out[0..nparams) with borrowed arguments, nullptr where a parameter
// with a default was not given. Returns 0, or -1 with TypeError set. The
// checks run in the interpreter's order (a function's frame set-up): the
// keywords first, then the count of positionals, then missing arguments,
// so a call that is wrong in several ways gets the message Python gives.
inline int
bind_args(const Signature &sig, PyObject *const *args, size_t nargsf,
          PyObject *kwnames, PyObject **out)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = detail::find_param(sig, key);
        if (i < 0) {
            return detail::unexpected_keyword(sig, key);
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for argument '%S'",
                         sig.qualname, key);
            return -1;
        }
        out[i] = args[nargs + k];
    }
    if (nargs > sig.nparams) {
        Py_ssize_t lo = sig.nrequired + sig.self_count;
        Py_ssize_t hi = sig.nparams + sig.self_count;
        Py_ssize_t given = nargs + sig.self_count;
        if (lo == hi) {
            PyErr_Format(
                PyExc_TypeError,
                "%s() takes %zd positional argument%s but %zd %s given",
                sig.qualname, hi, hi == 1 ? "" : "s", given,
                given == 1 ? "was" : "were");
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments "
                         "but %zd %s given",
                         sig.qualname, lo, hi, given,
                         given == 1 ? "was" : "were");
        }
        return -1;
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.nrequired; ++i) {
        missing += out[i] == nullptr;
    }
    if (missing > 0) {
        // "missing 2 required positional arguments: 'a' and 'b'"
        Ref list = Ref::steal(PyUnicode_FromString(""));
        Py_ssize_t seen = 0;
        for (Py_ssize_t i = 0; i < sig.nrequired && list; ++i) {
            if (out[i] != nullptr) {
                continue;
            }
            ++seen;
            const char *sep = seen == 1 ? ""
                              : seen == missing
                                  ? (missing > 2 ? ", and " : " and ")
                                  : ", ";
            list = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", list.get(), sep,
                                                   sig.names[i]));
        }
        if (!list) {
            return -1;
        }
        PyErr_Format(PyExc_TypeError,
                     "%s() missing %zd required positional argument%s: %U",
                     sig.qualname, missing, missing == 1 ? "" : "s",
                     list.get());
        return -1;
    }
    return 0;
}

// bind_args for a signature whose parameters are all positional-only
// (`def f(a, /)`): a keyword is refused as the interpreter refuses it.
inline int
bind_positional_only(const Signature &sig, PyObject *const *args,
                     size_t nargsf, PyObject *kwnames, PyObject **out)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (detail::find_param(sig, key) < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%S'",
                         sig.qualname, key);
        }
        else {
            PyErr_Format(
                PyExc_TypeError,
                "%s() got some positional-only arguments passed as keyword "
                "arguments: '%S'",
                sig.qualname, key);
        }
        return -1;
    }
    return bind_args(sig, args, nargsf, nullptr, out);
}

} // namespace comm::py
