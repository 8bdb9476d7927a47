// The callback that `read` hands to retrbinary: it copies each block into one
// growing bytes object, which then becomes read's result as it stands. A list
// of blocks joined at the end would hold the file twice at the peak.
#pragma once
#include "state.hpp"

// A fresh, empty sink for one retrieval.
Ref new_block_sink(State& st);

// The blocks received so far, joined in arrival order, handed over without a
// copy. The sink is closed afterwards: a later call of it raises.
Ref take_blocks(PyObject* sink);

// Frees the blocks of a retrieval that failed, at once: the traceback of the
// failure may keep the sink alive, and with it a partial file. Closes the sink.
void drop_blocks(PyObject* sink);
