// Access to the literal table (literals.def): `lit::sys` converts to the
// shared, interned object for "sys".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace updater::lit {

enum Id : int {
#define STR(id, text) id##_id,
#define INT(id, value) id##_id,
#define TUP(id, ...) id##_id,
#include "literals.def"
#undef STR
#undef INT
#undef TUP
    count
};

extern PyObject* table[count];

struct Lit {
    Id id;
    operator PyObject*() const noexcept { return table[id]; }
};

#define STR(id, text) inline constexpr Lit id{id##_id};
#define INT(id, value) inline constexpr Lit id{id##_id};
#define TUP(id, ...) inline constexpr Lit id{id##_id};
#include "literals.def"
#undef STR
#undef INT
#undef TUP

// Creates every entry once per process; -1 with an exception on failure.
// Not noexcept: the unwinding of an ended thread passes (see Ref::attached).
int create();

}  // namespace updater::lit
