// The thread-state half of compat.hpp (newer C API on the 3.11 floor, in the
// manner of pythoncapi-compat), apart because ref.hpp needs it and
// compat.hpp needs Ref. It serves the one question every destructor asks
// before it touches the interpreter: may this thread still do so?
//
// On 3.11-3.13 a thread other than the finalizing one that tries to take the
// GIL back while the interpreter finalizes is ended there by pthread_exit,
// which unwinds the thread's C++ frames without a thread state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace comm::py {

// Set for good by the main interpreter's atexit hook (device/port_lock.cpp).
// The interpreter ends threads only after its atexit functions have run, so
// until then the test below costs one load of this flag.
inline std::atomic<bool> exit_begun{false};

// Py_IsFinalizing (public from 3.13). Safe without the GIL: one atomic load.
inline bool
is_finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// True when this thread has its thread state attached (holds the GIL).
// 3.12 and later keep the attached state per thread; 3.11 keeps one for the
// whole runtime (the GIL holder's), so it is compared with this thread's own.
inline bool
thread_is_attached() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState *mine = PyGILState_GetThisThreadState();
    return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
}

// True while the interpreter ends this thread under our frames: they must
// then leave every object, lock and call of the interpreter alone (what they
// hold is leaked; the process is exiting).
inline bool
ended_mid_call() noexcept
{
    return exit_begun.load(std::memory_order_acquire) && is_finalizing() &&
           !thread_is_attached();
}

} // namespace comm::py
