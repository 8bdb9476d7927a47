// Guards of `upload` on the local side, for the two trees it cannot walk
// through: a symbolic-link loop, and entries that are not plain files.
#pragma once
#include "state.hpp"

// False, with OSError(ELOOP, ..., local_path) set, when the directory `local`
// (the pathlib path of `local_path`) is one of the directories above it on
// its own path: walking it would reach it again, for ever.
bool check_no_loop(State& st, PyObject* local, PyObject* local_path);

// False, with an OSError naming `local_path` set, when what `local` (its
// pathlib path) names exists and is neither a directory nor a regular file (a
// FIFO blocks the open until a writer comes, a device may stream for ever). A
// path that cannot be examined passes: open meets the same fault and reports it.
bool check_uploadable_file(PyObject* local, PyObject* local_path);
