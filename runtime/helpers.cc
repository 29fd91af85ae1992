#include "runtime/helpers.h"

#include <apr_time.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/logging.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "helpers";

bool continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// Length of the sequence at `s` when it is acceptable, else 0 with
// *offending set to the length reported for it.
int acceptSequence(const unsigned char* s, int* offending) {
  unsigned char c = s[0];
  if (c < 0x80) {
    if (c >= 0x20 || c == 0x09 || c == 0x0A || c == 0x0D) return 1;
    *offending = 1;
    return 0;
  }
  int length = 0;
  bool ok = true;
  if (c >= 0xC0 && c <= 0xDF) {
    length = 2;
    ok = c >= 0xC2 && continuation(s[1]);
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    // Each test stops at the first byte that is not a continuation, so the
    // terminator is never passed.
    ok = continuation(s[1]) && continuation(s[2]) &&
         !(c == 0xE0 && s[1] < 0xA0) && !(c == 0xED && s[1] >= 0xA0) &&
         !(c == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF));
  } else if (c >= 0xF0 && c <= 0xF7) {
    length = 4;
    ok = c <= 0xF4 && continuation(s[1]) && continuation(s[2]) &&
         continuation(s[3]) && !(c == 0xF0 && s[1] < 0x90) &&
         !(c == 0xF4 && s[1] >= 0x90);
  }
  if (length != 0 && ok) return length;
  *offending = length;  // 0 for a byte that cannot begin a sequence
  return 0;
}

}  // namespace

int utf8Check(const char* text, char** dump) {
  if (dump != nullptr) *dump = nullptr;
  if (text == nullptr) return 0;
  auto* s = reinterpret_cast<const unsigned char*>(text);
  while (*s != 0) {
    int offending = 0;
    int n = acceptSequence(s, &offending);
    if (n > 0) {
      s += n;
      continue;
    }
    if (dump == nullptr) return -3655;
    auto size = static_cast<std::size_t>(5 * offending + 1);
    char* out = static_cast<char*>(std::malloc(size));
    if (out == nullptr) return -3000;
    char* at = out;
    *at = '\0';
    for (int i = 0; i < offending && s[i] != 0; ++i) {
      std::snprintf(at, 6, "0x%02X ", s[i]);
      at += 5;
    }
    *dump = out;
    return -3655;
  }
  return 0;
}

std::uint32_t transIdAt(const LocalMoment& m) {
  auto u = [](long v) { return static_cast<std::uint32_t>(v); };
  return (u(m.micros) + u(m.tm.tm_min)) * 1000u + u(m.tm.tm_sec) * 10000u +
         u(m.tm.tm_hour) * 100u + u(m.tm.tm_mday) * u(m.tm.tm_wday) +
         (u(m.tm.tm_mon) + u(m.tm.tm_year)) * 10u;
}

bool systemLocalClock(LocalMoment* out) {
  apr_time_t now = apr_time_now();
  std::time_t seconds = static_cast<std::time_t>(apr_time_sec(now));
  if (localtime_r(&seconds, &out->tm) == nullptr) return false;
  out->micros = static_cast<long>(apr_time_usec(now));
  return true;
}

int generateTransId(std::uint32_t* id, LogContext* log, LocalClock clock) {
  logEntry(log, kUnit, __LINE__);
  LocalMoment moment{};
  if (!clock(&moment)) return logExit(log, -3057, kUnit, __LINE__);
  *id = transIdAt(moment);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
