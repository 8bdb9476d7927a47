// Loading corvane.ftp.path: the imports in their order, `interrupt`, and the
// class FTPPath, made by BasePath's metaclass with each member wrapped once.
#include "function.hpp"
#include "operations.hpp"

namespace {

enum class Wrap { none, retry, retry_property };

struct Member {
    FunctionSpec spec;
    Wrap wrap;
};

constexpr Param self_param{"self", nullptr, nullptr};
constexpr Param reset_params[] = {self_param, {"section", "str", nullptr}};
constexpr Param self_only[] = {self_param};
constexpr Param write_params[] = {self_param, {"data", "bytes", nullptr}};
constexpr Param upload_params[] = {self_param, {"local_path", "str", nullptr}};
constexpr Param glob_params[] = {self_param, {"pattern", "str", &State::default_pattern}};

const Member members[] = {
    {{"_reset", "FTPPath._reset",
      "Make, configure and store a new client for this thread from a config section.\n\n"
      "Returns None on success, or the exception that stopped it.",
      "Optional[Exception]", reset_params, op_reset},
     Wrap::none},
    {{"exists", "FTPPath.exists", "Whether the server knows this path.", "bool", self_only, op_exists},
     Wrap::retry_property},
    {{"is_dir", "FTPPath.is_dir", "Whether this path is a directory; FileNotFoundError if it is missing.",
      "bool", self_only, op_is_dir},
     Wrap::retry},
    {{"read", "FTPPath.read", "The whole content of this remote file.", "bytes", self_only, op_read},
     Wrap::retry},
    {{"write", "FTPPath.write", "Make `data` the whole content of this remote file.", "None", write_params,
      op_write},
     Wrap::retry},
    {{"upload", "FTPPath.upload", "Copy a local file, or a whole local tree, to this remote path.", "None",
      upload_params, op_upload},
     Wrap::retry},
    {{"delete", "FTPPath.delete", "Remove this remote file, or this whole remote tree.", "None", self_only,
      op_delete},
     Wrap::retry},
    {{"mkdir", "FTPPath.mkdir", "Make this remote directory and its missing ancestors.", "None", self_only,
      op_mkdir},
     Wrap::retry},
    {{"glob", "FTPPath.glob", "The entries of this remote directory whose names match `pattern`, lazily.",
      "Generator['FTPPath', Any, Any]", glob_params, op_glob},
     Wrap::retry},
    {{"mtime", "FTPPath.mtime", "The modification time of this remote path.", "datetime.datetime",
      self_only, op_mtime},
     Wrap::retry_property},
};

const FunctionSpec interrupt_spec{"interrupt", "interrupt",
                                  "Stop a data transfer: always raises InterruptedError('Finish!').",
                                  "None", {}, op_interrupt, true};

int bind_module(PyObject* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    return mod ? PyModule_AddObjectRef(module, name, mod.get()) : -1;
}

// `from package import a, b, c`, binding each name in order.
int bind_from(PyObject* module, const char* package, std::initializer_list<const char*> names) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (const char* name : names) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!text || PyList_Append(fromlist.get(), text.get()) < 0) return -1;
    }
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.get(), 0));
    if (!mod) return -1;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
            }
            return -1;
        }
        if (PyModule_AddObjectRef(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

// The module's global `name`, as its code would find it; owned, since the
// lookups and calls that follow may run Python code that rebinds it.
Ref global(PyObject* module, const char* name) {
    Ref value = Ref::borrow(PyDict_GetItemString(PyModule_GetDict(module), name));
    if (!value) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return value;
}

// retry(ftplib.error_temp, ftplib.error_reply)(func), looked up afresh for each member.
Ref wrap_with_retry(PyObject* module, State& st, PyObject* func) {
    Ref retry = global(module, "retry");
    if (!retry) return {};
    Ref error_temp = Ref::steal(PyObject_GetAttrString(st.ftplib, "error_temp"));
    Ref error_reply = Ref::steal(PyObject_GetAttrString(st.ftplib, "error_reply"));
    if (!error_temp || !error_reply) return {};
    Ref decorator = Ref::steal(PyObject_CallFunctionObjArgs(retry.get(), error_temp.get(), error_reply.get(), nullptr));
    if (!decorator) return {};
    return Ref::steal(PyObject_CallOneArg(decorator.get(), func));
}

Ref make_member(PyObject* module, State& st, PyObject* module_name, const Member& m) {
    Ref func = make_function(st, module_name, m.spec);
    if (!func || m.wrap == Wrap::none) return func;
    Ref wrapped = wrap_with_retry(module, st, func.get());
    if (!wrapped || m.wrap == Wrap::retry) return wrapped;
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), wrapped.get()));
}

int build_class(PyObject* module, State& st) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref ns = Ref::steal(PyDict_New());
    Ref annotations = Ref::steal(Py_BuildValue("{s:s}", "client", "ftplib.FTP"));
    Ref section = Ref::steal(Py_BuildValue("(s)", "ftp"));
    Ref creator = Ref::steal(PyObject_GetAttrString(st.ftplib, "FTP"));
    Ref qualname = Ref::steal(PyUnicode_InternFromString("FTPPath"));
    if (!module_name || !ns || !annotations || !section || !creator || !qualname) return -1;
    // Set by hand, in class-body order: a metaclass called from C would take
    // __module__ from the calling Python frame.
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "_section", section.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "_creator", creator.get()) < 0)
        return -1;
    for (const Member& m : members) {
        Ref member = make_member(module, st, module_name.get(), m);
        if (!member || PyDict_SetItemString(ns.get(), m.spec.name, member.get()) < 0) return -1;
    }
    Ref base = global(module, "BasePath");
    if (!base) return -1;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), "s(O)O",
                                               "FTPPath", base.get(), ns.get()));
    return cls ? PyModule_AddObjectRef(module, "FTPPath", cls.get()) : -1;
}

int module_exec(PyObject* module) {
    State& st = *static_cast<State*>(PyModule_GetState(module));
    if (state_init(module, st) < 0) return -1;
    for (const char* name : {"datetime", "fnmatch", "ftplib", "io", "pathlib"})
        if (bind_module(module, name) < 0) return -1;
    if (bind_from(module, "typing", {"Generator", "Any", "Optional"}) < 0 ||
        bind_from(module, "corvane.base", {"retry", "BasePath", "Local"}) < 0 ||
        bind_from(module, "corvane.config", {"EnvConfig"}) < 0 || state_bind_imports(module, st) < 0)
        return -1;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref interrupt = make_function(st, module_name.get(), interrupt_spec);
    if (!interrupt || PyModule_AddObjectRef(module, "interrupt", interrupt.get()) < 0) return -1;
    st.interrupt = interrupt.release();
    return build_class(module, st);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    return st ? state_traverse(*st, visit, arg) : 0;
}

int module_clear(PyObject* module) {
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st) state_clear(*st);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane.ftp.path",
    "FTP paths: FTPPath names a file or directory on an FTP server.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_path() { return PyModuleDef_Init(&module_def); }
