// What the transaction decides about byte values: the check-data rule over
// Python integers, and the verdict on a reply (its failure code and message,
// or its value). Byte-value replies go to the pure core; anything else, or an
// overridden __chkd, takes the general path that does what Python does.
#pragma once

#include "comm/py/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace comm {

// Copies `seq` into `out` when it is a list or tuple of integers 0..255 that
// compare and add as int does (Command entries do). Reading such items runs
// no Python code, so the loop may look at the list directly; for anything
// else (false) the caller takes the general path, which does what Python
// does.
bool small_bytes(PyObject *seq, std::vector<std::uint8_t> &out);

// A new list of the byte values p[0, n).
py::Ref list_of(const std::uint8_t *p, std::size_t n);

// A private copy of a list another party holds (for other sequences, their
// len() items by index), so later slices and reads see one state whatever
// that party's code does meanwhile.
py::Ref own_list(PyObject *seq);

// hex_str(data), the module's function looked up now. Its result is the
// caller's to format with %S (str()): a rebound hex_str may return anything.
py::Ref call_hex_str(PyObject *module, PyObject *data);

// The class's own self.__chkd(data): the check-data rule over a sequence of
// byte values, as Python integers add up.
py::Ref check_data_rule(PyObject *data);

// self.__chkd(data): `chkd` called, or the rule run here when `own`.
py::Ref call_chkd(PyObject *chkd, bool own, PyObject *data);

// The verdict on a reply: `code` is the interned name of a failure code
// (with its message, if any), or null with the value of a good reply.
struct Verdict {
    PyObject *code = nullptr;
    py::Ref message;
    py::Ref value;
};

// Judges `reply` (a list we own) against the expected frame header `grh`
// and application header `recv_header`, with self.__chkd as `chkd` (`own`
// when it is the class's). 0, or -1 with an exception set.
int judge_reply(PyObject *module, PyObject *reply, PyObject *grh,
                PyObject *recv_header, PyObject *chkd, bool own_chkd,
                Verdict *out);

} // namespace comm
