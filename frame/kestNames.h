// The work directory and the names of the files the library keeps in it.
// Every process of one build derives the same names, so they share files.
#ifndef VORLAN_FRAME_KESTNAMES_H
#define VORLAN_FRAME_KESTNAMES_H

#include <cstdint>
#include <string>

struct LogContext;

namespace vorlan {

// The decimal text of customerId * 100000 + productId, computed in 32-bit
// two's complement and written as the sign-extended 64-bit value, unsigned.
std::string fileStemNumber(std::uint32_t customerId, std::uint32_t productId);

// The first 2 * L characters of the lower-case hexadecimal SHA-1 of that
// text of L characters.
std::string fileStem(std::uint32_t customerId, std::uint32_t productId);

// Sets the work directory: `configured` when not null, else the default
// (the home directory followed by "/.kestavorn/"). 0, or -3020 when there
// is no home directory (the directory then stays unset). Opening thread.
int resolveWorkDir(const char* configured);

// Forgets the work directory. Closing thread.
void clearWorkDir();

// A copy of the work directory, resolving the default first when none is
// set. 0; -3020 without a home directory. Any thread.
int copyWorkDir(std::string* out, LogContext* log);

// *outPath receives a malloc() text: work directory, "/", file stem and
// `suffix`. Creates the directory (mode 0777) when it is missing.
// 0; -3020 no home directory; -3017 the directory cannot be made; -3000
// memory. *outPath is null on failure. Any thread.
int workdirCheck(char** outPath, std::uint32_t productId,
                 std::uint32_t customerId, const char* suffix, LogContext* log);

}  // namespace vorlan

#endif
