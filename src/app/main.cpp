// Program entry: command-line arguments are ignored.
#include "app/run.h"

int main() { return pairwick::runPairwick(); }
