#include "session.hpp"

#include "errors.hpp"

Ref command(const char* verb, PyObject* arg) { return Ref::steal(PyUnicode_FromFormat("%s %U", verb, arg)); }

bool starts_with(PyObject* text, const char* prefix) {
    if (!PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; prefix[i]; ++i)
        if (i >= n || PyUnicode_READ_CHAR(text, i) != static_cast<Py_UCS4>(prefix[i])) return false;
    return true;
}

bool drop_client(State& st, PyObject* self) {
    Ref key = Ref::steal(PyObject_CallMethodNoArgs(self, st.s__key_on_thread));
    Ref done = Ref::steal(key ? PyObject_CallMethodOneArg(st.local, st.s_delattr, key.get()) : nullptr);
    return static_cast<bool>(done);
}

bool return_to(State& st, PyObject* self, PyObject* client, PyObject* saved) {
    Ref back = command("CWD", saved);
    Ref reply = Ref::steal(back ? PyObject_CallMethodOneArg(client, st.s_sendcmd, back.get()) : nullptr);
    if (reply && starts_with(reply.get(), "2")) return true;
    Caught failure;
    if (!reply) failure = Caught::fetch();
    {
        Handling handling(failure);  // an error of the drop passes out with it as context
        if (!drop_client(st, self)) return false;
    }
    if (failure.value() && !failure.is_ordinary()) {
        failure.restore();
        return false;
    }
    return true;
}

std::nullptr_t settle_and_raise(State& st, PyObject* self) {
    Caught failure = Caught::fetch();
    Ref settled;
    {
        Handling handling(failure);
        settled = Ref::steal(PyObject_CallMethodOneArg(self, st.s__settle, failure.value()));
    }
    return settled ? failure.restore() : nullptr;
}

bool server_host(State& st, PyObject* self, Ref& host) {
    Ref sections = Ref::steal(PyObject_GetAttr(self, st.s__section));
    Ref section = Ref::steal(sections ? PySequence_GetItem(sections.get(), 0) : nullptr);
    Ref options = Ref::steal(section ? PyObject_CallMethodOneArg(self, st.s__read_config, section.get()) : nullptr);
    Ref value = Ref::steal(options ? PyObject_CallMethodOneArg(options.get(), st.s_get, st.s_host) : nullptr);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    if (PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) > 0) host = std::move(value);
    return true;
}
