// The option-table facility, made at start-up as its class statements
// would make it: the metaclass OptionsMeta (option_meta.cpp), the entry
// class Option (option_entry.cpp) and the empty base table Options:
//
//     class OptionsMeta(type): ...
//     class Option(int): ...
//     OptionsMeta._option_class = Option
//     class Options(metaclass=OptionsMeta): pass
//
// and make_table(), which declares a table from C++ as a class statement on
// Options would.
#include "comm/records/options.hpp"

#include "comm/records/option_classes.hpp"

#include "comm/py/compat.hpp"
#include "comm/py/methods.hpp"
#include "comm/py/state.hpp"
#include "comm/call_time.hpp"
#include "comm/startup.hpp"

#include <cstring>

namespace comm {

using py::Ref;

// Ties a class made by calling type() (Kelt, OptionsMeta, Option) to this
// module's state, as PyType_FromModuleAndSpec ties a class made from a
// spec: the module goes into the class's ht_module, which type() leaves
// empty. Why it is needed: the C++ methods on such a class reach the state
// through PyType_GetModuleByDef (Kelt's get their defining class by
// METH_METHOD; the metaclass's and the entry class's start from the type of
// their table or entry), and that walks the class's MRO for a heap type
// whose ht_module was made from comm_def. Without this it finds none and
// raises TypeError. A Python subclass has no ht_module of its own, so the
// walk goes on to ours.
//
// What ties them: this strong reference, and nothing else. ht_module is a
// public field of PyHeapTypeObject (3.9 on, outside the limited API) that
// the interpreter owns from then on, as for a spec class: type_dealloc
// releases it and type_traverse visits it, so the cycle module -> class ->
// module (through the module dict, or the state for Kelt) is the collector's
// to free. The classes are made by type() rather than from a spec because a
// spec class costs Kelt memory and time per instance, and a 3.11 spec cannot
// give an int subclass per-instance storage (Option).
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

// type(name, (base,), ns) with our methods, as its class statement would
// make it: __new__ a static method bound to the module, the others from
// `methods`, and the module recorded as the class's defining one.
Ref
make_class(PyObject *module, PyObject *modname, const char *name,
           const char *doc, PyTypeObject *base, PyMethodDef *new_def,
           PyMethodDef *methods)
{
    Ref ns = class_namespace(modname, name, doc);
    if (!ns) {
        return Ref();
    }
    Ref bases =
        Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(base)));
    if (!bases) {
        return Ref();
    }
    Ref cls = call_metaclass(reinterpret_cast<PyObject *>(&PyType_Type), name,
                             bases.get(), ns.get());
    if (!cls) {
        return Ref();
    }
    if (set_defining_module(cls.get(), module) < 0) {
        return Ref();
    }
    if (attach_static(cls.get(), new_def, module, modname) < 0) {
        return Ref();
    }
    if (py::attach_methods(cls.get(), methods, modname) < 0) {
        return Ref();
    }
    return cls;
}

// class Options(metaclass=OptionsMeta): pass
Ref
make_options_base(PyObject *meta, PyObject *modname)
{
    Ref ns = class_namespace(modname, "Options", nullptr);
    if (!ns) {
        return Ref();
    }
    Ref bases = Ref::steal(
        PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!bases) {
        return Ref();
    }
    return call_metaclass(meta, "Options", bases.get(), ns.get());
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
    Ref meta = make_class(module, modname.get(), "OptionsMeta",
                          "The metaclass of option tables.", &PyType_Type,
                          &OptionsMeta_new_def, OptionsMeta_methods);
    if (!meta) {
        return -1;
    }
    Ref option = make_class(
        module, modname.get(), "Option",
        "An entry of an option table: an int code with a name and a text.",
        &PyLong_Type, &Option_new_def, Option_methods);
    if (!option) {
        return -1;
    }
    if (PyObject_SetAttr(meta.get(), st->str__option_class, option.get()) <
        0) {
        return -1;
    }
    if (py::module_add(module, "Options",
                       make_options_base(meta.get(), modname.get())) < 0) {
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
