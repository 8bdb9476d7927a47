#include "state.hpp"

#include "function.hpp"
#include "operations.hpp"

namespace {

// A new reference, kept by the state until the module is cleared.
PyObject* attr_of(PyObject* module, const char* name) { return PyObject_GetAttrString(module, name); }

PyTypeObject* make_type(PyObject* module, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

}  // namespace

int state_init(PyObject* module, State& st) {
#define CORVANE_INTERN(n) if (!(st.s_##n = PyUnicode_InternFromString(#n))) return -1;
    CORVANE_NAMES(CORVANE_INTERN)
#undef CORVANE_INTERN
    st.function_type = make_type(module, &function_type_spec);
    st.listing_type = make_type(module, &listing_type_spec);
    st.sink_type = make_type(module, &sink_type_spec);
    st.line_sink_type = make_type(module, &line_sink_type_spec);
    st.default_pattern = PyUnicode_InternFromString("*");
    if (!st.function_type || !st.listing_type || !st.sink_type || !st.line_sink_type || !st.default_pattern) return -1;
    return register_listing_type(st.listing_type);
}

// Called once the module has bound its imported names.
int state_bind_imports(PyObject* module, State& st) {
    st.datetime = attr_of(module, "datetime");
    st.ftplib = attr_of(module, "ftplib");
    st.io = attr_of(module, "io");
    st.pathlib = attr_of(module, "pathlib");
    st.local = attr_of(module, "Local");
    st.env_config = attr_of(module, "EnvConfig");
    if (!st.datetime || !st.ftplib || !st.io || !st.pathlib || !st.local || !st.env_config)
        return -1;
    st.error_perm = attr_of(st.ftplib, "error_perm");
    st.error_temp = attr_of(st.ftplib, "error_temp");
    st.error_reply = attr_of(st.ftplib, "error_reply");
    st.datetime_type = attr_of(st.datetime, "datetime");
    if (!st.error_perm || !st.error_temp || !st.error_reply || !st.datetime_type) return -1;
    Ref timedelta = Ref::steal(PyObject_GetAttrString(st.datetime, "timedelta"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref hours = Ref::steal(Py_BuildValue("{s:i}", "hours", 8));
    if (!timedelta || !no_args || !hours) return -1;
    st.timedelta_8h = PyObject_Call(timedelta.get(), no_args.get(), hours.get());
    return st.timedelta_8h ? 0 : -1;
}

#define CORVANE_OBJECTS(X)                                                         \
    X(datetime) X(ftplib) X(io) X(pathlib) X(error_perm) X(error_temp) X(error_reply) \
    X(datetime_type) X(timedelta_8h) X(local) X(env_config) X(interrupt) X(default_pattern)

int state_traverse(State& st, visitproc visit, void* arg) {
#define CORVANE_VISIT(n) Py_VISIT(st.n);
    CORVANE_OBJECTS(CORVANE_VISIT)
#undef CORVANE_VISIT
    Py_VISIT(st.function_type);
    Py_VISIT(st.listing_type);
    Py_VISIT(st.sink_type);
    Py_VISIT(st.line_sink_type);
    return 0;
}

void state_clear(State& st) {
#define CORVANE_CLEAR(n) Py_CLEAR(st.n);
#define CORVANE_CLEAR_NAME(n) Py_CLEAR(st.s_##n);
    CORVANE_OBJECTS(CORVANE_CLEAR)
    CORVANE_NAMES(CORVANE_CLEAR_NAME)
#undef CORVANE_CLEAR_NAME
#undef CORVANE_CLEAR
    Py_CLEAR(st.function_type);
    Py_CLEAR(st.listing_type);
    Py_CLEAR(st.sink_type);
    Py_CLEAR(st.line_sink_type);
}
