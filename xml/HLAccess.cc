#include "xml/HLAccess.h"

namespace vorlan {
namespace {

constexpr StoreField kHostLocationFields[] = {
    {"country", getTextField, setTextField},
    {"countryid", getTextField, setTextField},
    {"region", getTextField, setTextField},
    {"city", getTextField, setTextField},
    {"zipcode", getTextField, setTextField},
    {"returnvalue", getInt32Field, setInt32Field},
};

}  // namespace

int createHostLocationStore(VorlanXML** out, LogContext* log) {
  int rc = createVorlanXML(out, log);
  if (rc == 0) (*out)->table = kHostLocationFields;
  return rc;
}

int freeHostLocationStore(VorlanXML* store, LogContext* log) {
  return freeVorlanXML(store, log);
}

int getHostLocationField(int lockFlag, void* value, VorlanXML* store,
                         HostLocationField index, LogContext* log) {
  return getStoreField(lockFlag, value, store, index, log);
}

int setHostLocationField(int lockFlag, void* value, VorlanXML* store,
                         HostLocationField index, LogContext* log) {
  return setStoreField(lockFlag, value, store, index, log);
}

}  // namespace vorlan
