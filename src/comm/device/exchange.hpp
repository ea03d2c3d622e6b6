// The guts of Kelt's serial exchange and command transaction
// (exchange.cpp), apart from the entry points in kelt.cpp that bind their
// arguments (as _struct.c keeps s_unpack_internal apart from s_unpack); the
// check-data rule and the reply's verdict are in verdict.hpp.
#pragma once

#include "comm/py/ref.hpp"

namespace comm {

// self.__sr(data, recv_len): one exchange on self's port, held alone from
// open to close; a new list of the byte values read.
py::Ref serial_exchange(PyObject *self, PyObject *module, PyObject *data,
                        Py_ssize_t recv_len);

// self.__send_and_recv(command, data_send, to_addr, to_channel): request
// assembly, the exchange through self.__sr, and the reply's verdict as a
// DeviceReturn.
py::Ref transaction(PyObject *self, PyObject *module, PyObject *command,
                    PyObject *data_send, PyObject *to_addr,
                    PyObject *to_channel);

// True when `method`, looked up as self._Kelt__chkd, is the class's own
// method bound to self (defined beside the method table in kelt.cpp).
bool is_class_chkd(PyObject *method, PyObject *self);

} // namespace comm
