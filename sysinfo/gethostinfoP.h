// The system-information document: the installation's identifier (kvaid),
// the privacy choice and the last description of the machine and of the
// application, kept in a SysInfoStore and its ".sinfo" file.
//
// `encoding` is handed to the store's file read and write (1: the payload
// cipher). Field accesses take the store's document lock one at a time;
// file writes also take its file lock, which serialises processes.
#ifndef VORLAN_SYSINFO_GETHOSTINFOP_H
#define VORLAN_SYSINFO_GETHOSTINFOP_H

#include <libxml/tree.h>

#include <string>

#include "xml/SIAccess.h"

struct LogContext;

namespace vorlan {

// 32 lower-case hex digits from OpenSSL's random generator. 0; -3651 when
// the generator fails.
int newKvaId(std::string* out, LogContext* log);

// A new store in *slot (which must be empty: -3081 otherwise) whose
// document "KVASysInfo" holds sysinfoDate and the probes' facts.
int buildSysInfo(VorlanXML** slot, LogContext* log);

// Fills the store with the default document: systemprivacy 2, every fact
// "KESTNA", a new kvaid (also handed to *kvaid).
int defaultSysInfo(VorlanXML* store, std::string* kvaid, LogContext* log);

// Loads the store from its file (path set), under the file lock. An
// unreadable or missing file is replaced by the default document; a
// missing or zero sysinfoDate, or a missing kvaid, is made and the file
// rewritten. *kvaid gets the installation's identifier. 0; -3059 the file
// cannot be locked; -3060 not unlocked; -3003 not written.
int loadSysInfo(int encoding, VorlanXML* store, std::string* kvaid,
                LogContext* log);

// Collects a fresh description with the five application strings (null or
// empty: "KESTNA"), compares it with the stored one, carries systemprivacy
// and kvaid over, replaces the stored document and saves it. *changed is 1
// when the description must be sent. A stored document without
// systemprivacy or kvaid fails with -6003 and is left as it was.
int refreshSysInfo(int encoding, VorlanXML* stored, const char* appLanguage,
                   const char* version, const char* edition, const char* build,
                   const char* productStatus, int* changed, LogContext* log);

// 1 when the fifteen compared fields are equal, 0 when one differs,
// negative when a read fails. A field missing from `stored` counts as
// "KESTNA".
int compareSysInfo(VorlanXML* stored, VorlanXML* fresh, LogContext* log);

// Writes the store to its file, taking the file lock when `lockFlag` is 1.
// 0; -3003 write; -3060 unlock (which wins); the lock's code.
int saveSysInfo(int encoding, VorlanXML* store, int lockFlag, LogContext* log);

// Appends a copy of the store's "KVASysInfo" element to the root of
// `record`. 0; -6003 not found; -3064 the copy fails.
int attachSysInfo(xmlDoc* record, VorlanXML* store, LogContext* log);

}  // namespace vorlan

#endif
