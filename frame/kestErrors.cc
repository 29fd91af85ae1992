#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/vorlan.h"
#include "include/vorlan.h"
#include "runtime/kestMem.h"

namespace vorlan {

const char* statusText(int code) {
  if (code <= KEST_E_TRANSFER_FIRST && code >= KEST_E_TRANSFER_LAST)
    return nullptr;
  switch (code) {
#define VORLAN_STATUS_CASE_(name, value, text) \
  case value:                                  \
    return text;
    VORLAN_STATUS_LIST(VORLAN_STATUS_CASE_)
#undef VORLAN_STATUS_CASE_
    default:
      return "Invalid Error Code";
  }
}

}  // namespace vorlan

extern "C" int KestGetErrorMsg(int code, char** message) {
  if (message == nullptr) return KEST_E_INVALID_PARAMETER;
  *message = nullptr;
  const char* text = vorlan::statusText(code);
  if (text == nullptr) {
    char computed[48];
    int n =
        std::snprintf(computed, sizeof computed, "SOAP transmission error %d\n",
                      KEST_E_TRANSFER_FIRST - code);
    *message = vorlan::copyCText(computed, static_cast<std::size_t>(n));
    return *message != nullptr ? KEST_OK : KEST_E_MEMORY;
  }
  *message = vorlan::copyCText(text, std::strlen(text));
  return *message != nullptr ? KEST_OK : KEST_E_MEMORY;
}
