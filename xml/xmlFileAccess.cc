#include "xml/xmlFileAccess.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <type_traits>

#include "runtime/kestMem.h"
#include "runtime/logging.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "xmlFileAccess";

// The document lock when the caller asks for it (lockFlag 1).
MutexLock docLock(int lockFlag, VorlanXML* store) {
  return MutexLock(lockFlag != 0 ? store->docLock : nullptr);
}

xmlNode* rootOf(VorlanXML* store) {
  return store->doc != nullptr ? xmlDocGetRootElement(store->doc) : nullptr;
}

// The value of the field's element, read under the document lock.
int readField(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
              std::optional<std::string>* value, LogContext* log) {
  value->reset();
  MutexLock lock = docLock(lockFlag, store);
  xmlNode* root = rootOf(store);
  if (root == nullptr) {
    writeLog(kLogWarning, log, "Empty XML %s: %d", kUnit, __LINE__);
    return -6003;
  }
  *value = elementText(store->doc,
                       findFirstElement(start != nullptr ? start : root, tag));
  return *value ? 0 : -6003;
}

// Replaces the first element of `tag` by one holding `text` (none for
// null), or appends it to the root.
int writeField(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
               const char* text, LogContext* log) {
  MutexLock lock = docLock(lockFlag, store);
  xmlNode* root = rootOf(store);
  if (root == nullptr) {
    writeLog(kLogWarning, log, "Empty XML %s: %d", kUnit, __LINE__);
    return 0;
  }
  xmlNode* fresh = xmlNewDocNode(
      store->doc, nullptr, reinterpret_cast<const xmlChar*>(tag), nullptr);
  if (fresh == nullptr) return -6000;
  if (text != nullptr) {
    xmlNode* child =
        xmlNewDocText(store->doc, reinterpret_cast<const xmlChar*>(text));
    if (child == nullptr) {
      xmlFreeNode(fresh);
      return -6000;
    }
    xmlAddChild(fresh, child);
  }
  if (xmlNode* old = findFirstElement(start != nullptr ? start : root, tag)) {
    xmlReplaceNode(old, fresh);
    xmlFreeNode(old);
  } else {
    xmlAddChild(root, fresh);
  }
  return 0;
}

int getText(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
            void* value, LogContext* log) {
  auto* out = static_cast<char**>(value);
  *out = nullptr;
  std::optional<std::string> text;
  if (int rc = readField(lockFlag, store, start, tag, &text, log); rc != 0)
    return rc;
  *out = copyCText(text->data(), text->size());
  return *out != nullptr ? 0 : -6000;
}

int setText(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
            void* value, LogContext* log) {
  return writeField(lockFlag, store, start, tag,
                    static_cast<const char*>(value), log);
}

// Numbers go through the widest conversion of their signedness and are
// truncated to the field's width.
template <class T>
int getNumber(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
              void* value, LogContext* log) {
  auto* out = static_cast<T*>(value);
  *out = 0;
  std::optional<std::string> text;
  if (int rc = readField(lockFlag, store, start, tag, &text, log); rc != 0)
    return rc;
  if constexpr (std::is_same_v<T, std::int32_t>) {
    return strToInt(text->c_str(), out, log);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return strToUint64(text->c_str(), out, log);
  } else {
    std::uint32_t wide = 0;
    int rc = strToUint(text->c_str(), &wide, log);
    *out = static_cast<T>(wide);
    return rc;
  }
}

template <class T>
int setNumber(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag,
              void* value, LogContext* log) {
  char text[24];
  T v = *static_cast<const T*>(value);
  if constexpr (std::is_same_v<T, std::int32_t>)
    std::snprintf(text, sizeof text, "%" PRId32, v);
  else if constexpr (std::is_same_v<T, std::uint64_t>)
    std::snprintf(text, sizeof text, "%" PRIu64, v);
  else
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(v));
  return writeField(lockFlag, store, start, tag, text, log);
}

}  // namespace

#define VORLAN_FIELD_ACCESSOR_(name, impl)                                  \
  int name(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag, \
           void* value, LogContext* log) {                                  \
    return impl(lockFlag, store, start, tag, value, log);                   \
  }
VORLAN_FIELD_ACCESSOR_(getTextField, getText)
VORLAN_FIELD_ACCESSOR_(setTextField, setText)
VORLAN_FIELD_ACCESSOR_(getUint16Field, getNumber<std::uint16_t>)
VORLAN_FIELD_ACCESSOR_(setUint16Field, setNumber<std::uint16_t>)
VORLAN_FIELD_ACCESSOR_(getUint32Field, getNumber<std::uint32_t>)
VORLAN_FIELD_ACCESSOR_(setUint32Field, setNumber<std::uint32_t>)
VORLAN_FIELD_ACCESSOR_(getInt32Field, getNumber<std::int32_t>)
VORLAN_FIELD_ACCESSOR_(setInt32Field, setNumber<std::int32_t>)
VORLAN_FIELD_ACCESSOR_(getUint64Field, getNumber<std::uint64_t>)
VORLAN_FIELD_ACCESSOR_(setUint64Field, setNumber<std::uint64_t>)
#undef VORLAN_FIELD_ACCESSOR_

int createVorlanXML(VorlanXML** out, LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  auto* store = new (std::nothrow) VorlanXML;
  if (store == nullptr) return logExit(log, -6000, kUnit, __LINE__);
  if (int rc = createMemPool(&store->pool, nullptr, "createVorlanXML", 0, log);
      rc != 0) {
    delete store;
    return logExit(log, rc, kUnit, __LINE__);
  }
  if (apr_thread_mutex_create(&store->docLock, APR_THREAD_MUTEX_DEFAULT,
                              store->pool) != APR_SUCCESS ||
      apr_thread_mutex_create(&store->fileLock, APR_THREAD_MUTEX_DEFAULT,
                              store->pool) != APR_SUCCESS) {
    apr_pool_destroy(store->pool);
    delete store;
    return logExit(log, -6011, kUnit, __LINE__);
  }
  *out = store;
  return logExit(log, 0, kUnit, __LINE__);
}

int freeVorlanXML(VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (store == nullptr) return logExit(log, 0, kUnit, __LINE__);
  if (store->file != nullptr) unlockVorlanXML(store, log);
  xmlFreeDoc(store->doc);
  apr_pool_destroy(store->pool);
  delete store;
  return logExit(log, 0, kUnit, __LINE__);
}

int getStoreField(int lockFlag, void* value, VorlanXML* store, int index,
                  LogContext* log) {
  const StoreField& row = store->table[index];
  return row.get(lockFlag, store, nullptr, row.tag, value, log);
}

int setStoreField(int lockFlag, void* value, VorlanXML* store, int index,
                  LogContext* log) {
  const StoreField& row = store->table[index];
  return row.set(lockFlag, store, nullptr, row.tag, value, log);
}

int swapVorlanXML(int lockTarget, int lockSource, VorlanXML* target,
                  VorlanXML* source, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  MutexLock targetLock = docLock(lockTarget, target);
  MutexLock sourceLock = docLock(lockSource, source);
  xmlFreeDoc(target->doc);
  target->doc = source->doc;
  source->doc = nullptr;
  target->text = std::move(source->text);
  source->text.clear();
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
