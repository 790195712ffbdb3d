#include "report.h"

namespace updater::engine {

Ref percent_line(PyObject* percent, PyObject* speed_kb)
{
    Ref p = own(PyObject_Format(percent, lit::fmt_1f));
    Ref s = own(PyObject_Format(speed_kb, lit::fmt_1f));
    return join_text({p, lit::percent_sep, s, lit::kb_per_s});
}

Ref size_line(PyObject* downloaded_bytes, PyObject* speed_kb)
{
    Ref kb = own(PyObject_Format(own(PyNumber_FloorDivide(downloaded_bytes, lit::n1024)), lit::empty));
    Ref s = own(PyObject_Format(speed_kb, lit::fmt_1f));
    return join_text({kb, lit::kb_sep, s, lit::kb_per_s});
}

}  // namespace updater::engine
