// One re-entrant lock per port value, process-wide: exchanges on the same
// port, through one Kelt object or several, run one at a time.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

struct PortLock;

// Holds the lock of one port value from acquire() until it goes out of
// scope. A port value that cannot be hashed is not locked.
class PortHold {
  public:
    PortHold() = default;
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;
    ~PortHold();

    // Takes the port's lock, waiting for it with the GIL released; 0 once
    // held, or at once for a port value left unlocked (its __hash__ or
    // __eq__ raised TypeError); -1 with an exception set for any other error
    // of them, or one raised by a signal handler that ran while waiting.
    int acquire(PyObject *module, PyObject *port);

  private:
    py::Ref capsule_;  // keeps the lock alive while it is held
    PortLock *lock_ = nullptr;
};

}  // namespace comm
