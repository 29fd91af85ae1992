#include "sysinfo/gethostinfoP.h"

#include <apr_time.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <memory>

#include "runtime/binhex.h"
#include "runtime/kestMem.h"
#include "runtime/logging.h"
#include "sysinfo/graphicinfo.h"
#include "sysinfo/osSysCalls.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "gethostinfoP";
constexpr int kKvaIdBytes = 16;

struct StoreDeleter {
  void operator()(VorlanXML* s) const { freeSysInfoStore(s, nullptr); }
};
using StorePtr = std::unique_ptr<VorlanXML, StoreDeleter>;

int setText(VorlanXML* store, SysInfoField field, const std::string& value,
            int lockFlag, LogContext* log) {
  return setSysInfoField(lockFlag, const_cast<char*>(value.c_str()), store,
                         field, log);
}

int getText(VorlanXML* store, SysInfoField field, std::string* value,
            int lockFlag, LogContext* log) {
  char* text = nullptr;
  int rc = getSysInfoField(lockFlag, &text, store, field, log);
  if (rc == 0) value->assign(text);
  std::free(text);
  return rc;
}

std::uint64_t nowSeconds() {
  return static_cast<std::uint64_t>(apr_time_now()) / APR_USEC_PER_SEC;
}

int setNow(VorlanXML* store, int lockFlag, LogContext* log) {
  std::uint64_t now = nowSeconds();
  return setSysInfoField(lockFlag, &now, store, kSiSysInfoDate, log);
}

// A new document "KVASysInfo" with sysinfoDate set to now.
int newDocument(VorlanXML* store, int lockFlag, LogContext* log) {
  XmlDocPtr doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
  xmlNode* root =
      doc ? xmlNewDocNode(doc.get(), nullptr,
                          reinterpret_cast<const xmlChar*>("KVASysInfo"),
                          nullptr)
          : nullptr;
  if (root == nullptr) return -3000;
  xmlDocSetRootElement(doc.get(), root);
  xmlFreeDoc(store->doc);
  store->doc = doc.release();
  return setNow(store, lockFlag, log);
}


// The fields compared to decide whether the description is sent.
constexpr SysInfoField kCompared[] = {
    kSiOperatingSystem, kSiBitAge,       kSiScreenResX,
    kSiScreenResY,      kSiProc,         kSiCores,
    kSiMemory,          kSiOsLanguage,   kSiAppLanguage,
    kSiProfile,         kSiComputerName, kSiVersion,
    kSiBuild,           kSiEdition,      kSiProductStatus};

}  // namespace

int newKvaId(std::string* out, LogContext* log) {
  out->clear();
  logEntry(log, kUnit, __LINE__);
  unsigned char bytes[kKvaIdBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    return logExit(log, -3651, kUnit, __LINE__);
  appendHex(
      std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes),
      out);
  if (out->size() != 2 * kKvaIdBytes)
    return logExit(log, -3651, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

int buildSysInfo(VorlanXML** slot, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (*slot != nullptr) return logExit(log, -3081, kUnit, __LINE__);
  VorlanXML* raw = nullptr;
  if (int rc = createSysInfoStore(&raw, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  StorePtr store(raw);
  if (int rc = newDocument(store.get(), 1, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);

  auto probed = [&](int probeRc, const char* what) {
    if (probeRc != 0)
      writeLog(kLogWarning, log, "%s probe failed (%d) %s: %d", what, probeRc,
               kUnit, __LINE__);
  };
  std::string os, memory, bitAge, language, width, height, profile, name;
  CpuFacts cpu;
  if (int rc = probeOperatingSystem(&os, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  probed(probeMemory(&memory, log), "memory");
  probed(probeCpu(&cpu, log), "processor");
  probed(probeBitAge(&bitAge, log), "word size");
  probed(probeOsLanguage(&language, log), "language");
  probed(probeScreen(&width, &height, log), "screen");
  probed(probeProfile(&profile, log), "profile");
  probed(probeComputerName(&name, log), "host name");
  const std::pair<SysInfoField, const std::string*> facts[] = {
      {kSiOperatingSystem, &os},
      {kSiMemory, &memory},
      {kSiProc, &cpu.processor},
      {kSiCores, &cpu.count},
      {kSiCpuInfo, cpu.armDetails ? &*cpu.armDetails : nullptr},
      {kSiBitAge, &bitAge},
      {kSiOsLanguage, &language},
      {kSiScreenResX, &width},
      {kSiScreenResY, &height},
      {kSiProfile, &profile},
      {kSiComputerName, &name},
  };
  static const std::string kMissing = kNotAvailable;
  for (const auto& [field, value] : facts) {
    if (int rc = setText(store.get(), field, value ? *value : kMissing, 1, log);
        rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  *slot = store.release();
  return logExit(log, 0, kUnit, __LINE__);
}

int defaultSysInfo(VorlanXML* store, std::string* kvaid, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  kvaid->clear();
  MutexLock lock(store->docLock);
  if (store->doc == nullptr) {
    if (int rc = newDocument(store, 0, log); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  std::uint16_t notChosen = 2;
  if (int rc = setSysInfoField(0, &notChosen, store, kSiSystemPrivacy, log);
      rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  for (SysInfoField field :
       {kSiOperatingSystem, kSiBitAge, kSiScreenResX, kSiScreenResY, kSiProc,
        kSiCores, kSiMemory, kSiOsLanguage, kSiAppLanguage, kSiProfile,
        kSiComputerName, kSiVersion, kSiBuild, kSiEdition}) {
    if (int rc = setText(store, field, kNotAvailable, 0, log); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  std::string id;
  if (int rc = newKvaId(&id, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  if (int rc = setText(store, kSiKvaId, id, 0, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  *kvaid = id;
  return logExit(log, 0, kUnit, __LINE__);
}

int saveSysInfo(int encoding, VorlanXML* store, int lockFlag, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (lockFlag != 0) {
    if (int rc = lockVorlanXML(0, store, log); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  int rc = 0;
  {
    MutexLock lock(store->docLock);
    if (writeVorlanXML(encoding, store, log) != 0) rc = -3003;
  }
  if (lockFlag != 0 && unlockVorlanXML(store, log) != 0) rc = -3060;
  return logExit(log, rc, kUnit, __LINE__);
}

int loadSysInfo(int encoding, VorlanXML* store, std::string* kvaid,
                LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  kvaid->clear();
  if (lockVorlanXML(0, store, log) != 0)
    return logExit(log, -3059, kUnit, __LINE__);
  auto finish = [&](int rc) {
    if (unlockVorlanXML(store, log) != 0 && rc == 0) rc = -3060;
    return logExit(log, rc, kUnit, __LINE__);
  };

  if (int rc = readVorlanXML(encoding, store, log); rc != 0) {
    writeLog(kLogExit | kLogWarning, log,
             "System information unreadable (%d), replaced by a default "
             "document %s: %d",
             rc, kUnit, __LINE__);
    if (int drc = defaultSysInfo(store, kvaid, log); drc != 0)
      return finish(drc);
    return finish(saveSysInfo(encoding, store, 0, log));
  }
  bool changed = false;
  std::uint64_t date = 0;
  if (getSysInfoField(1, &date, store, kSiSysInfoDate, log) != 0 || date == 0) {
    if (int rc = setNow(store, 1, log); rc != 0) return finish(rc);
    changed = true;
  }
  int rc = getText(store, kSiKvaId, kvaid, 1, log);
  if (rc == -6003) {
    if ((rc = newKvaId(kvaid, log)) != 0) return finish(rc);
    if ((rc = setText(store, kSiKvaId, *kvaid, 1, log)) != 0) return finish(rc);
    changed = true;
  } else if (rc != 0) {
    return finish(rc);
  }
  if (changed) {
    if ((rc = saveSysInfo(encoding, store, 0, log)) != 0) return finish(rc);
  }
  return finish(0);
}

int compareSysInfo(VorlanXML* stored, VorlanXML* fresh, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  for (SysInfoField field : kCompared) {
    std::string before, after;
    int rc = getText(stored, field, &before, 1, log);
    if (rc == -6003)
      before = kNotAvailable;
    else if (rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
    if ((rc = getText(fresh, field, &after, 1, log)) != 0)
      return logExit(log, rc, kUnit, __LINE__);
    if (before != after) return logExit(log, 0, kUnit, __LINE__);
  }
  return logExit(log, 1, kUnit, __LINE__);
}

int refreshSysInfo(int encoding, VorlanXML* stored, const char* appLanguage,
                   const char* version, const char* edition, const char* build,
                   const char* productStatus, int* changed, LogContext* log) {
  *changed = 0;
  logEntry(log, kUnit, __LINE__);
  VorlanXML* raw = nullptr;
  if (int rc = buildSysInfo(&raw, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  StorePtr fresh(raw);
  const std::pair<SysInfoField, const char*> strings[] = {
      {kSiAppLanguage, appLanguage},
      {kSiVersion, version},
      {kSiEdition, edition},
      {kSiBuild, build},
      {kSiProductStatus, productStatus}};
  for (const auto& [field, value] : strings) {
    std::string text =
        value != nullptr && *value != '\0' ? value : kNotAvailable;
    if (int rc = setText(fresh.get(), field, text, 1, log); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  int same = compareSysInfo(stored, fresh.get(), log);
  if (same < 0) return logExit(log, same, kUnit, __LINE__);

  std::uint16_t privacy = 0;
  std::string kvaid;
  if (int rc = getSysInfoField(1, &privacy, stored, kSiSystemPrivacy, log);
      rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  if (int rc = setSysInfoField(1, &privacy, fresh.get(), kSiSystemPrivacy, log);
      rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  if (int rc = getText(stored, kSiKvaId, &kvaid, 1, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  if (int rc = setText(fresh.get(), kSiKvaId, kvaid, 1, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);

  swapVorlanXML(1, 1, stored, fresh.get(), log);
  fresh.reset();
  if (int rc = saveSysInfo(encoding, stored, 1, log); rc != 0)
    writeLog(kLogError, log, "System information not saved (%d) %s: %d", rc,
             kUnit, __LINE__);
  *changed = same == 0 ? 1 : 0;
  return logExit(log, 0, kUnit, __LINE__);
}

int attachSysInfo(xmlDoc* record, VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  MutexLock lock(store->docLock);
  xmlNode* root =
      store->doc != nullptr ? xmlDocGetRootElement(store->doc) : nullptr;
  xmlNode* info = findFirstElement(root, "KVASysInfo");
  if (info == nullptr) return logExit(log, -6003, kUnit, __LINE__);
  xmlNode* recordRoot =
      record != nullptr ? xmlDocGetRootElement(record) : nullptr;
  xmlNode* copy =
      recordRoot != nullptr ? xmlDocCopyNode(info, record, 1) : nullptr;
  if (copy == nullptr) return logExit(log, -3064, kUnit, __LINE__);
  if (xmlAddChild(recordRoot, copy) == nullptr) {
    xmlFreeNode(copy);
    return logExit(log, -3064, kUnit, __LINE__);
  }
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
