// One comparison run, from opening the log to finalising it.
#pragma once

namespace pairwick {

// Performs exactly one run in the current working directory and returns the exit status:
// 0 after a completed comparison, 1 otherwise.
int runPairwick();

}  // namespace pairwick
