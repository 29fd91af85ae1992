// Process-wide state of the open library that other subsystems read.
#ifndef VORLAN_FRAME_VORLAN_H
#define VORLAN_FRAME_VORLAN_H

#include <sys/types.h>

#include <optional>
#include <string>

struct LogContext;

namespace vorlan {

// The HTTPS switch: turned on by a parameter document with HTTPSEnabled,
// read by every exchange. Any thread.
void setHttpsSwitch(int on);
int httpsSwitch();

// How HTTPS peers are checked: verified against the system's trust store,
// or against `caFile` when one is named; `verify` false checks nothing.
struct TlsSettings {
  bool verify = true;
  std::string caFile;
};
TlsSettings tlsSettings();

// "host:port" of the proxy, and "user:password" (or "user:") of its
// credentials; empty when not configured. Valid while the library is open.
std::string proxyAddress();
std::string proxyCredentials();

// Applies a WorkGroup value to the process's file-creation mask: null
// leaves it alone; "kestworld" in any case, alone or continued, gives 0; an
// existing group gives 2. -3072 unknown group; -3000 memory; -errno for
// other lookup failures. The mask it replaced goes to *previous.
int applyWorkGroup(const char* group,
                   std::optional<mode_t>* previous = nullptr);

// The frame's log (module "VORLAN"); null when the library is not open or
// logs nothing.
LogContext* frameLog();

// Status text of `code`: the table's text, "Invalid Error Code" for codes
// the table lacks. Codes of the computed transfer range have no fixed text
// and give null here.
const char* statusText(int code);

}  // namespace vorlan

#endif
