// Loads the ".sinfo" store of a work directory in its own process, at a
// signal: waits for a line on standard input, then prints the kvaid.
#include <apr_general.h>

#include <cstdio>
#include <string>

#include "sysinfo/gethostinfoP.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  apr_initialize();
  vorlan::VorlanXML* store = nullptr;
  if (vorlan::createSysInfoStore(&store, nullptr) != 0) return 1;
  store->filePath = argv[1];
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
  std::string kvaid;
  int rc = vorlan::loadSysInfo(1, store, &kvaid, nullptr);
  std::printf("%d %s\n", rc, kvaid.c_str());
  vorlan::freeSysInfoStore(store, nullptr);
  apr_terminate();
  return rc == 0 ? 0 : 1;
}
