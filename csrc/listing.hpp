// Pattern listing (glob): what the iterator (listing.cpp) takes from the
// fetching of the listing (listing_fetch.cpp).
#pragma once
#include "state.hpp"

// Refuses a listing line that is not a str, naming the directory; false then.
bool check_line(State& st, PyObject* self, PyObject* line);

// The whole listing of the directory `self` names, as a list of lines: the
// first-request steps of glob up to the walk (path check, is_dir(), LIST).
// Null with an error set.
Ref fetch_listing(State& st, PyObject* self);
