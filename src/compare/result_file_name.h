// The comparison report's file name, made from the local date and time.
#pragma once

#include <ctime>

#include "codec/text_types.h"

namespace pairwick {

// prefix + "_" + YYYYMMDD + "_" + HHMMSS + ".txt", in local time at the moment of the call.
NarrowText makeResultFileName(const NarrowText& prefix);

// The same name for a given broken-down local time; the clock is read by makeResultFileName.
NarrowText formatResultFileName(const NarrowText& prefix, const std::tm& local);

}  // namespace pairwick
