// Holds a store file for another process: locks it, says "locked", waits
// for a line on standard input, then unlocks and says "unlocked".
#include <apr_general.h>

#include <cstdio>
#include <string>

#include "xml/SIAccess.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  apr_initialize();
  vorlan::VorlanXML* store = nullptr;
  if (vorlan::createSysInfoStore(&store, nullptr) != 0) return 1;
  store->filePath = argv[1];
  if (vorlan::lockVorlanXML(0, store, nullptr) != 0) return 1;
  std::printf("locked\n");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
  }
  std::printf("unlocked\n");
  std::fflush(stdout);
  int rc = vorlan::unlockVorlanXML(store, nullptr);
  vorlan::freeSysInfoStore(store, nullptr);
  apr_terminate();
  return rc == 0 ? 0 : 1;
}
