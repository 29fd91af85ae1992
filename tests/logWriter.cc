// A writer process for the test of several processes on one log:
//   logWriter PATH COUNT READY_FD GO_FD
// Opens the log at PATH, writes one byte to READY_FD and closes it, waits
// for the end of GO_FD, writes COUNT messages "pid=P seq=S BODY" (BODY is
// 300 letters), waits until they are all in the file and closes the log.
// Exits 0 when all went well.
#include <apr_general.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "runtime/logging.h"

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  const char* path = argv[1];
  int count = std::atoi(argv[2]);
  int readyFd = std::atoi(argv[3]);
  int goFd = std::atoi(argv[4]);
  apr_initialize();

  LogContext* ctx = nullptr;
  if (vorlan::openLog(&ctx, 0, count + 16, 4, path) != 0 || ctx == nullptr)
    return 2;
  vorlan::setLogModuleName("WRITER", ctx);
  if (write(readyFd, "r", 1) != 1) return 3;
  close(readyFd);
  char c;
  ssize_t n;
  while ((n = read(goFd, &c, 1)) != 0) {
    if (n < 0 && errno != EINTR) return 4;
  }

  std::string body;
  for (int i = 0; i < 300; ++i) body += static_cast<char>('A' + i % 26);
  int pid = static_cast<int>(getpid());
  for (int i = 0; i < count; ++i) {
    if (vorlan::writeLog(4, ctx, "pid=%d seq=%d %s", pid, i, body.c_str()) != 0)
      return 5;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (vorlan::pendingLogRecords(ctx) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return 6;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int rc = vorlan::closeLog(ctx);
  apr_terminate();
  return rc == 0 ? 0 : 7;
}
