// Text checks and transaction numbers.
#ifndef VORLAN_RUNTIME_HELPERS_H
#define VORLAN_RUNTIME_HELPERS_H

#include <cstdint>
#include <ctime>

struct LogContext;

namespace vorlan {

// Decides whether `text` (null and "" are fine) is acceptable UTF-8:
// TAB, LF, CR and 0x20..0x7F, and well-formed sequences of two to four
// bytes without overlongs, surrogates, U+FFFE, U+FFFF or code points
// beyond U+10FFFF. 0 valid; -3655 at the first offending sequence; -3000
// when the dump cannot be allocated. With `dump` given, a -3655 leaves in
// *dump a malloc() text of one "0x%02X " entry per byte of that sequence
// (stopping at the terminator; empty for a byte that cannot begin one),
// which the caller frees. Any thread; reads nothing past the terminator.
int utf8Check(const char* text, char** dump);

// Broken-down local time with its microseconds.
struct LocalMoment {
  std::tm tm;
  long micros;
};

// The transaction number of a moment: (micros + minute) * 1000 +
// second * 10000 + hour * 100 + mday * wday + (month + year) * 10, in
// 32 bits. Not unique.
std::uint32_t transIdAt(const LocalMoment& moment);

// Where generateTransId() takes the time from; tests hand in their own.
// Returns false when the local time cannot be had.
using LocalClock = bool (*)(LocalMoment* out);
bool systemLocalClock(LocalMoment* out);

// *id gets the transaction number of now. 0, or -3057 (id untouched) when
// the local time cannot be had. Any thread.
int generateTransId(std::uint32_t* id, LogContext* log,
                    LocalClock clock = systemLocalClock);

}  // namespace vorlan

#endif
