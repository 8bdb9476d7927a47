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
