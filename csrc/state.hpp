// Module state: names interned once and the modules, classes and exception
// types the operations use, looked up when the module loads.
#pragma once
#include "ref.hpp"

// Every attribute and method name the operations use, interned at load.
#define CORVANE_NAMES(X)                                                             \
    X(as_posix) X(client) X(delattr) X(delete) X(exists) X(getboolean)             \
    X(has_option) X(init_configer) X(is_dir) X(join) X(mkd) X(mkdir) X(nlst)       \
    X(parent) X(path) X(pwd) X(retrbinary) X(retrlines) X(rmd) X(sendcmd)           \
    X(set_pasv) X(setattr) X(storbinary) X(upload) X(blocksize) X(pasv) X(BytesIO)  \
    X(Path) X(iterdir) X(name) X(open) X(__enter__) X(__exit__) X(append)           \
    X(keys) X(_creator) X(_key_on_thread) X(_read_config) X(_valid_reset) X(_settle)  \
    X(_section) X(get) X(host) X(add_note) X(__notes__) X(harden) X(listing_bytes)     \
    X(listing_too_long)

struct State {
#define CORVANE_DECLARE(n) PyObject* s_##n;
    CORVANE_NAMES(CORVANE_DECLARE)
#undef CORVANE_DECLARE
    // Modules, in the order the module binds them.
    PyObject* datetime;
    PyObject* ftplib;
    PyObject* io;
    PyObject* pathlib;
    PyObject* error_perm;
    PyObject* error_temp;
    PyObject* error_reply;
    PyObject* datetime_type;
    PyObject* timedelta_8h;
    PyObject* local;       // corvane.base.Local
    PyObject* env_config;  // corvane.config.EnvConfig
    PyObject* interrupt;
    PyObject* default_pattern;  // "*"
    PyTypeObject* function_type;
    PyTypeObject* listing_type;
    PyTypeObject* sink_type;
    PyTypeObject* line_sink_type;
};

// The state of the module that made `type` (one of the module's own types).
inline State& state_of(PyTypeObject* type) {
    return *static_cast<State*>(PyType_GetModuleState(type));
}

// Interns the names and makes the module's types.
int state_init(PyObject* module, State& st);
// Takes what the module has imported (its names must be bound by then).
int state_bind_imports(PyObject* module, State& st);
int state_traverse(State& st, visitproc visit, void* arg);
void state_clear(State& st);
