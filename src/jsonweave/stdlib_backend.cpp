// The standard-library flavour of dumps/loads, used when orjson is missing.
//
// `_NumpyEncoder` is a real json.JSONEncoder subclass whose `default` hook is
// C++: numpy integers, floats, booleans and arrays become Python ints, floats,
// bools and nested lists, dates and datetimes their ISO 8601 text; anything
// else goes to the base hook, which raises the usual TypeError. numpy is
// imported on demand, never at module import; when it cannot be imported the
// numpy checks are skipped and dates are still converted.
//
// With a caller's `default`, encoding goes through `_Combined`
// ("dumps.<locals>._Combined"), a subclass whose hook tries the numpy hook
// first and falls back to the caller's callable on TypeError. One such class
// serves the whole process; the caller's callable travels on the encoder
// instance of the call. (Creating a class per call would cost more than a
// small dumps itself and leave a cyclic type object per call for the
// collector.)
#include "jsonweave/jsonweave.h"
#include "jsonweave/messages.h"

namespace jsonweave {
namespace {

struct StdlibState {
  Kept json_dumps;      // json.dumps
  Kept json_loads;      // json.loads
  Kept numpy_encoder;   // _NumpyEncoder
  Kept combined;        // dumps.<locals>._Combined
  Kept kw_dumps;        // ("cls", "indent", "sort_keys")
  Kept kw_encoder;      // the keywords json.dumps hands to an encoder class
};
StdlibState S;

PyObject* s_default;         // "default"
PyObject* s_numpy;           // "numpy"
PyObject* s_encode;          // "encode"
PyObject* s_caller_default;  // instance attribute of a _Combined encoder

const glue::Signature DUMPS_SIG{"dumps", {"obj", "default", "indent", "sort_keys"}, 1};
const glue::Signature LOADS_SIG{"loads", {"s"}, 1};
const glue::Signature ENCODER_DEFAULT_SIG{"_NumpyEncoder.default", {"o"}, 1};
const glue::Signature COMBINED_DEFAULT_SIG{"dumps.<locals>._Combined.default", {"o"}, 1};

/// super(cls, self).default(o)
nb::object super_default(PyObject* cls, PyObject* self, PyObject* o) {
  nb::object sup = glue::steal(
      PyObject_CallFunctionObjArgs((PyObject*) &PySuper_Type, cls, self, nullptr));
  nb::object hook = glue::steal(PyObject_GetAttr(sup.ptr(), s_default));
  return glue::steal(PyObject_CallOneArg(hook.ptr(), o));
}

/// `import numpy`; a null object when numpy cannot be imported.
nb::object import_numpy() {
  PyObject* np = PyImport_ImportModuleLevelObject(s_numpy, nullptr, nullptr, nullptr, 0);
  if (np) return nb::steal(np);
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) glue::raise_current();
  PyErr_Clear();
  return nb::object();
}

/// The encoder hook; `self` is an instance of _NumpyEncoder.
nb::object numpy_default(PyObject* self, PyObject* o) {
  // Without numpy there are no numpy objects to meet; dates are still handled.
  nb::object np = import_numpy();
  if (nb::object converted = convert_known(o, np); converted.is_valid()) return converted;
  return super_default(S.numpy_encoder.get(), self, o);
}

nb::object encoder_default(const glue::Call& call) {
  PyObject* a[1];
  glue::parse(ENCODER_DEFAULT_SIG, call, a);
  return numpy_default(call.self, a[0]);
}

/// _Combined.default: the numpy hook, then on TypeError the caller's callable.
nb::object combined_default(const glue::Call& call) {
  PyObject* a[1];
  glue::parse(COMBINED_DEFAULT_SIG, call, a);
  PyObject* o = a[0];
  nb::object cls = S.combined.ref();
  PyObject* first = nullptr;
  try {
    return super_default(cls.ptr(), call.self, o);
  } catch (const glue::error_set&) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    first = PyErr_GetRaisedException();
  }
  nb::object handled = nb::steal(first);
  nb::object fallback = glue::instance_attr(call.self, s_caller_default);
  PyObject* result = PyObject_CallOneArg(fallback.ptr(), o);
  if (result) return nb::steal(result);
  // Raised while the TypeError was being handled: chain it as its context.
  PyObject* second = PyErr_GetRaisedException();
  if (second != handled.ptr()) PyException_SetContext(second, handled.release().ptr());
  PyErr_SetRaisedException(second);
  glue::raise_current();
}

nb::object dumps(const glue::Call& call) {
  PyObject* a[4];
  glue::parse(DUMPS_SIG, call, a);
  PyObject* obj = a[0];
  PyObject* def = a[1] ? a[1] : Py_None;
  PyObject* indent = a[2] ? a[2] : Py_None;
  PyObject* sort_keys = a[3] ? a[3] : Py_False;

  if (def == Py_None) {
    // json.dumps(obj, cls=_NumpyEncoder, indent=indent, sort_keys=sort_keys)
    nb::object fn = S.json_dumps.ref(), cls = S.numpy_encoder.ref(), kw = S.kw_dumps.ref();
    PyObject* args[] = {obj, cls.ptr(), indent, sort_keys};
    return glue::steal(PyObject_Vectorcall(fn.ptr(), args, 1, kw.ptr()));
  }
  // What json.dumps(obj, cls=_Combined, indent=..., sort_keys=...) does, with
  // the caller's callable put on the encoder before it runs.
  nb::object cls = S.combined.ref(), kw = S.kw_encoder.ref();
  PyObject* args[] = {Py_False, Py_True, Py_True, Py_True, indent, Py_None, Py_None, sort_keys};
  nb::object encoder = glue::steal(PyObject_Vectorcall(cls.ptr(), args, 0, kw.ptr()));
  glue::ok(PyObject_SetAttr(encoder.ptr(), s_caller_default, def));
  return glue::steal(PyObject_CallMethodOneArg(encoder.ptr(), s_encode, obj));
}

nb::object loads(const glue::Call& call) {
  PyObject* a[1];
  glue::parse(LOADS_SIG, call, a);
  nb::object fn = S.json_loads.ref();
  return glue::steal(PyObject_CallOneArg(fn.ptr(), a[0]));
}

PyMethodDef METHODS[] = {
    GLUE_METHOD("dumps", dumps, msg::STDLIB_DUMPS_DOC),
    GLUE_METHOD("loads", loads, msg::STDLIB_LOADS_DOC),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef ENCODER_METHODS[] = {
    GLUE_METHOD("default", encoder_default, msg::ENCODER_DEFAULT_SIG),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef COMBINED_METHODS[] = {
    GLUE_METHOD("default", combined_default, msg::ENCODER_DEFAULT_SIG),
    {nullptr, nullptr, 0, nullptr},
};

nb::object attr(nb::handle obj, const char* name) {
  return glue::steal(PyObject_GetAttrString(obj.ptr(), name));
}

void create_classes(nb::module_ m, nb::handle json_encoder) {
  nb::object bases = glue::steal(PyTuple_Pack(1, json_encoder.ptr()));
  glue::ClassBuilder enc(m, "_NumpyEncoder", bases, msg::NUMPY_ENCODER_DOC);
  nb::object numpy_encoder = enc.create();
  enc.methods(ENCODER_METHODS);

  nb::object cbases = glue::steal(PyTuple_Pack(1, numpy_encoder.ptr()));
  glue::ClassBuilder comb(m, "_Combined", cbases, nullptr);
  nb::object qualname = glue::steal(PyUnicode_FromString("dumps.<locals>._Combined"));
  comb.attr("__qualname__", qualname);
  nb::object combined = comb.create();
  comb.methods(COMBINED_METHODS);

  S.numpy_encoder.reset(numpy_encoder);
  S.combined.reset(combined);
}

}  // namespace

void register_stdlib(nb::module_ m) {
  nb::object json = glue::steal(PyImport_ImportModule("json"));
  nb::object dt = glue::steal(PyImport_ImportModule("datetime"));
  nb::object date = attr(dt, "date"), datetime = attr(dt, "datetime");

  if (!s_default) {
    s_default = intern("default");
    s_numpy = intern("numpy");
    s_encode = intern("encode");
    s_caller_default = intern("_caller_default");
  }
  S.json_dumps.reset(attr(json, "dumps"));
  S.json_loads.reset(attr(json, "loads"));
  hook_init();
  S.kw_dumps.reset(kwnames({"cls", "indent", "sort_keys"}));
  S.kw_encoder.reset(kwnames({"skipkeys", "ensure_ascii", "check_circular", "allow_nan", "indent",
                              "separators", "default", "sort_keys"}));
  // The classes are made once per process: encoders of an earlier
  // initialisation of this module stay instances of the classes in use.
  if (!S.numpy_encoder) create_classes(m, attr(json, "JSONEncoder"));

  glue::ok(PyModule_AddObjectRef(m.ptr(), "json", json.ptr()));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "date", date.ptr()));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "datetime", datetime.ptr()));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "_NumpyEncoder", S.numpy_encoder.get()));
  glue::ok(PyModule_AddFunctions(m.ptr(), METHODS));
  glue::ok(PyModule_AddStringConstant(m.ptr(), "BACKEND", msg::BACKEND_JSON));
}

}  // namespace jsonweave
