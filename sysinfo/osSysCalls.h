// Probes of the machine: operating system, memory, processor, word size,
// language, profile and host name. A fact that cannot be had gives
// "KESTNA" (the profile "DESKTOP") rather than a failure. The probes keep
// no state and take no lock; any thread may call them. Reading is kept
// apart from parsing, so that the parsers can be given any text.
#ifndef VORLAN_SYSINFO_OSSYSCALLS_H
#define VORLAN_SYSINFO_OSSYSCALLS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LogContext;

namespace vorlan {

inline constexpr char kNotAvailable[] = "KESTNA";

// What a shell command gave: whether it started, its wait status as
// pclose() reports it, and its standard output.
struct CommandOutput {
  bool started = false;
  int status = -1;
  std::string output;
};
using CommandRunner = CommandOutput (*)(const char* command);

// Runs `command` through the shell and collects (up to 64 KiB of) its
// standard output. Any thread.
CommandOutput runShellCommand(const char* command);

// The value after the first `delimiter` of `line`: leading white space
// skipped, cut at the first newline. 0, or -3648 without the delimiter.
int colonValue(std::string_view line, char delimiter, std::string* value,
               LogContext* log);

// "sysname:release" from uname(), "KESTNA:KESTNA" when it fails. 0.
int probeOperatingSystem(std::string* value, LogContext* log);

// Total RAM in MiB (the structure's unit is not applied), or "KESTNA". 0.
int probeMemory(std::string* value, LogContext* log);

struct ArmCpu {
  std::uint32_t count = 0;
  std::string vendor;  // "ARM"
  std::optional<std::string> architectureAndModel;
  std::string details;  // "cpuEndian:... cpuFlags:..."
};

// Parses lscpu's output (given as run). 0; -3641 not started; -3514 killed
// or non-zero exit; -3648 a key line without a colon.
int parseArmCpu(const CommandOutput& lscpu, ArmCpu* out, LogContext* log);

struct CpuFacts {
  std::string processor;  // "vendor:model"
  std::string count;      // logical processors, decimal
  std::optional<std::string> armDetails;
};

// Parses the text of /proc/cpuinfo; an ARM implementer 0x41 in the first
// processor's block runs `lscpu` for the details. 0; -3648 a key line
// without a colon (the facts are then "KESTNA" and "0").
int parseCpuInfo(std::string_view cpuinfo, CommandRunner lscpu, CpuFacts* out,
                 LogContext* log);

// Reads /proc/cpuinfo (an unreadable file counts as empty) and parses it.
int probeCpu(CpuFacts* out, LogContext* log);

// The first line of `getconf LONG_BIT` when it has at most 2 characters,
// else "KESTNA". 0.
int parseBitAge(const CommandOutput& getconf, std::string* value,
                LogContext* log);
int probeBitAge(std::string* value, LogContext* log,
                CommandRunner run = runShellCommand);

// LANG when set (even empty), else "KESTNA". 0.
int probeOsLanguage(std::string* value, LogContext* log);

// "LAPTOP" when one of `batteryPaths` is a directory (links followed),
// else "DESKTOP". 0.
extern const std::vector<std::string> kBatteryPaths;
int probeProfile(std::string* value, LogContext* log,
                 const std::vector<std::string>& batteryPaths = kBatteryPaths);

// The host name, or "KESTNA". 0.
int probeComputerName(std::string* value, LogContext* log);

}  // namespace vorlan

#endif
