// The _AbsTokenizer class. Instances are immutable after construction; every method takes a
// shared borrow only, so many threads can use one tokenizer at once.
#pragma once

#include "../core/abs_tokenizer.hpp"
#include "record_object.hpp"

namespace noteloom::py {

template <> TypeCell& type_cell<AbsTokenizer>();

}  // namespace noteloom::py
