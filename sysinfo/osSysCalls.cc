#include "sysinfo/osSysCalls.h"

#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "runtime/logging.h"

namespace vorlan {

const std::vector<std::string> kBatteryPaths = {
    "/sys/class/power_supply/BAT0", "/sys/class/power_supply/BAT1",
    "/proc/acpi/battery/BAT0", "/proc/acpi/battery/BAT1"};

namespace {

constexpr const char* kUnit = "osSysCalls";
constexpr std::size_t kMaxCommandOutput = 64 * 1024;
constexpr std::size_t kLscpuPiece = 2047;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// True when `line` is the line of `key`: only blanks stand between the key
// and its colon, or it has no colon at all (a malformed line of the key).
// lscpu also prints keys that merely begin with another ("CPU(s) scaling
// MHz" after "CPU(s)"), which must not replace it.
bool isKey(std::string_view line, std::string_view key) {
  if (!startsWith(line, key)) return false;
  std::size_t at = line.find_first_not_of(" \t", key.size());
  return at == std::string_view::npos || line[at] == ':' ||
         line.find(':') == std::string_view::npos;
}

bool commandSucceeded(const CommandOutput& c) {
  return c.started && c.status != -1 && WIFEXITED(c.status) &&
         WEXITSTATUS(c.status) == 0;
}

// Splits `text` into lines, each with its newline.
template <class Fn>
void forEachLine(std::string_view text, Fn fn) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    if (!fn(text.substr(0, length))) return;
    text.remove_prefix(length);
  }
}

}  // namespace

CommandOutput runShellCommand(const char* command) {
  CommandOutput out;
  FILE* pipe = popen(command, "re");
  if (pipe == nullptr) return out;
  out.started = true;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (out.output.size() < kMaxCommandOutput)
      out.output.append(buffer,
                        std::min(n, kMaxCommandOutput - out.output.size()));
  }
  out.status = pclose(pipe);
  return out;
}

int colonValue(std::string_view line, char delimiter, std::string* value,
               LogContext* log) {
  value->clear();
  std::size_t at = line.find(delimiter);
  if (at == std::string_view::npos) {
    writeLog(kLogExit | kLogError, log, "String missing char %s: %d", kUnit,
             __LINE__);
    return -3648;
  }
  line.remove_prefix(at + 1);
  std::size_t start = line.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string_view::npos) return 0;
  line.remove_prefix(start);
  *value = std::string(line.substr(0, line.find('\n')));
  return 0;
}

int probeOperatingSystem(std::string* value, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  struct utsname names;
  if (uname(&names) == 0)
    *value = std::string(names.sysname) + ":" + names.release;
  else
    *value = std::string(kNotAvailable) + ":" + kNotAvailable;
  return logExit(log, 0, kUnit, __LINE__);
}

int probeMemory(std::string* value, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  struct sysinfo info;
  if (sysinfo(&info) == 0)
    *value = std::to_string(static_cast<unsigned long>(info.totalram) >> 20);
  else
    *value = kNotAvailable;
  return logExit(log, 0, kUnit, __LINE__);
}

int parseArmCpu(const CommandOutput& lscpu, ArmCpu* out, LogContext* log) {
  *out = ArmCpu{};
  logEntry(log, kUnit, __LINE__);
  if (!lscpu.started) {
    writeLog(kLogExit | kLogWarning, log, "lscpu not started %s: %d", kUnit,
             __LINE__);
    return -3641;
  }
  std::optional<std::string> architecture, model, byteOrder, flags;
  std::uint32_t count = 0;
  int rc = 0;
  forEachLine(lscpu.output, [&](std::string_view line) {
    // Lines are read in pieces of 2047 bytes; only a first piece holds a
    // key. Newer lscpu indents the keys of its sections.
    std::string_view piece = line.substr(0, kLscpuPiece);
    piece.remove_prefix(std::min(piece.find_first_not_of(" \t"), piece.size()));
    std::optional<std::string>* target = nullptr;
    bool isCount = false;
    if (isKey(piece, "Architecture"))
      target = &architecture;
    else if (isKey(piece, "Model name"))
      target = &model;
    else if (isKey(piece, "CPU(s)"))
      isCount = true;
    else if (isKey(piece, "Byte Order"))
      target = &byteOrder;
    else if (isKey(piece, "Flags"))
      target = &flags;
    else
      return true;
    std::string value;
    if ((rc = colonValue(piece, ':', &value, log)) != 0) {
      writeLog(kLogError, log, "%s: %d(%s)", kUnit, __LINE__,
               std::string(piece).c_str());
      return false;
    }
    if (isCount)
      count =
          static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else
      *target = value;
    return true;
  });
  if (rc == 0 && !commandSucceeded(lscpu)) {
    writeLog(kLogError, log, "lscpu failed (%d) %s: %d", lscpu.status, kUnit,
             __LINE__);
    rc = -3514;
  }
  if (rc != 0) {
    writeLog(kLogExit | kLogError, log, "%s: %d(%d)", kUnit, __LINE__, rc);
    return rc;
  }
  out->count = count;
  out->vendor = "ARM";
  if (architecture || model) {
    std::string text = architecture.value_or("");
    if (model) text += ":" + *model;
    out->architectureAndModel = text;
  }
  out->details = "cpuEndian:" + byteOrder.value_or(kNotAvailable) +
                 " cpuFlags:" + flags.value_or(kNotAvailable);
  return logExit(log, 0, kUnit, __LINE__);
}

int parseCpuInfo(std::string_view cpuinfo, CommandRunner lscpu, CpuFacts* out,
                 LogContext* log) {
  *out = CpuFacts{};
  logEntry(log, kUnit, __LINE__);
  std::optional<std::string> vendor, model;
  std::uint32_t counter = 0;
  int rc = 0;
  forEachLine(cpuinfo, [&](std::string_view line) {
    if (startsWith(line, "processor")) {
      ++counter;
      return true;
    }
    if (counter != 1) return true;
    std::optional<std::string>* target = nullptr;
    bool implementer = false;
    if (startsWith(line, "CPU implementer"))
      implementer = true;
    else if (startsWith(line, "vendor_id"))
      target = &vendor;
    else if (startsWith(line, "model name"))
      target = &model;
    else
      return true;
    std::string value;
    if ((rc = colonValue(line, ':', &value, log)) != 0) {
      writeLog(kLogError, log, "%s: %d(%s)", kUnit, __LINE__,
               std::string(line).c_str());
      return false;
    }
    if (!implementer) {
      *target = value;
      return true;
    }
    if (!startsWith(value, "0x41")) return true;
    ArmCpu arm;
    int armRc = parseArmCpu(lscpu("lscpu 2>/dev/null"), &arm, log);
    if (armRc != 0) {
      writeLog(kLogError, log, "ARM info collection failed %s: %d(%d)", kUnit,
               __LINE__, armRc);
      return true;
    }
    counter = arm.count;
    vendor = arm.vendor;
    model = arm.architectureAndModel;
    out->armDetails = arm.details;
    return false;  // the ARM facts are complete
  });
  if (rc != 0) {
    out->processor = kNotAvailable;
    out->count = "0";
    out->armDetails.reset();
    return logExit(log, rc, kUnit, __LINE__);
  }
  out->processor =
      vendor.value_or(kNotAvailable) + ":" + model.value_or(kNotAvailable);
  out->count = std::to_string(counter);
  return logExit(log, 0, kUnit, __LINE__);
}

int probeCpu(CpuFacts* out, LogContext* log) {
  std::ifstream in("/proc/cpuinfo");
  std::ostringstream text;
  text << in.rdbuf();
  return parseCpuInfo(text.str(), runShellCommand, out, log);
}

int parseBitAge(const CommandOutput& getconf, std::string* value,
                LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  *value = kNotAvailable;
  if (!getconf.started) {
    writeLog(kLogExit | kLogWarning, log, "getconf not started %s: %d", kUnit,
             __LINE__);
    return 0;
  }
  // One line of at most 11 characters is read.
  std::size_t end = getconf.output.find('\n');
  std::string line = end == std::string::npos
                         ? getconf.output
                         : getconf.output.substr(0, end + 1);
  line = line.substr(0, 11);
  if (line.empty())
    writeLog(kLogWarning, log, "getconf printed nothing %s: %d", kUnit,
             __LINE__);
  if (!commandSucceeded(getconf)) return logExit(log, 0, kUnit, __LINE__);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (line.empty() || line.size() > 2) {
    writeLog(kLogExit | kLogWarning, log, "Unexpected word size %s: %d", kUnit,
             __LINE__);
    return 0;
  }
  *value = line;
  return logExit(log, 0, kUnit, __LINE__);
}

int probeBitAge(std::string* value, LogContext* log, CommandRunner run) {
  return parseBitAge(run("getconf LONG_BIT 2>/dev/null"), value, log);
}

int probeOsLanguage(std::string* value, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  const char* lang = std::getenv("LANG");
  *value = lang != nullptr ? lang : kNotAvailable;
  return logExit(log, 0, kUnit, __LINE__);
}

int probeProfile(std::string* value, LogContext* log,
                 const std::vector<std::string>& batteryPaths) {
  logEntry(log, kUnit, __LINE__);
  *value = "DESKTOP";
  for (const std::string& path : batteryPaths) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      *value = "LAPTOP";
      break;
    }
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int probeComputerName(std::string* value, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  char name[256] = {};
  if (gethostname(name, 255) == 0) {
    *value = name;
  } else {
    writeLog(kLogExit | kLogError, log, "gethostname failed (%d) %s: %d", errno,
             kUnit, __LINE__);
    *value = kNotAvailable;
  }
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
