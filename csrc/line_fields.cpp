#include "line_fields.hpp"

const std::array<bool, 256> latin1_space = [] {
    std::array<bool, 256> table{};
    for (Py_UCS4 c = 0; c < 256; ++c) table[c] = Py_UNICODE_ISSPACE(c);
    return table;
}();
