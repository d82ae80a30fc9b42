// The orjson flavour of dumps/loads.
//
// The option words are built once, when the module is initialised: the numpy
// option, optionally with 2-space indentation and/or sorted keys. A call then
// picks one of the four, hands the object to orjson.dumps and turns the bytes
// into a str straight from the buffer.
#include "jsonweave/jsonweave.h"
#include "jsonweave/messages.h"

namespace jsonweave {
namespace {

enum : int { WITH_INDENT = 1, WITH_SORT = 2 };

struct OrjsonState {
  Kept dumps;              // orjson.dumps
  Kept loads;              // orjson.loads
  Kept options[4];         // _NUMPY_OPT [| OPT_INDENT_2] [| OPT_SORT_KEYS]
  Kept kw_default_option;  // ("default", "option")
  Kept forward_plain;      // the forwarder used when the caller gives no default
};
OrjsonState S;

const glue::Signature DUMPS_SIG{"dumps", {"obj", "default", "indent", "sort_keys"}, 1};
const glue::Signature LOADS_SIG{"loads", {"s"}, 1};

bool truthy(PyObject* v) { return v && glue::truthy(v); }

// ---- what orjson cannot serialise itself ---------------------------------
//
// orjson is always given a `default`: a forwarding function that first
// applies the numpy/date conversions (non-contiguous, object and 0-d arrays,
// long doubles and date subclasses such as pandas.Timestamp otherwise fail
// under this backend while the standard one handles them), then the caller's
// `default` when there is one.
//
// orjson reports an exception raised by `default` as its own TypeError
// ("Type is not JSON serializable") with the original as __cause__. The
// caller's exception is what reaches the caller, under this backend as under
// the standard one: with a caller's `default` the forwarder is bound to a
// per-call list [default, raised exception or None], and when orjson fails
// after `default` raised, that exception replaces orjson's. Without one, the
// forwarder refuses an object with a private TypeError subclass, and orjson's
// own error is reported without that internal link.

PyObject* s_numpy;           // "numpy"
PyObject* unserialisable;    // the private refusal type

/// numpy when it has been imported (an object of a numpy type implies it).
nb::object imported_numpy() {
  PyObject* np = PyImport_GetModule(s_numpy);
  if (!np && PyErr_Occurred()) glue::raise_current();
  if (np == Py_None) {  // import blocked: no numpy objects can exist
    Py_DECREF(np);
    return nb::object();
  }
  return nb::steal(np);
}

nb::object forward_plain_body(PyObject* o) {
  nb::object np = imported_numpy();
  if (nb::object converted = convert_known(o, np); converted.is_valid()) return converted;
  glue::raise(unserialisable, "Type is not JSON serializable: %.200s", Py_TYPE(o)->tp_name);
}

PyObject* forward_plain(PyObject*, PyObject* o) {
  return glue::guarded([&]() -> PyObject* { return forward_plain_body(o).release().ptr(); });
}

nb::object forward_caller_body(PyObject* cell, PyObject* o) {
  nb::object np = imported_numpy();
  if (nb::object converted = convert_known(o, np); converted.is_valid()) return converted;
  nb::object fn = nb::borrow(PyList_GET_ITEM(cell, 0));
  return glue::steal(PyObject_CallOneArg(fn.ptr(), o));
}

PyObject* forward_caller(PyObject* cell, PyObject* o) {
  PyObject* result =
      glue::guarded([&]() -> PyObject* { return forward_caller_body(cell, o).release().ptr(); });
  if (!result) {
    // Remember what was raised; PyList_SetItem steals the new reference and
    // releases any earlier one.
    PyObject* exc = PyErr_GetRaisedException();
    PyList_SetItem(cell, 1, Py_NewRef(exc));
    PyErr_SetRaisedException(exc);
  }
  return result;
}

PyMethodDef FORWARD_PLAIN_DEF{"default", (PyCFunction) forward_plain, METH_O, nullptr};
PyMethodDef FORWARD_CALLER_DEF{"default", (PyCFunction) forward_caller, METH_O, nullptr};

/// orjson failed with the plain forwarder: drop the internal refusal from
/// orjson's error, or report a failed conversion as itself.
[[noreturn]] void reraise_plain() {
  nb::object exc = nb::steal(PyErr_GetRaisedException());
  nb::object cause = nb::steal(PyException_GetCause(exc.ptr()));
  if (cause.is_valid() && PyErr_GivenExceptionMatches(cause.ptr(), unserialisable)) {
    PyException_SetCause(exc.ptr(), nullptr);
    PyException_SetContext(exc.ptr(), nullptr);
    glue::ok(PyObject_SetAttrString(exc.ptr(), "__suppress_context__", Py_False));
  } else if (cause.is_valid()) {
    exc = cause;
  }
  PyErr_SetRaisedException(exc.release().ptr());
  glue::raise_current();
}

nb::object dumps_plain(PyObject* obj, PyObject* opts) {
  nb::object fn = S.dumps.ref(), forward = S.forward_plain.ref(), kw = S.kw_default_option.ref();
  PyObject* args[] = {obj, forward.ptr(), opts};
  PyObject* raw = PyObject_Vectorcall(fn.ptr(), args, 1, kw.ptr());
  if (!raw) reraise_plain();
  return nb::steal(raw);
}

nb::object dumps_with_default(PyObject* obj, PyObject* def, PyObject* opts) {
  nb::object fn = S.dumps.ref();
  nb::object kw = S.kw_default_option.ref();
  if (!PyCallable_Check(def)) {
    // Let orjson report the unusable argument in its own words.
    PyObject* args[] = {obj, def, opts};
    return glue::steal(PyObject_Vectorcall(fn.ptr(), args, 1, kw.ptr()));
  }
  nb::object cell = glue::steal(PyList_New(2));
  PyList_SET_ITEM(cell.ptr(), 0, Py_NewRef(def));
  PyList_SET_ITEM(cell.ptr(), 1, Py_NewRef(Py_None));
  nb::object forward = glue::steal(PyCFunction_New(&FORWARD_CALLER_DEF, cell.ptr()));
  PyObject* args[] = {obj, forward.ptr(), opts};
  PyObject* raw = PyObject_Vectorcall(fn.ptr(), args, 1, kw.ptr());
  if (!raw) {
    PyObject* raised = PyList_GET_ITEM(cell.ptr(), 1);
    if (raised != Py_None) {
      PyObject* exc = Py_NewRef(raised);
      PyErr_Clear();
      PyErr_SetRaisedException(exc);  // steals
    }
    glue::raise_current();
  }
  return nb::steal(raw);
}

nb::object to_str(nb::object raw) {
  if (PyBytes_CheckExact(raw.ptr()))
    return glue::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()), "strict"));
  return glue::steal(PyObject_CallMethod(raw.ptr(), "decode", "s", "utf-8"));
}

nb::object dumps(const glue::Call& call) {
  PyObject* a[4];
  glue::parse(DUMPS_SIG, call, a);
  PyObject* obj = a[0];
  PyObject* def = a[1] ? a[1] : Py_None;
  int which = 0;
  if (truthy(a[2])) which |= WITH_INDENT;
  if (truthy(a[3])) which |= WITH_SORT;
  nb::object opts = S.options[which].ref();

  nb::object raw = def == Py_None ? dumps_plain(obj, opts.ptr())
                                   : dumps_with_default(obj, def, opts.ptr());
  return to_str(std::move(raw));
}

nb::object loads(const glue::Call& call) {
  PyObject* a[1];
  glue::parse(LOADS_SIG, call, a);
  nb::object fn = S.loads.ref();
  return glue::steal(PyObject_CallOneArg(fn.ptr(), a[0]));
}

PyMethodDef METHODS[] = {
    GLUE_METHOD("dumps", dumps, msg::ORJSON_DUMPS_DOC),
    GLUE_METHOD("loads", loads, msg::ORJSON_LOADS_DOC),
    {nullptr, nullptr, 0, nullptr},
};

nb::object attr(nb::handle obj, const char* name) {
  return glue::steal(PyObject_GetAttrString(obj.ptr(), name));
}

nb::object bit_or(nb::handle a, nb::handle b) { return glue::steal(PyNumber_Or(a.ptr(), b.ptr())); }

}  // namespace

void register_orjson(nb::module_ m, nb::handle orjson) {
  // An AttributeError here (an orjson without numpy support) aborts the import.
  nb::object numpy_opt = attr(orjson, "OPT_SERIALIZE_NUMPY");
  nb::object indent_opt = attr(orjson, "OPT_INDENT_2");
  nb::object sort_opt = attr(orjson, "OPT_SORT_KEYS");

  S.dumps.reset(attr(orjson, "dumps"));
  S.loads.reset(attr(orjson, "loads"));
  S.options[0].reset(numpy_opt);
  S.options[WITH_INDENT].reset(bit_or(numpy_opt, indent_opt));
  S.options[WITH_SORT].reset(bit_or(numpy_opt, sort_opt));
  S.options[WITH_INDENT | WITH_SORT].reset(bit_or(S.options[WITH_INDENT].ref(), sort_opt));
  if (!s_numpy) {
    s_numpy = intern("numpy");
    unserialisable = PyErr_NewException("corvanti.utilities.jsonweave._Unserialisable",
                                        PyExc_TypeError, nullptr);
    if (!unserialisable) glue::raise_current();
  }
  hook_init();
  S.forward_plain.reset(glue::steal(PyCFunction_New(&FORWARD_PLAIN_DEF, nullptr)));
  S.kw_default_option.reset(kwnames({"default", "option"}));

  glue::ok(PyModule_AddObjectRef(m.ptr(), "orjson", orjson.ptr()));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "_NUMPY_OPT", numpy_opt.ptr()));
  glue::ok(PyModule_AddFunctions(m.ptr(), METHODS));
  glue::ok(PyModule_AddStringConstant(m.ptr(), "BACKEND", msg::BACKEND_ORJSON));
}

}  // namespace jsonweave
