// The machine probes, fed with fixtures where they read the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "sysinfo/graphicinfo.h"
#include "sysinfo/osSysCalls.h"
#include "testUtil.h"

namespace vorlan {
namespace {

std::string x86CpuInfo(int processors) {
  std::string text;
  for (int i = 0; i < processors; ++i) {
    text += "processor\t: " + std::to_string(i) + "\n";
    text += "vendor_id\t: GenuineIntel\n";
    text += "cpu family\t: 6\n";
    text += "model\t\t: 85\n";
    text += "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n";
    text += "flags\t\t: fpu vme de pse\n\n";
  }
  return text;
}

std::string armCpuInfo(const char* implementer) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    text += "processor\t: " + std::to_string(i) + "\n";
    text += "BogoMIPS\t: 50.00\n";
    text += "Features\t: fp asimd evtstrm\n";
    text += std::string("CPU implementer\t: ") + implementer + "\n";
    text += "CPU architecture: 8\n\n";
  }
  return text;
}

CommandOutput exited(int code, std::string output) {
  CommandOutput c;
  c.started = true;
  c.status = code << 8;  // as wait() reports a normal exit
  c.output = std::move(output);
  return c;
}

int lscpuCalls = 0;
CommandOutput workingLscpu(const char* command) {
  ++lscpuCalls;
  EXPECT_STREQ(command, "lscpu 2>/dev/null");
  return exited(0,
                "Architecture:            aarch64\n"
                "  CPU op-mode(s):        32-bit, 64-bit\n"
                "  Byte Order:            Little Endian\n"
                "CPU(s):                  8\n"
                "  On-line CPU(s) list:   0-7\n"
                "Vendor ID:               ARM\n"
                "  Model name:            Neoverse-N1\n"
                "    CPU(s) scaling MHz:  100%\n"
                "    Flags:               fp asimd evtstrm aes\n");
}
CommandOutput missingLscpu(const char*) {
  ++lscpuCalls;
  return exited(127, "");
}
CommandOutput unstartedCommand(const char*) { return CommandOutput{}; }

TEST(CpuProbe, ParsesX86AndArmFixtures) {
  struct Case {
    const char* name;
    std::string cpuinfo;
    CommandRunner lscpu;
    int lscpuCallsExpected;
    std::string processor, count;
    std::optional<std::string> details;
  } cases[] = {
      {"x86 with 8 processors", x86CpuInfo(8), workingLscpu, 0,
       "GenuineIntel:Intel(R) Xeon(R) CPU @ 2.20GHz", "8", std::nullopt},
      {"ARM with lscpu", armCpuInfo("0x41"), workingLscpu, 1,
       "ARM:aarch64:Neoverse-N1", "8",
       "cpuEndian:Little Endian cpuFlags:fp asimd evtstrm aes"},
      {"ARM without lscpu", armCpuInfo("0x41"), missingLscpu, 1,
       "KESTNA:KESTNA", "4", std::nullopt},
      {"ARM, lscpu cannot start", armCpuInfo("0x41"), unstartedCommand, 0,
       "KESTNA:KESTNA", "4", std::nullopt},
      {"implementer 0x51", armCpuInfo("0x51"), workingLscpu, 0, "KESTNA:KESTNA",
       "4", std::nullopt},
      {"empty file", "", workingLscpu, 0, "KESTNA:KESTNA", "0", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lscpuCalls = 0;
    CpuFacts facts;
    EXPECT_EQ(parseCpuInfo(c.cpuinfo, c.lscpu, &facts, nullptr), 0);
    EXPECT_EQ(facts.processor, c.processor);
    EXPECT_EQ(facts.count, c.count);
    EXPECT_EQ(facts.armDetails, c.details);
    EXPECT_EQ(lscpuCalls, c.lscpuCallsExpected);
  }
  // Only the first processor's block is read.
  std::string later = "processor : 0\nprocessor : 1\nvendor_id : Late\n";
  CpuFacts facts;
  EXPECT_EQ(parseCpuInfo(later, workingLscpu, &facts, nullptr), 0);
  EXPECT_EQ(facts.processor, "KESTNA:KESTNA");
  EXPECT_EQ(facts.count, "2");
}

TEST(CpuProbe, KeyLinesWithoutAColonAreMalformed) {
  CpuFacts facts;
  EXPECT_EQ(parseCpuInfo("processor : 0\nvendor_id GenuineIntel\n",
                         workingLscpu, &facts, nullptr),
            -3648);
  EXPECT_EQ(facts.processor, "KESTNA");
  EXPECT_EQ(facts.count, "0");
  ArmCpu arm;
  EXPECT_EQ(parseArmCpu(exited(0, "Architecture aarch64\n"), &arm, nullptr),
            -3648);
  EXPECT_EQ(parseArmCpu(exited(0, "Architecture: x\n"), &arm, nullptr), 0);
  EXPECT_EQ(arm.architectureAndModel, "x");
  EXPECT_EQ(arm.details, "cpuEndian:KESTNA cpuFlags:KESTNA");
  EXPECT_EQ(parseArmCpu(exited(1, "Architecture: x\n"), &arm, nullptr), -3514);
  EXPECT_EQ(parseArmCpu(CommandOutput{}, &arm, nullptr), -3641);

  std::string value;
  EXPECT_EQ(colonValue("key:  \t value with end  \nnext", ':', &value, nullptr),
            0);
  EXPECT_EQ(value, "value with end  ");
  EXPECT_EQ(colonValue("no delimiter", ':', &value, nullptr), -3648);
}

TEST(BitAgeProbe, TakesAShortFirstLine) {
  struct Case {
    CommandOutput getconf;
    const char* value;
  } cases[] = {
      {exited(0, "64\n"), "64"},      {exited(0, "32"), "32"},
      {exited(0, "640\n"), "KESTNA"}, {exited(0, ""), "KESTNA"},
      {exited(1, "64\n"), "KESTNA"},  {CommandOutput{}, "KESTNA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.getconf.output);
    std::string value;
    EXPECT_EQ(parseBitAge(c.getconf, &value, nullptr), 0);
    EXPECT_EQ(value, c.value);
  }
  std::string real;
  EXPECT_EQ(probeBitAge(&real, nullptr), 0);
  EXPECT_EQ(real, std::to_string(8 * sizeof(long)));
}

TEST(SimpleProbes, ReadTheMachine) {
  std::string value;
  EXPECT_EQ(probeOperatingSystem(&value, nullptr), 0);
  EXPECT_EQ(value.rfind("Linux:", 0), 0u) << value;
  EXPECT_EQ(probeMemory(&value, nullptr), 0);
  EXPECT_GT(std::stoul(value), 0u);
  EXPECT_EQ(probeComputerName(&value, nullptr), 0);
  char host[256] = {};
  gethostname(host, 255);
  EXPECT_EQ(value, host);
  CpuFacts cpu;
  EXPECT_EQ(probeCpu(&cpu, nullptr), 0);
  EXPECT_EQ(std::stoul(cpu.count), sysconf(_SC_NPROCESSORS_CONF));

  const char* saved = std::getenv("LANG");
  std::string savedLang = saved != nullptr ? saved : "";
  unsetenv("LANG");
  EXPECT_EQ(probeOsLanguage(&value, nullptr), 0);
  EXPECT_EQ(value, "KESTNA");
  setenv("LANG", "", 1);
  EXPECT_EQ(probeOsLanguage(&value, nullptr), 0);
  EXPECT_EQ(value, "");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(probeOsLanguage(&value, nullptr), 0);
  EXPECT_EQ(value, "de_DE.UTF-8");
  if (saved != nullptr)
    setenv("LANG", savedLang.c_str(), 1);
  else
    unsetenv("LANG");
}

TEST(ProfileProbe, ABatteryDirectoryMakesALaptop) {
  test::TempDir dir;
  std::vector<std::string> paths = {dir.file("BAT0"), dir.file("BAT1")};
  std::string value;
  EXPECT_EQ(probeProfile(&value, nullptr, paths), 0);
  EXPECT_EQ(value, "DESKTOP");
  test::writeFile(dir.file("BAT0"), "not a directory");
  EXPECT_EQ(probeProfile(&value, nullptr, paths), 0);
  EXPECT_EQ(value, "DESKTOP");
  ASSERT_EQ(mkdir(dir.file("BAT1").c_str(), 0700), 0);
  EXPECT_EQ(probeProfile(&value, nullptr, paths), 0);
  EXPECT_EQ(value, "LAPTOP");
  ASSERT_EQ(symlink(dir.file("BAT1").c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(probeProfile(&value, nullptr, {dir.file("link")}), 0);
  EXPECT_EQ(value, "LAPTOP");
}

TEST(ScreenProbe, WithoutADisplayBothAreUnknown) {
  const char* saved = std::getenv("DISPLAY");
  std::string savedDisplay = saved != nullptr ? saved : "";
  unsetenv("DISPLAY");
  std::string width, height;
  EXPECT_EQ(probeScreen(&width, &height, nullptr), 0);
  EXPECT_EQ(width, "KESTNA");
  EXPECT_EQ(height, "KESTNA");
  setenv("DISPLAY", ":97", 1);  // nobody serves it
  EXPECT_EQ(probeScreen(&width, &height, nullptr), 0);
  EXPECT_EQ(width, "KESTNA");
  if (saved != nullptr)
    setenv("DISPLAY", savedDisplay.c_str(), 1);
  else
    unsetenv("DISPLAY");
}

TEST(ScreenProbe, ReadsAVirtualDisplay) {
  const char* xvfb = "/usr/bin/Xvfb";
  if (access(xvfb, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
  // Xvfb picks a free display itself and tells its number on a pipe.
  int numberPipe[2];
  ASSERT_EQ(pipe(numberPipe), 0);
  pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    close(numberPipe[0]);
    std::string fd = std::to_string(numberPipe[1]);
    execl(xvfb, xvfb, "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
          "-nolisten", "tcp", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(numberPipe[1]);
  // The number arrives in more than one write; the pipe stays open until
  // the end, since Xvfb gives up when a write to it fails.
  std::string number;
  char c;
  while (number.find('\n') == std::string::npos &&
         read(numberPipe[0], &c, 1) == 1)
    number += c;
  ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb did not start";
  std::string display = ":" + number.substr(0, number.find('\n'));
  setenv("DISPLAY", display.c_str(), 1);
  std::string width, height;
  for (int i = 0; i < 200 && width != "1280"; ++i) {
    usleep(50000);
    ASSERT_EQ(probeScreen(&width, &height, nullptr), 0);
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  close(numberPipe[0]);
  unsetenv("DISPLAY");
  EXPECT_EQ(width, "1280");
  EXPECT_EQ(height, "1024");
}

}  // namespace
}  // namespace vorlan
