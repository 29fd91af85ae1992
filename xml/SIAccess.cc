#include "xml/SIAccess.h"

namespace vorlan {
namespace {

constexpr StoreField kSysInfoFields[] = {
    {"operatingsystem", getTextField, setTextField},
    {"bitage", getTextField, setTextField},
    {"screenresx", getTextField, setTextField},
    {"screenresy", getTextField, setTextField},
    {"proc", getTextField, setTextField},
    {"cores", getTextField, setTextField},
    {"cpuInfo", getTextField, setTextField},
    {"memory", getTextField, setTextField},
    {"oslanguage", getTextField, setTextField},
    {"applanguage", getTextField, setTextField},
    {"profile", getTextField, setTextField},
    {"computername", getTextField, setTextField},
    {"version", getTextField, setTextField},
    {"edition", getTextField, setTextField},
    {"build", getTextField, setTextField},
    {"productstatus", getTextField, setTextField},
    {"kvaid", getTextField, setTextField},
    {"systemprivacy", getUint16Field, setUint16Field},
    {"sysinfoDate", getUint64Field, setUint64Field},
};

}  // namespace

int createSysInfoStore(VorlanXML** out, LogContext* log) {
  int rc = createVorlanXML(out, log);
  if (rc == 0) (*out)->table = kSysInfoFields;
  return rc;
}

int freeSysInfoStore(VorlanXML* store, LogContext* log) {
  return freeVorlanXML(store, log);
}

int getSysInfoField(int lockFlag, void* value, VorlanXML* store,
                    SysInfoField index, LogContext* log) {
  return getStoreField(lockFlag, value, store, index, log);
}

int setSysInfoField(int lockFlag, void* value, VorlanXML* store,
                    SysInfoField index, LogContext* log) {
  return setStoreField(lockFlag, value, store, index, log);
}

}  // namespace vorlan
