// The system-information store: the installation's identifier, the privacy
// choice and the last description of the machine, kept in the ".sinfo"
// file of the work directory.
#ifndef VORLAN_XML_SIACCESS_H
#define VORLAN_XML_SIACCESS_H

#include "xml/xmlFileAccess.h"

namespace vorlan {

// Field indexes of the system-information store; all text but the two
// marked.
enum SysInfoField : int {
  kSiOperatingSystem = 0,
  kSiBitAge = 1,
  kSiScreenResX = 2,
  kSiScreenResY = 3,
  kSiProc = 4,
  kSiCores = 5,
  kSiCpuInfo = 6,
  kSiMemory = 7,
  kSiOsLanguage = 8,
  kSiAppLanguage = 9,
  kSiProfile = 10,
  kSiComputerName = 11,
  kSiVersion = 12,
  kSiEdition = 13,
  kSiBuild = 14,
  kSiProductStatus = 15,
  kSiKvaId = 16,
  kSiSystemPrivacy = 17,  // unsigned 16-bit: 0 allowed, 1 on, 2 not chosen
  kSiSysInfoDate = 18,    // unsigned 64-bit: seconds since the epoch
};

int createSysInfoStore(VorlanXML** out, LogContext* log);
int freeSysInfoStore(VorlanXML* store, LogContext* log);
int getSysInfoField(int lockFlag, void* value, VorlanXML* store,
                    SysInfoField index, LogContext* log);
int setSysInfoField(int lockFlag, void* value, VorlanXML* store,
                    SysInfoField index, LogContext* log);

}  // namespace vorlan

#endif
