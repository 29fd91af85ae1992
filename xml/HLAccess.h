// The host-location store: where the machine is, as the service last said.
// Memory only.
#ifndef VORLAN_XML_HLACCESS_H
#define VORLAN_XML_HLACCESS_H

#include "xml/xmlFileAccess.h"

namespace vorlan {

// Field indexes of the host-location store.
enum HostLocationField : int {
  kHlCountry = 0,      // text
  kHlCountryId = 1,    // text; "KESTNA" while unknown
  kHlRegion = 2,       // text
  kHlCity = 3,         // text
  kHlZipcode = 4,      // text
  kHlReturnValue = 5,  // signed 32-bit
};

// createVorlanXML with the host-location fields attached; *out null on
// failure.
int createHostLocationStore(VorlanXML** out, LogContext* log);
int freeHostLocationStore(VorlanXML* store, LogContext* log);
// As getStoreField / setStoreField on the host-location fields.
int getHostLocationField(int lockFlag, void* value, VorlanXML* store,
                         HostLocationField index, LogContext* log);
int setHostLocationField(int lockFlag, void* value, VorlanXML* store,
                         HostLocationField index, LogContext* log);

}  // namespace vorlan

#endif
