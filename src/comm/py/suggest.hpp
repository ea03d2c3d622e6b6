// "Did you mean ...?" for a misspelt keyword argument, chosen as the
// interpreter chooses it for a Python function (3.13's keyword hint, from
// its Python/suggestions.c): a Levenshtein distance over the UTF-8 bytes in
// which a move costs 2 and a change of case 1, and a candidate only when no
// more than about a third of the characters involved must change.
#pragma once

#include "comm/py/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace comm::py {

namespace detail {

constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxSuggestLength = 40; // longer: never suggested

inline std::size_t
substitution_cost(char a, char b)
{
    if ((a & 31) != (b & 31)) {
        return kMoveCost; // not the same letter, in either case
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? kCaseCost : kMoveCost;
}

// The distance from a to b, or max_cost + 1 once it is known to exceed it.
// One row of the matrix is kept, in `row` (kMaxSuggestLength entries).
inline std::size_t
edit_distance(const char *a, std::size_t a_size, const char *b,
              std::size_t b_size, std::size_t max_cost, std::size_t *row)
{
    while (a_size && b_size && a[0] == b[0]) { // common prefix
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) { // suffix
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * kMoveCost;
    }
    if (a_size > kMaxSuggestLength || b_size > kMaxSuggestLength) {
        return max_cost + 1;
    }
    if (b_size < a_size) { // the shorter one along the row
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    for (std::size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    std::size_t result = 0;
    for (std::size_t j = 0; j < b_size; ++j) {
        std::size_t diagonal = result = j * kMoveCost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t i = 0; i < a_size; ++i) {
            std::size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            std::size_t insert_delete =
                (result < diagonal ? result : diagonal) + kMoveCost;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[i] = result;
            minimum = result < minimum ? result : minimum;
        }
        if (minimum > max_cost) {
            return max_cost + 1; // the whole row is already too far
        }
    }
    return result;
}

} // namespace detail

// The candidate (borrowed from `names`) closest to `key`, which matches none
// of them, or nullptr when none is close enough. Sets no exception: a key
// that is not a str or has no UTF-8 form gets no suggestion, as in the
// interpreter.
inline PyObject *
suggest_name(PyObject *const *names, Py_ssize_t count, PyObject *key)
{
    Py_ssize_t key_size = 0;
    const char *key_text = PyUnicode_Check(key)
                               ? PyUnicode_AsUTF8AndSize(key, &key_size)
                               : nullptr;
    if (key_text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    std::size_t row[detail::kMaxSuggestLength];
    PyObject *best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(names[i], &size);
        if (text == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        // A third of the characters involved, and better than the best.
        std::size_t limit = static_cast<std::size_t>(key_size + size + 3) *
                            detail::kMoveCost / 6;
        if (best_distance - 1 < limit) {
            limit = best_distance - 1;
        }
        std::size_t distance = detail::edit_distance(
            key_text, static_cast<std::size_t>(key_size), text,
            static_cast<std::size_t>(size), limit, row);
        if (distance <= limit) {
            best = names[i];
            best_distance = distance;
        }
    }
    return best;
}

} // namespace comm::py
