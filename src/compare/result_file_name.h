// The comparison report's file name, made from the local date and time.
#pragma once

#include "text/text_types.h"

namespace pairwick {

// prefix + "_" + YYYYMMDD + "_" + HHMMSS + ".txt", in local time at the moment of the call.
NarrowText makeResultFileName(const NarrowText& prefix);

}  // namespace pairwick
