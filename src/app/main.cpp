// Program entry: command-line arguments are ignored.
#include "app/run.h"
#include "platform/process.h"

int main() {
  pairwick::platform::prepareProcess();
  return pairwick::runPairwick();
}
