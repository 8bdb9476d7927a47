// Directory listings: what glob's iterator (listing.cpp) and the tree walk of
// delete (namespace.cpp) take from the fetching of listings (listing_fetch.cpp).
#pragma once
#include "state.hpp"

// client.retrlines(command, callback) with a callback that collects the
// lines: every line arrives before we look at any. A listing of the directory
// `self` longer than limits.listing_bytes() stops with ListingTooLong. Null
// with an error set.
Ref list_lines(State& st, PyObject* self, PyObject* client, PyObject* command);

// Refuses a listing line that is not a str, naming the directory; false then.
bool check_line(State& st, PyObject* self, PyObject* line);

// The whole listing of the directory `self` names, as a list of lines: the
// first-request steps of glob up to the walk (path check, is_dir(), LIST).
// Null with an error set.
Ref fetch_listing(State& st, PyObject* self);

// Some servers (Pure-FTPd) split a LIST argument at white space and answer a
// path that holds any with no entry at all. When P holds white space and
// `lines` has no entry, they are replaced by `list_command` sent from inside
// P (PWD, CWD P, the listing, CWD back). False with an error set.
bool relist_if_empty(State& st, PyObject* self, PyObject* client, PyObject* p, const char* list_command,
                     Ref& lines);
