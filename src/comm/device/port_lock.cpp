// The per-port locks: a dict in the module state maps each port value to a
// capsule holding a PyThread lock with an owner and a depth, so that the
// thread holding a port may enter it again (a subclass's exchange calling
// another one). Waiting releases the GIL and lets signal handlers run, as
// threading.RLock does.
#include "comm/device/port_lock.hpp"

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

// The capsule for `port`, made on first use; empty without an exception
// for a port that is not hashable.
int
lock_for(ModuleState *st, PyObject *port, Ref *capsule)
{
    if (st->port_locks == nullptr) {
        st->port_locks = PyDict_New();
        if (st->port_locks == nullptr) {
            return -1;
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
    if (lock_for(state_of_module(module), port, &capsule) < 0) {
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
