// The per-port locks: a dict in the module state maps each port value to a
// capsule holding a PyThread lock with an owner and a depth, so that the
// thread holding a port may enter it again (a subclass's exchange calling
// another one). Waiting releases the GIL and lets signal handlers run, as
// threading.RLock does. A child made by fork() gives up the holds of the
// threads it did not inherit.
#include "comm/device/port_lock.hpp"

#include "comm/call_time.hpp"
#include "comm/py/compat.hpp"
#include "comm/py/state.hpp"

#include <new>

namespace comm {

using py::Ref;

struct PortLock {
    PyThread_type_lock lock;
    unsigned long owner = 0;  // thread ident, valid while depth > 0
    unsigned long depth = 0;
};

namespace {

const char kCapsuleName[] = "tarvelpump.comm.PortLock";

void
free_port_lock(PyObject *capsule)
{
    auto *p = static_cast<PortLock *>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (p != nullptr) {
        PyThread_free_lock(p->lock);
        delete p;
    }
}

Ref
new_port_lock()
{
    auto *p = new PortLock;
    p->lock = PyThread_allocate_lock();
    if (p->lock == nullptr) {
        delete p;
        PyErr_NoMemory();
        return Ref();
    }
    Ref capsule = Ref::steal(PyCapsule_New(p, kCapsuleName, free_port_lock));
    if (!capsule) {
        PyThread_free_lock(p->lock);
        delete p;
    }
    return capsule;
}

// After fork() only the calling thread lives on in the child: a lock that
// another thread held, waited for or was releasing would never come free, so
// it gets a fresh one (the old one is leaked on purpose, as CPython does with
// its own locks after a fork: it may be mid-operation). The calling thread's
// own holds stay, with their depth.
// `self` is a weak reference to the module: the registry of fork handlers
// lives as long as the interpreter and must not keep a module alive.
PyObject *
reinit_after_fork(PyObject *self, PyObject *)
{
    Ref module = Ref::borrow(PyWeakref_GetObject(self));
    if (!module) {
        return nullptr;
    }
    ModuleState *st = PyModule_Check(module.get()) ? state_of_module(module.get()) : nullptr;
    if (st == nullptr || st->port_locks == nullptr) {
        return py::none();
    }
    unsigned long me = PyThread_get_thread_ident();
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed; nothing below runs Python code
    while (PyDict_Next(st->port_locks, &pos, &key, &value)) {
        auto *p = static_cast<PortLock *>(PyCapsule_GetPointer(value, kCapsuleName));
        if (p == nullptr) {
            return nullptr;
        }
        if (p->depth > 0 && p->owner == me) {
            continue;
        }
        PyThread_type_lock fresh = PyThread_allocate_lock();
        if (fresh == nullptr) {
            return PyErr_NoMemory();
        }
        p->lock = fresh;
        p->owner = 0;
        p->depth = 0;
    }
    return py::none();
}

PyMethodDef after_fork_def = {
    "_reinit_port_locks", COMM_METH(reinit_after_fork), METH_NOARGS,
    "_reinit_port_locks($self, /)\n--\n\nGives up port holds of threads a fork left behind.",
};

// os.register_at_fork(after_in_child=...), where the platform forks.
int
register_after_fork(PyObject *module)
{
    Ref os = import_statement(module, "os");
    if (!os) {
        return -1;
    }
    Ref name = Ref::steal(PyUnicode_FromString("register_at_fork"));
    if (!name) {
        return -1;
    }
    Ref register_at_fork;
    int found = py::get_optional_attr(os.get(), name.get(), &register_at_fork);
    if (found <= 0) {
        return found;
    }
    Ref weak = Ref::steal(PyWeakref_NewRef(module, nullptr));
    Ref handler = weak ? Ref::steal(PyCFunction_NewEx(&after_fork_def, weak.get(), nullptr))
                       : Ref();
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "after_in_child"));
    if (!handler || !kwnames) {
        return -1;
    }
    PyObject *args[] = {handler.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(register_at_fork.get(), args, 0, kwnames.get()));
    return done ? 0 : -1;
}

// The capsule for `port`, made on first use; empty without an exception
// for a port that is not hashable.
int
lock_for(PyObject *module, PyObject *port, Ref *capsule)
{
    ModuleState *st = state_of_module(module);
    if (st->port_locks == nullptr) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || register_after_fork(module) < 0) {
            return -1;
        }
        if (st->port_locks == nullptr) {  // the import may have made one
            st->port_locks = fresh.release();
        }
    }
    Ref locks = Ref::borrow(st->port_locks);  // a hash may run Python code
    PyObject *found = PyDict_GetItemWithError(locks.get(), port);  // borrowed
    if (found == nullptr && !PyErr_Occurred()) {
        Ref fresh = new_port_lock();
        if (!fresh) {
            return -1;
        }
        // Inserts unless another thread did meanwhile: both get one lock.
        found = PyDict_SetDefault(locks.get(), port, fresh.get());
    }
    if (found == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();  // unhashable: left unlocked
            return 0;
        }
        return -1;
    }
    *capsule = Ref::borrow(found);
    return 0;
}

}  // namespace

int
PortHold::acquire(PyObject *module, PyObject *port)
{
    Ref capsule;
    if (lock_for(module, port, &capsule) < 0) {
        return -1;
    }
    if (!capsule) {
        return 0;
    }
    auto *p = static_cast<PortLock *>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
    if (p == nullptr) {
        return -1;
    }
    unsigned long me = PyThread_get_thread_ident();
    if (p->depth > 0 && p->owner == me) {
        ++p->depth;
    }
    else {
        PyLockStatus r = PyThread_acquire_lock_timed(p->lock, 0, 0);
        while (r != PY_LOCK_ACQUIRED) {
            Py_BEGIN_ALLOW_THREADS
            r = PyThread_acquire_lock_timed(p->lock, -1, 1);
            Py_END_ALLOW_THREADS
            if (r == PY_LOCK_INTR && Py_MakePendingCalls() < 0) {
                return -1;  // a signal handler raised (KeyboardInterrupt)
            }
        }
        p->owner = me;
        p->depth = 1;
    }
    capsule_ = std::move(capsule);
    lock_ = p;
    return 0;
}

PortHold::~PortHold()
{
    if (lock_ != nullptr && --lock_->depth == 0) {
        lock_->owner = 0;
        PyThread_release_lock(lock_->lock);
    }
}

}  // namespace comm
