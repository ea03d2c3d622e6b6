// One re-entrant lock per port value for the whole process: exchanges on
// the same port, through any Kelt of any module object or interpreter, and
// the holds taken through `_hold_port`, run one at a time.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

struct PortEntry;

// Holds the lock of one port value from acquire() until release() or the
// end of its scope. A port value that cannot be hashed is not locked.
class PortHold {
  public:
    PortHold() = default;
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;
    // Letting go may drop the last reference to the port value, whose
    // __del__ is Python code (see ref.hpp on noexcept(false)).
    ~PortHold() noexcept(false)
    {
        release();
    }

    // Waits for the port with the GIL released; 0, or -1 with an exception
    // set (an error of the port's __hash__ or __eq__, or of a signal
    // handler that ran while waiting).
    int acquire(PyObject *port);
    void release();

  private:
    PortEntry *entry_ = nullptr;
};

} // namespace comm
