// Talking to the thread's client: command texts, reply codes, and the rules
// for leaving the client usable when something goes wrong.
#pragma once
#include "state.hpp"

// `verb` + " " + `arg`, the argument unquoted, as FTP commands carry paths.
Ref command(const char* verb, PyObject* arg);

// Whether the reply text `text` begins with `prefix` (a code or its first digit).
bool starts_with(PyObject* text, const char* prefix);

// Empties the thread's client slot without sending anything on the client, so
// that the next operation logs in afresh; false if that raised.
bool drop_client(State& st, PyObject* self);

// CWD back to `saved` after a visit inside another directory. If that fails in
// any way the session is stuck elsewhere: the client is dropped. False only for
// an error that must still pass out (the drop failed, or KeyboardInterrupt and
// its kin).
bool return_to(State& st, PyObject* self, PyObject* client, PyObject* saved);

// The pending exception passes out of an operation that no retry wrapper
// surrounds (glob's listing): self._settle(exc) first leaves the client usable,
// as the wrapper would. Always returns null.
std::nullptr_t settle_and_raise(State& st, PyObject* self);

// The host that the path's configuration names, for messages, read as
// _sessions.server_of reads it: self._read_config(self._section[0])["host"].
// `host` stays empty when the configuration gives none or cannot be read
// (that failure is not this message's to report). False only for an error
// that must still pass out (KeyboardInterrupt and its kin).
bool server_host(State& st, PyObject* self, Ref& host);
