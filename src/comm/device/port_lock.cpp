// The port locks, one registry for the whole process:
//
//     class _hold_port:                    # with _hold_port(port): ...
//         def __init__(self, port): self.port = port
//         def __enter__(self): <the port's RLock>.acquire(); return self
//         def __exit__(self, *exc): <the port's RLock>.release()
//
// An entry lives while its port is in use (held, waited for, or being
// compared), so the registry keeps no port value alive and does not grow
// with the values it has seen. A string port is keyed by its text, which
// every interpreter and module object shares; any other port value by
// Python's == within its own interpreter. Entries are only touched with the
// GIL held: one GIL serves every interpreter that can import the module (it
// declares no GIL of its own per interpreter). Waiting releases the GIL and
// lets signal handlers run, as threading.RLock does.
#include "comm/device/port_lock.hpp"

#include "comm/call_time.hpp"
#include "comm/py/compat.hpp"
#include "comm/startup.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace comm {

using py::Ref;

struct PortEntry {
    Py_hash_t hash = 0;
    bool is_text = false;
    std::string text;                     // a string port's UTF-8
    PyObject *key = nullptr;              // any other port value, owned
    PyInterpreterState *interp = nullptr; // the key's interpreter
    PyThread_type_lock lock = nullptr;
    // Read by other threads to see whether they hold the port already.
    std::atomic<unsigned long> owner{0}; // thread ident while depth > 0
    std::atomic<unsigned long> depth{0};
    std::size_t users = 0;    // holds, waiters and comparisons in progress
    std::uint64_t serial = 0; // order of insertion, from 1
};

namespace {

struct Registry {
    std::vector<PortEntry *> entries;
    std::uint64_t last_serial = 0;
};

// Never destroyed: a thread ended at exit may leave an entry behind.
Registry &
registry()
{
    static Registry *r = new Registry;
    return *r;
}

// One user less; the last one removes the entry and drops its key.
void
unpin(PortEntry *e)
{
    if (--e->users > 0) {
        return;
    }
    std::vector<PortEntry *> &entries = registry().entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == e) {
            entries[i] = entries.back();
            entries.pop_back();
            break;
        }
    }
    Ref key = Ref::steal(e->key); // dropped last: its __del__ may run anything
    PyThread_free_lock(e->lock);
    delete e;
}

// Python's `entry_key == port`; -1 with an exception set.
int
equal(const PortEntry *e, PyObject *port)
{
    Ref key;
    if (e->is_text) {
        key = Ref::steal(PyUnicode_DecodeUTF8(
            e->text.data(), static_cast<Py_ssize_t>(e->text.size()), nullptr));
        if (!key) {
            return -1;
        }
    }
    else {
        key = Ref::borrow(e->key); // pinned, so alive; ours across __eq__
    }
    return PyObject_RichCompareBool(key.get(), port, Py_EQ);
}

// What a lookup compares entries with.
struct PortKey {
    PyObject *port;
    Py_hash_t hash;
    const char *text; // an exact str's UTF-8 (borrowed from it), or null
    std::size_t text_size;
    PyInterpreterState *interp;
};

// 1 with *k filled, 0 for a port that cannot be hashed (its __hash__ raised
// TypeError), -1 with an exception set.
int
read_key(PyObject *port, PortKey *k)
{
    k->port = port;
    k->hash = PyObject_Hash(port);
    if (k->hash == -1) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    k->text = nullptr;
    k->text_size = 0;
    if (PyUnicode_CheckExact(port)) {
        Py_ssize_t size = 0;
        k->text = PyUnicode_AsUTF8AndSize(port, &size);
        if (k->text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                return -1;
            }
            PyErr_Clear(); // a lone surrogate: keyed as an object
        }
        k->text_size = static_cast<std::size_t>(size);
    }
    k->interp = PyInterpreterState_Get();
    return 1;
}

// What the entries inserted after a given one tell about a key, without
// running Python code: the entry that is the key's for sure (the same text,
// or the port object itself), or else the oldest that only == can tell.
struct Scan {
    PortEntry *same = nullptr;
    PortEntry *maybe = nullptr;
};

Scan
scan_after(const PortKey &k, std::uint64_t after)
{
    Scan s;
    for (PortEntry *e : registry().entries) {
        if (e->serial <= after || e->hash != k.hash) {
            continue;
        }
        if (e->is_text && k.text != nullptr) {
            if (e->text.size() == k.text_size &&
                std::memcmp(e->text.data(), k.text, k.text_size) == 0) {
                s.same = e;
                return s;
            }
            continue;
        }
        if (!e->is_text && e->interp != k.interp) {
            continue; // another interpreter's object: not ours to call
        }
        if (e->key == k.port) {
            s.same = e;
            return s;
        }
        if (s.maybe == nullptr || e->serial < s.maybe->serial) {
            s.maybe = e;
        }
    }
    return s;
}

// A new entry for the key, with one user; null with MemoryError.
PortEntry *
insert_entry(const PortKey &k)
{
    auto *e = new PortEntry;
    e->lock = PyThread_allocate_lock();
    if (e->lock == nullptr) {
        delete e;
        PyErr_NoMemory();
        return nullptr;
    }
    e->hash = k.hash;
    if (k.text != nullptr) {
        e->is_text = true;
        e->text.assign(k.text, k.text_size);
    }
    else {
        e->key = Ref::borrow(k.port).release();
        e->interp = k.interp;
    }
    e->users = 1;
    Registry &reg = registry();
    e->serial = ++reg.last_serial;
    reg.entries.push_back(e);
    return e;
}

// The entry of `port`, made if there is none, with one more user; null
// without an exception for a port that cannot be hashed. -1 with an
// exception set.
//
// Entries are compared oldest first. == runs Python code, which may insert
// entries (newer than any compared so far, so the walk still meets them:
// one may be this port's) and remove others (not the one compared, pinned
// meanwhile); so the walk goes on after the last one compared, and an ==
// that itself uses other ports does not send it back to the start.
int
pin_entry(PyObject *port, PortEntry **out)
{
    *out = nullptr;
    PortKey k;
    int r = read_key(port, &k);
    if (r <= 0) {
        return r;
    }
    std::uint64_t after = 0;
    for (;;) {
        Scan s = scan_after(k, after);
        if (s.same != nullptr) {
            ++s.same->users;
            *out = s.same;
            return 0;
        }
        if (s.maybe == nullptr) {
            *out = insert_entry(k);
            return *out != nullptr ? 0 : -1;
        }
        PortEntry *e = s.maybe;
        after = e->serial;
        ++e->users;
        int eq = equal(e, port);
        if (eq > 0) {
            *out = e;
            return 0;
        }
        unpin(e);
        if (eq < 0) {
            return -1;
        }
    }
}

// threading's main thread, the one that finalizes the interpreter: read
// once per process (see add_hold_port), and in a forked child its only
// thread. Other threads are the ones the finalizing interpreter ends.
std::atomic<unsigned long> main_thread{0};

bool
is_main_thread()
{
    return PyThread_get_thread_ident() == main_thread.load();
}

// A lock acquired while the GIL was released, given back if the thread is
// ended before it could record the hold (the unwind of pthread_exit).
class Acquired {
  public:
    explicit Acquired(PyThread_type_lock lock) : lock_(lock) {}
    Acquired(const Acquired &) = delete;
    Acquired &operator=(const Acquired &) = delete;
    ~Acquired()
    {
        give_back();
    }
    void
    keep() noexcept
    {
        lock_ = nullptr;
    }
    void
    give_back() noexcept
    {
        if (lock_ != nullptr) {
            PyThread_release_lock(lock_);
            lock_ = nullptr;
        }
    }

  private:
    PyThread_type_lock lock_;
};

// A thread that the finalizing interpreter would end on taking the GIL back
// waits here for the process to exit instead, as CPython 3.14 does itself:
// no unwind runs through the frames below us.
[[noreturn]] void
park_forever()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

// Takes `lock`; waits with the GIL released. -1 with an exception set (a
// signal handler raised while waiting).
int
wait_for(PyThread_type_lock lock)
{
    if (PyThread_acquire_lock_timed(lock, 0, 0) == PY_LOCK_ACQUIRED) {
        return 0;
    }
    bool main = is_main_thread();
    for (;;) {
        PyThreadState *saved = PyEval_SaveThread();
        PyLockStatus r = PyThread_acquire_lock_timed(lock, -1, 1);
        Acquired got(r == PY_LOCK_ACQUIRED ? lock : nullptr);
        if (!main && py::is_finalizing()) {
            got.give_back(); // a finalizer may still want the port
            park_forever();
        }
        PyEval_RestoreThread(saved);
        if (r == PY_LOCK_ACQUIRED) {
            got.keep();
            return 0;
        }
        if (r == PY_LOCK_INTR && Py_MakePendingCalls() < 0) {
            return -1; // a signal handler raised (KeyboardInterrupt)
        }
    }
}

// Waits for and takes the port's lock (again, when this thread holds it);
// *out is null for a port left unlocked. -1 with an exception set.
int
hold(PyObject *port, PortEntry **out)
{
    PortEntry *e;
    if (pin_entry(port, &e) < 0) {
        return -1;
    }
    if (e != nullptr) {
        unsigned long me = PyThread_get_thread_ident();
        if (e->depth.load() == 0 || e->owner.load() != me) {
            if (wait_for(e->lock) < 0) {
                unpin(e);
                return -1;
            }
            e->owner.store(me);
        }
        e->depth.fetch_add(1);
    }
    *out = e;
    return 0;
}

// Gives one hold back. A thread ended mid-call frees the port for the
// others but leaves the registry, which needs the GIL, as it is.
void
let_go(PortEntry *e)
{
    if (e == nullptr) {
        return;
    }
    if (e->depth.fetch_sub(1) == 1) {
        e->owner.store(0);
        PyThread_release_lock(e->lock);
    }
    if (!py::ended_mid_call()) {
        unpin(e);
    }
}

#if !defined(_WIN32)
// After fork() only the forking thread lives on in the child: a lock that
// another thread held or waited for would never come free, so it gets a
// fresh one (the old one is left alone, as CPython does with its own locks
// after a fork: it may be mid-operation). The forking thread's own holds
// stay, with their depth. Every user stays counted: the forking thread
// gives its own back, and a hold of a thread that did not come along may
// still have a _hold_port object pointing at the entry, so the entries
// such threads used (no more than were in use at the fork) are kept for
// the child's life rather than freed under that object.
void
after_fork_in_child()
{
    unsigned long me = PyThread_get_thread_ident();
    main_thread.store(me);
    for (PortEntry *e : registry().entries) {
        if (e->depth.load() > 0 && e->owner.load() == me) {
            continue;
        }
        PyThread_type_lock fresh = PyThread_allocate_lock();
        if (fresh != nullptr) {
            e->lock = fresh;
            e->owner.store(0);
            e->depth.store(0);
        }
    }
}
#endif

// ------------------------------------------------------------ _hold_port

struct HoldObject {
    PyObject_HEAD PyObject *port;
    PortEntry *entry; // while holds > 0 (null: the port is not locked)
    Py_ssize_t holds; // entered and not yet left, by any thread
};

HoldObject *
as_hold(PyObject *self)
{
    return reinterpret_cast<HoldObject *>(self);
}

PyObject *
Hold_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    COMM_ENTRY_BEGIN
    static const char *kwlist[] = {"port", nullptr};
    PyObject *port;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_hold_port",
                                     const_cast<char **>(kwlist), &port)) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    as_hold(self.get())->port = Ref::borrow(port).release();
    return self.release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Hold_enter(PyObject *self, PyObject *)
{
    COMM_ENTRY_BEGIN
    HoldObject *h = as_hold(self);
    Ref port = Ref::borrow(h->port);
    PortEntry *e;
    if (hold(port.get(), &e) < 0) {
        return nullptr;
    }
    h->entry = e;
    ++h->holds;
    return Ref::borrow(self).release();
    COMM_ENTRY_END(nullptr)
}

PyObject *
Hold_exit(PyObject *self, PyObject *const *, Py_ssize_t)
{
    COMM_ENTRY_BEGIN
    HoldObject *h = as_hold(self);
    PortEntry *e = h->entry;
    if (h->holds == 0 ||
        (e != nullptr && (e->depth.load() == 0 ||
                          e->owner.load() != PyThread_get_thread_ident()))) {
        PyErr_SetString(PyExc_RuntimeError, "cannot release un-acquired lock");
        return nullptr;
    }
    if (--h->holds == 0) {
        h->entry = nullptr;
    }
    let_go(e);
    return Ref::borrow(Py_False).release();
    COMM_ENTRY_END(nullptr)
}

int
Hold_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_hold(self)->port);
    return 0;
}

int
Hold_clear(PyObject *self)
{
    Py_CLEAR(as_hold(self)->port);
    return 0;
}

// Holds still open are given back when this thread has them; another
// thread's stay, as a lock that thread never released would.
void
Hold_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    HoldObject *h = as_hold(self);
    PortEntry *e = h->entry;
    if (e != nullptr && e->owner.load() == PyThread_get_thread_ident()) {
        for (; h->holds > 0 && e->depth.load() > 0; --h->holds) {
            let_go(e);
        }
    }
    Hold_clear(self);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef Hold_methods[] = {
    {"__enter__", COMM_METH(Hold_enter), METH_NOARGS,
     "__enter__($self, /)\n--\n\nWaits for the port (the GIL released) and "
     "holds it."},
    {"__exit__", COMM_METH(Hold_exit), METH_FASTCALL,
     "__exit__($self, /, *exc)\n--\n\nGives one hold of the port back."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Hold_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(Hold_new)},
    {Py_tp_traverse, reinterpret_cast<void *>(Hold_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Hold_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Hold_dealloc)},
    {Py_tp_methods, Hold_methods},
    {Py_tp_doc,
     const_cast<char *>(
         "_hold_port(port)\n--\n\n"
         "Holds the lock that exchanges on `port` take, re-entrantly, for a\n"
         "`with` block. Private: for the station's own serial lines.")},
    {0, nullptr},
};

PyType_Spec Hold_spec = {
    "tarvelpump.comm._hold_port",            // name
    sizeof(HoldObject),                      // basicsize
    0,                                       // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, // flags
    Hold_slots,                              // slots
};

// threading.main_thread().ident
int
read_main_thread(PyObject *module)
{
    Ref threading = import_statement(module, "threading");
    if (!threading) {
        return -1;
    }
    Ref main = Ref::steal(
        PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) {
        return -1;
    }
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) {
        return -1;
    }
    unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return -1;
    }
    main_thread.store(value);
    return 0;
}

PyObject *
note_exit(PyObject *, PyObject *)
{
    py::exit_begun.store(true, std::memory_order_release);
    return py::none();
}

PyMethodDef note_exit_def = {
    "_note_exit",
    COMM_METH(note_exit),
    METH_NOARGS,
    "_note_exit()\n--\n\nFrom here on, threads may be ended under the "
    "module's frames.",
};

// atexit.register(_note_exit), in the main interpreter: the function refers
// to no module, so the registry keeps none alive.
int
register_exit_hook(PyObject *module)
{
    Ref atexit = import_statement(module, "atexit");
    if (!atexit) {
        return -1;
    }
    Ref hook = Ref::steal(PyCFunction_NewEx(&note_exit_def, nullptr, nullptr));
    if (!hook) {
        return -1;
    }
    Ref done = Ref::steal(
        PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return done ? 0 : -1;
}

} // namespace

int
PortHold::acquire(PyObject *port)
{
    return hold(port, &entry_);
}

void
PortHold::release()
{
    PortEntry *e = entry_;
    entry_ = nullptr;
    let_go(e);
}

// Binds `_hold_port`. Once per process, it notes the main thread, hooks
// the main interpreter's exit, and registers what a forked child does with
// the locks.
int
add_hold_port(PyObject *module)
{
    if (main_thread.load() == 0 && read_main_thread(module) < 0) {
        return -1;
    }
    static bool exit_hooked = false; // under the GIL
    if (!exit_hooked &&
        PyInterpreterState_Get() == PyInterpreterState_Main()) {
        if (register_exit_hook(module) < 0) {
            return -1;
        }
        exit_hooked = true;
    }
#if !defined(_WIN32)
    static std::once_flag registered;
    std::call_once(registered, [] {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
    });
#endif
    Ref type =
        Ref::steal(PyType_FromModuleAndSpec(module, &Hold_spec, nullptr));
    if (!type) {
        return -1;
    }
    return PyModule_AddType(module,
                            reinterpret_cast<PyTypeObject *>(type.get()));
}

} // namespace comm
