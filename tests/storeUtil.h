// Helpers of the tests of record stores.
#ifndef VORLAN_TESTS_STOREUTIL_H
#define VORLAN_TESTS_STOREUTIL_H

#include <cstdlib>
#include <memory>
#include <string>

#include "xml/SIAccess.h"

namespace vorlan::test {

struct StoreDeleter {
  void operator()(VorlanXML* s) const { freeVorlanXML(s, nullptr); }
};
using StorePtr = std::unique_ptr<VorlanXML, StoreDeleter>;

// The names of the root's child elements, each followed by a blank.
inline std::string childNames(VorlanXML* store) {
  std::string names;
  for (xmlNode* n = xmlDocGetRootElement(store->doc)->children; n != nullptr;
       n = n->next)
    if (n->type == XML_ELEMENT_NODE)
      names += std::string(reinterpret_cast<const char*>(n->name)) + " ";
  return names;
}

// A text field's value, or "rc N" when the get fails.
inline std::string textField(VorlanXML* store, SysInfoField field) {
  char* value = nullptr;
  int rc = getSysInfoField(1, &value, store, field, nullptr);
  std::string out = rc == 0 ? value : "rc " + std::to_string(rc);
  std::free(value);
  return out;
}

}  // namespace vorlan::test

#endif
