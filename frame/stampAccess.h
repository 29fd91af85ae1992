// The library identity (customer, product, service address and defaults),
// loaded from the build's stamp record at open and released at close.
// Loaded and released by the opening and closing thread; queried from any
// thread while the library is open.
#ifndef VORLAN_FRAME_STAMPACCESS_H
#define VORLAN_FRAME_STAMPACCESS_H

#include <cstdint>

#include "frame/stampRecord.h"

struct LogContext;

namespace vorlan {

// Checks the compiled-in record and makes it this process's identity.
// 0, or -7115 when the record is not valid.
int loadLibraryStamp();

// Checks `record` and loads it in place of the compiled-in one (tests).
int loadLibraryStampFrom(const StampRecord& record);

// Forgets the identity; 0 also when none is loaded.
int releaseLibraryStamp(LogContext* log);

// Integer queries: 0 and the value; -7115 (value untouched) when no
// identity is loaded.
int stampCustomerId(std::uint32_t* out, LogContext* log);
int stampProductId(std::uint32_t* out, LogContext* log);
int stampFlags(std::uint32_t* out, LogContext* log);
int stampMaxCacheSize(std::int32_t* out, LogContext* log);
int stampMaxLogSize(std::int32_t* out, LogContext* log);

// Text queries: *out receives a malloc() copy, cut to 127 characters for
// the host and 255 for the suffix. *out is null on failure: -7115 when no
// identity is loaded, -7001 when memory runs out.
int stampHost(char** out, LogContext* log);
int stampSuffix(char** out, LogContext* log);

}  // namespace vorlan

#endif
