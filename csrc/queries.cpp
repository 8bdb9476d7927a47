// Questions that move no file content: exists, is_dir, mtime.
//
// `exists` cannot trust NLST alone: vsftpd accepts NLST of a missing path,
// Pure-FTPd refuses it for every file, inetutils for an empty directory, and
// servers that hide dot-files list nothing for one. NLST stays the first probe
// (and, for a listed path, the only one); when it is not conclusive, MDTM
// recognises a file and CWD a directory.
#include "errors.hpp"
#include "operations.hpp"
#include "session.hpp"

namespace {

// Whether the pending exception's text starts with `code`; it stays pending.
bool pending_reply_is(const char* code) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    if (!text) PyErr_Clear();
    bool match = text && starts_with(text.get(), code);
    PyErr_Restore(type, value, traceback);
    return match;
}

enum class Reply { accepted, refused, failed };

// Classifies the probe commands of `exists`. A permanent refusal is
// remembered so that _valid_reset follows once, at the end; a 450 (ProFTPD's
// "no such file") is a plain no. Any other error stays set and ends the probe.
class Prober {
public:
    Prober(State& st, PyObject* self) : st_(st), self_(self) {}

    Reply outcome(PyObject* call_result, Ref& result) {
        result = Ref::steal(call_result);
        if (result) return Reply::accepted;
        if (PyErr_ExceptionMatches(st_.error_perm)) {
            saw_permanent_ = true;
        } else if (!PyErr_ExceptionMatches(st_.error_temp) || !pending_reply_is("450")) {
            return Reply::failed;
        }
        PyErr_Clear();
        return Reply::refused;
    }

    // The answer (or, for -1, the pending error), after one _valid_reset if a
    // permanent refusal was caught on the way.
    PyObject* finish(int answer) {
        if (!saw_permanent_) return answer < 0 ? nullptr : PyBool_FromLong(answer);
        if (answer >= 0) return valid_reset(st_, self_) ? PyBool_FromLong(answer) : nullptr;
        Caught error = Caught::fetch();
        Handling handling(error);
        return valid_reset(st_, self_) ? error.restore() : nullptr;
    }

private:
    State& st_;
    PyObject* self_;
    bool saw_permanent_ = false;
};

// True when the last component of P holds a character that servers expand
// as a pattern in NLST, so that a listing says nothing about P itself.
bool names_pattern(PyObject* p) {
    for (Py_ssize_t i = PyUnicode_GET_LENGTH(p) - 1; i >= 0; --i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(p, i);
        if (c == '/') break;
        if (c == '*' || c == '?' || c == '[') return true;
    }
    return false;
}

// The directory probe: CWD P and straight back, so that the session never
// goes on in another directory. 1 if P is a directory, 0 if not, -1 on error.
int probe_directory(State& st, PyObject* self, PyObject* client, Prober& probe, PyObject* p) {
    Ref saved, reply;
    Reply r = probe.outcome(PyObject_CallMethodNoArgs(client, st.s_pwd), saved);
    if (r != Reply::accepted) return r == Reply::failed ? -1 : 0;
    if (!PyUnicode_Check(saved.get()) || PyUnicode_GET_LENGTH(saved.get()) == 0) return 0;
    Ref cwd = command("CWD", p);
    if (!cwd) return -1;
    r = probe.outcome(PyObject_CallMethodOneArg(client, st.s_sendcmd, cwd.get()), reply);
    if (r != Reply::accepted) return r == Reply::failed ? -1 : 0;
    if (!starts_with(reply.get(), "2")) return 0;
    return return_to(st, self, client, saved.get()) ? 1 : -1;
}

}  // namespace

PyObject* op_exists(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    if (!client) return nullptr;
    Prober probe(st, self);
    Ref result;
    Reply r = probe.outcome(PyObject_CallMethodOneArg(client.get(), st.s_nlst, t.p.get()), result);
    if (r == Reply::failed) return probe.finish(-1);
    if (r == Reply::accepted) {
        Py_ssize_t lines = PyObject_Length(result.get());
        if (lines < 0) return probe.finish(-1);
        if (lines > 0 && !names_pattern(t.p.get())) return probe.finish(1);
    }
    Ref mdtm = command("MDTM", t.p.get());
    if (!mdtm) return nullptr;
    r = probe.outcome(PyObject_CallMethodOneArg(client.get(), st.s_sendcmd, mdtm.get()), result);
    if (r == Reply::failed) return probe.finish(-1);
    if (r == Reply::accepted && starts_with(result.get(), "213")) return probe.finish(1);
    return probe.finish(probe_directory(st, self, client.get(), probe, t.p.get()));
}

PyObject* op_is_dir(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    if (!require_exists(st, self, t)) return nullptr;

    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    if (!client) return nullptr;
    Ref retrbinary = Ref::steal(PyObject_GetAttr(client.get(), st.s_retrbinary));
    Ref retr = command("RETR", t.p.get());
    if (!retrbinary || !retr) return nullptr;
    // blocksize 1 and a callback that raises at the first block: at most one
    // byte of content is read, whatever the size of the file.
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, st.s_blocksize));
    if (!one || !kwnames) return nullptr;
    PyObject* call_args[] = {retr.get(), st.interrupt, one.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(retrbinary.get(), call_args, 2, kwnames.get()));
    if (done) Py_RETURN_FALSE;  // an empty file: the callback never ran

    Caught caught = Caught::fetch();
    bool interrupted = caught.matches(PyExc_InterruptedError);
    if (!interrupted && !caught.matches(st.error_perm)) return caught.restore();
    Handling handling(caught);
    if (!valid_reset(st, self)) return nullptr;
    return PyBool_FromLong(!interrupted);
}

PyObject* op_mtime(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    Ref result = [&]() -> Ref {
        if (!require_exists(st, self, t)) return {};
        Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
        Ref mdtm = command("MDTM", t.p.get());
        if (!client || !mdtm) return {};
        Ref reply = Ref::steal(PyObject_CallMethodOneArg(client.get(), st.s_sendcmd, mdtm.get()));
        if (!reply) return {};
        if (!starts_with(reply.get(), "213")) {
            PyErr_Format(PyExc_TypeError, "Cannot retrieve modification time for '%U'. Response: %S", t.s.get(),
                         reply.get());
            return {};
        }
        Ref rest = Ref::steal(PyUnicode_Substring(reply.get(), 4, PY_SSIZE_T_MAX));
        Ref stamp = Ref::steal(rest ? PyObject_CallMethod(rest.get(), "strip", nullptr) : nullptr);
        if (!stamp) return {};
        Py_ssize_t dot = PyUnicode_FindChar(stamp.get(), '.', 0, PY_SSIZE_T_MAX, 1);
        if (dot == -2) return {};
        if (dot >= 0) stamp = Ref::steal(PyUnicode_Substring(stamp.get(), 0, dot));
        if (!stamp) return {};
        Ref parsed = Ref::steal(PyObject_CallMethod(st.datetime_type, "strptime", "Os", stamp.get(), "%Y%m%d%H%M%S"));
        if (!parsed) return {};
        return Ref::steal(PyNumber_Add(parsed.get(), st.timedelta_8h));
    }();
    if (result || !PyErr_ExceptionMatches(st.error_perm)) return result.release();
    Caught caught = Caught::fetch();
    Handling handling(caught);
    if (!valid_reset(st, self)) return nullptr;
    return raise_about(PyExc_TypeError, "'", t.s.get(), "' could not retrieve modification time.");
}
