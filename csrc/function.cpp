// The function type: see function.hpp. Modelled on CPython's function objects
// (Objects/funcobject.c): vectorcall, binding through tp_descr_get, a real
// __dict__, and attributes that functools.wraps can read and write.
#include "function.hpp"

#include <structmember.h>

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

// ---- argument binding, with CPython's messages for a def ------------------

// The messages are built as Python strings, not std::string: a std::bad_alloc
// must never unwind through the interpreter's C frames.

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

PyObject* too_many(Function* f, Py_ssize_t required, Py_ssize_t total, Py_ssize_t given) {
    Ref takes = Ref::steal(required == total ? PyUnicode_FromFormat("%zd", total)
                                             : PyUnicode_FromFormat("from %zd to %zd", required, total));
    if (takes)
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                     takes.get(), plural(total), given, given == 1 ? "was" : "were");
    return nullptr;
}

PyObject* missing(Function* f, PyObject* const* bound) {
    const auto& params = f->spec->params;
    Py_ssize_t count = 0, listed = 0;
    for (size_t i = 0; i < params.size(); ++i) count += bound[i] ? 0 : 1;
    Ref names = Ref::steal(PyUnicode_FromString(""));
    for (size_t i = 0; i < params.size() && names; ++i) {
        if (bound[i]) continue;
        const char* sep = listed == 0 ? "" : count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        names = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", names.get(), sep, params[i].name));
        ++listed;
    }
    if (names)
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, count,
                     plural(count), names.get());
    return nullptr;
}

Py_ssize_t param_index(const FunctionSpec& spec, PyObject* keyword) {
    for (size_t i = 0; i < spec.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, spec.params[i].name) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = as_function(callable);
    const FunctionSpec& spec = *f->spec;
    State& st = state_of(Py_TYPE(callable));
    if (spec.rest) return spec.impl(st, nullptr);

    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[max_params] = {};
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = param_index(spec, keyword);
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         f->qualname, keyword);
            return nullptr;
        }
        if (bound[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         f->qualname, keyword);
            return nullptr;
        }
        bound[j] = args[nargs + k];
    }
    Py_ssize_t required = 0;
    for (const auto& p : spec.params) required += p.default_value ? 0 : 1;
    if (nargs > nparams) return too_many(f, required, nparams, nargs);

    bool complete = true;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (!bound[i] && spec.params[i].default_value) bound[i] = st.*(spec.params[i].default_value);
        complete = complete && bound[i];
    }
    if (!complete) return missing(f, bound);
    return spec.impl(st, bound);
}

// ---- the Python-visible object ----------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    // As CPython's func_clear: the names stay str (the empty one), since repr
    // and the argument errors read them and a cleared object may still be called.
    Py_SETREF(f->name, PyUnicode_New(0, 0));
    Py_SETREF(f->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

// __name__ and __qualname__ accept only text, as a def's do.
int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_text(&as_function(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_function(self)->qualname, v, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(v));
    return 0;
}

// inspect.signature reads this: the parameter table with its defaults and the
// annotations as they stand now.
PyObject* get_signature(PyObject* self, void*) {
    Function* f = as_function(self);
    State& st = state_of(Py_TYPE(self));
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref empty = Ref::steal(PyObject_GetAttrString(inspect.get(), "_empty"));
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    if (!parameter || !signature || !empty || !annotations) return nullptr;

    auto make_param = [&](const char* name, const char* kind_name, PyObject* deflt) -> Ref {
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name));
        if (!kind) return {};
        PyObject* annotation = PyDict_GetItemString(annotations.get(), name);  // borrowed
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "default", deflt ? deflt : empty.get(),
                                              "annotation", annotation ? annotation : empty.get()));
        Ref pos = Ref::steal(Py_BuildValue("(sO)", name, kind.get()));
        if (!kwargs || !pos) return {};
        return Ref::steal(PyObject_Call(parameter.get(), pos.get(), kwargs.get()));
    };

    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    auto add = [&](Ref p) { return p && PyList_Append(params.get(), p.get()) == 0; };
    if (f->spec->rest) {
        if (!add(make_param("_", "VAR_POSITIONAL", nullptr)) ||
            !add(make_param("__", "VAR_KEYWORD", nullptr)))
            return nullptr;
    }
    for (const auto& p : f->spec->params) {
        PyObject* deflt = p.default_value ? st.*(p.default_value) : nullptr;
        if (!add(make_param(p.name, "POSITIONAL_OR_KEYWORD", deflt))) return nullptr;
    }
    PyObject* result = PyDict_GetItemString(annotations.get(), "return");  // borrowed
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "return_annotation", result ? result : empty.get()));
    Ref pos = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!kwargs || !pos) return nullptr;
    return PyObject_Call(signature.get(), pos.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_type_spec = {
    "corvane.ftp.path.native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref make_function(State& st, PyObject* module_name, const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const auto& p : spec.params) {
        if (!p.annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return {};
    }
    Ref result = Ref::steal(PyUnicode_FromString(spec.result));
    if (!result || PyDict_SetItemString(annotations.get(), "return", result.get()) < 0) return {};

    Ref obj = Ref::steal(PyType_GenericAlloc(st.function_type, 0));
    if (!obj) return {};
    Function* f = as_function(obj.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = PyUnicode_FromString(spec.name);
    f->qualname = PyUnicode_FromString(spec.qualname);
    f->module = Py_NewRef(module_name);
    f->doc = PyUnicode_FromString(spec.doc);
    f->annotations = annotations.release();
    if (!f->name || !f->qualname || !f->doc) return {};
    return obj;
}
