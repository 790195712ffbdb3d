#include "literals.h"

#include <initializer_list>

namespace updater::lit {

PyObject* table[count];

namespace {

PyObject* make_tuple(std::initializer_list<Lit> items)
{
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (Lit item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(static_cast<PyObject*>(item)));
    return t;
}

}  // namespace

int create()
{
    // Entries made by an earlier, failed import attempt are kept.
#define STR(id, text)                                   \
    if (!table[id##_id] && !(table[id##_id] = PyUnicode_InternFromString(text))) return -1;
#define INT(id, value)                                  \
    if (!table[id##_id] && !(table[id##_id] = PyLong_FromLongLong(value))) return -1;
#define TUP(id, ...)                                    \
    if (!table[id##_id] && !(table[id##_id] = make_tuple({__VA_ARGS__}))) return -1;
#include "literals.def"
#undef STR
#undef INT
#undef TUP
    return 0;
}

}  // namespace updater::lit
