// Owned references and the few helpers every binding file needs.
//
// Ownership rules: a Ref owns one strong reference or none. Every new
// reference goes into a Ref on the line that creates it (Ref::steal); a
// borrowed pointer that must outlive a call that may run Python code is
// re-owned first (Ref::borrow). There is no implicit conversion to or from
// PyObject *: .get() lends, .release() hands ownership away. A thread that
// the finalizing interpreter ends under our frames drops nothing on its way
// out (compat_thread.hpp): it has no GIL to do it with.
//
// A decref may run Python code, and Python code that takes the GIL back
// while the interpreter finalizes ends the thread by unwinding it
// (pthread_exit). Whatever decrefs is therefore noexcept(false): that unwind
// must pass through, and a noexcept frame would turn it into
// std::terminate. A class holding a Ref inherits this; no container of Refs
// (whose destructor is noexcept whatever its elements do) is used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "comm/py/compat_thread.hpp"

#include <exception>
#include <new>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <utility>

namespace comm::py {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_)
    {
        o.p_ = nullptr;
    }
    ~Ref() noexcept(false)
    {
        if (p_ != nullptr && !ended_mid_call()) {
            Py_DECREF(p_);
        }
    }

    // Adopt a new reference (the result of most API calls); may be null.
    static Ref
    steal(PyObject *p) noexcept
    {
        return Ref(p);
    }
    // Take a new reference to a borrowed pointer; may be null.
    static Ref
    borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    // Take the new pointer first and drop the old one last: the old object's
    // destructor may run Python code that looks at us.
    Ref &
    operator=(Ref &&o)
    {
        PyObject *old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }

    PyObject *
    get() const noexcept
    {
        return p_;
    }
    PyObject *
    release() noexcept
    {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit
    operator bool() const noexcept
    {
        return p_ != nullptr;
    }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// New reference to None, for return statements.
inline PyObject *
none()
{
    Py_RETURN_NONE;
}

// Pairs Py_EnterRecursiveCall with its leave.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0)
    {
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard()
    {
        if (entered_ && !ended_mid_call()) {
            Py_LeaveRecursiveCall();
        }
    }
    bool
    ok() const noexcept
    {
        return entered_;
    }

  private:
    bool entered_;
};

} // namespace comm::py

// Table entries of every method pass through this cast (C function pointer
// types differ by signature; CPython calls them by the flags).
#define COMM_METH(fn)                                                         \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// No C++ exception may unwind into the interpreter: each function that
// CPython calls wraps its body in COMM_ENTRY_BEGIN / COMM_ENTRY_END(error).
// The unwind that ends a thread (pthread_exit while the interpreter
// finalizes) is no error of ours and must go on, never be swallowed: caught
// by name where the C++ library names it, and otherwise known as a foreign
// exception, one with no exception_ptr.
#if defined(__GLIBCXX__)
#define COMM_PASS_FORCED_UNWIND                                               \
    catch (abi::__forced_unwind &)                                            \
    {                                                                         \
        throw;                                                                \
    }
#else
#define COMM_PASS_FORCED_UNWIND
#endif
#define COMM_ENTRY_BEGIN try {
#define COMM_ENTRY_END(error_value)                                           \
    }                                                                         \
    COMM_PASS_FORCED_UNWIND                                                   \
    catch (const std::bad_alloc &)                                            \
    {                                                                         \
        PyErr_NoMemory();                                                     \
        return error_value;                                                   \
    }                                                                         \
    catch (...)                                                               \
    {                                                                         \
        if (!std::current_exception()) {                                      \
            throw;                                                            \
        }                                                                     \
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");       \
        return error_value;                                                   \
    }
