// vorlan-stamp against copies of the built library. Every check runs real
// processes: the tool itself, and a probe that loads the stamped copy the
// way an application does and reports the file name the library derives
// from the stamped IDs.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "frame/stampRecord.h"

extern char** environ;

namespace vorlan {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLibrary = VORLAN_LIBRARY_FILE;
constexpr const char* kTool = VORLAN_STAMP_TOOL;
constexpr const char* kProbe = VORLAN_STAMP_PROBE;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// The offset of the one valid stamp record in a file's bytes, found
// without the tool's ELF parsing so that the two cannot share a mistake.
std::optional<std::size_t> recordOffset(const std::string& bytes) {
  std::optional<std::size_t> found;
  const std::string_view magic(kStampMagic, sizeof kStampMagic);
  for (std::size_t at = bytes.find(magic); at != std::string::npos;
       at = bytes.find(magic, at + 1)) {
    if (bytes.size() - at < sizeof(StampRecord)) break;
    StampRecord r;
    std::memcpy(&r, bytes.data() + at, sizeof r);
    if (!stampRecordValid(r)) continue;
    if (found) return std::nullopt;
    found = at;
  }
  return found;
}

// The name the library gives its files for IDs whose decimal text is
// `text`: the first 2 * L hex characters of that text's SHA-1.
std::string expectedStem(const std::string& text) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
       digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex.substr(0, 2 * text.size());
}

struct Outcome {
  int exitCode = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// A minimal ELF64 file with a section table of [null, .shstrtab,
// .vorlan_stamp] and a valid record; `damage` then breaks one header value.
using Damage = void (*)(Elf64_Ehdr&, Elf64_Shdr*);
std::string craftElf(Damage damage) {
  const std::string names = std::string("\0.shstrtab\0", 11) + kStampSection;
  const std::size_t namesAt = sizeof(Elf64_Ehdr);
  const std::size_t recordAt = (namesAt + names.size() + 1 + 7) / 8 * 8;
  const std::size_t headersAt = recordAt + sizeof(StampRecord);

  Elf64_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS64;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_DYN;
  eh.e_machine = EM_X86_64;
  eh.e_version = EV_CURRENT;
  eh.e_ehsize = sizeof eh;
  eh.e_shoff = headersAt;
  eh.e_shentsize = sizeof(Elf64_Shdr);
  eh.e_shnum = 3;
  eh.e_shstrndx = 1;
  Elf64_Shdr sh[3]{};
  sh[1] = {.sh_name = 1,
           .sh_type = SHT_STRTAB,
           .sh_offset = namesAt,
           .sh_size = names.size() + 1,
           .sh_addralign = 1};
  sh[2] = {.sh_name = 11,
           .sh_type = SHT_PROGBITS,
           .sh_flags = SHF_ALLOC,
           .sh_offset = recordAt,
           .sh_size = sizeof(StampRecord),
           .sh_addralign = 8};
  StampRecord record{.magic = "VORLAN-STAMP",
                     .layoutVersion = kStampLayoutVersion,
                     .customerId = 7,
                     .productId = 8,
                     .maxCacheSize = 100,
                     .maxLogSize = 200,
                     .host = "host.example",
                     .suffix = "/path"};
  record.checksum = stampChecksum(record);
  if (damage != nullptr) damage(eh, sh);

  std::string bytes(headersAt + sizeof sh, '\0');
  std::memcpy(bytes.data(), &eh, sizeof eh);
  std::memcpy(bytes.data() + namesAt, names.data(), names.size());
  std::memcpy(bytes.data() + recordAt, &record, sizeof record);
  std::memcpy(bytes.data() + headersAt, sh, sizeof sh);
  return bytes;
}

class StampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                          "/stampTests-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    root_ = pattern;
    for (const fs::path& dir : {libDir(), home(), root_ / "capture"})
      fs::create_directory(dir);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }

  // Where the files under test live; nothing else is put there, so any
  // other entry is a leftover of the tool.
  fs::path libDir() const { return root_ / "lib"; }
  fs::path home() const { return root_ / "home"; }

  fs::path copyLibrary(const std::string& name = "libVorlan.so") {
    fs::path copy = libDir() / name;
    fs::copy_file(kLibrary, copy, fs::copy_options::overwrite_existing);
    return copy;
  }

  // Runs `argv` with HOME pointing into the test directory; `fileLimit`
  // caps how large the child may make any file.
  Outcome run(const std::vector<std::string>& argv,
              rlim_t fileLimit = RLIM_INFINITY) {
    std::vector<std::string> env{"HOME=" + home().string()};
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "HOME=", 5) != 0) env.push_back(*e);
    auto pointers = [](std::vector<std::string>& texts) {
      std::vector<char*> p;
      for (std::string& t : texts) p.push_back(t.data());
      p.push_back(nullptr);
      return p;
    };
    std::vector<std::string> args = argv;
    std::vector<char*> argp = pointers(args), envp = pointers(env);
    // Output goes to files rather than pipes: nothing to drain, no
    // deadlock when a child fills one stream while we read the other.
    const std::string outFile = (root_ / "capture" / "out").string();
    const std::string errFile = (root_ / "capture" / "err").string();

    pid_t pid = fork();
    if (pid == 0) {
      int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
      if (fileLimit != RLIM_INFINITY) {
        // Over the limit write() then fails with EFBIG instead of the
        // signal killing the child.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{fileLimit, fileLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
      }
      execve(argp[0], argp.data(), envp.data());
      _exit(127);
    }
    Outcome outcome;
    EXPECT_GT(pid, 0) << std::strerror(errno);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      outcome.exitCode = WEXITSTATUS(status);
    outcome.out = readBytes(outFile);
    outcome.err = readBytes(errFile);
    return outcome;
  }

  Outcome stamp(const std::vector<std::string>& args,
                rlim_t fileLimit = RLIM_INFINITY) {
    std::vector<std::string> argv{kTool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, fileLimit);
  }

  Outcome probe(const fs::path& library) {
    return run({kProbe, library.string()});
  }

  // What the probe prints for a library whose IDs have the decimal text
  // `text`; the library joins its directory and the name with one more
  // slash.
  std::string probePath(const std::string& text) const {
    return home().string() + "/.kestavorn/" + "/" + expectedStem(text) +
           ".log\n";
  }

  std::vector<std::string> libDirEntries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(libDir()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

// The `key: value` lines `show` prints, in order.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// Parameterized cases are named by their `name` member, in test names and
// when gtest prints a case.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}
template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// --- The probe names its files after the stamped IDs -----------------------

struct PathCase {
  const char* name;
  std::optional<std::uint32_t> customer;  // nothing: the library as built
  std::uint32_t product;
  const char* decimal;  // the decimal text the library hashes
};

class StampedLibrary : public StampTest,
                       public ::testing::WithParamInterface<PathCase> {};

TEST_P(StampedLibrary, ProbeFindsFilesNamedAfterTheIds) {
  const PathCase& c = GetParam();
  if (!c.customer &&
      (VORLAN_BUILT_CUSTOMER_ID != 12 || VORLAN_BUILT_PRODUCT_ID != 345))
    GTEST_SKIP() << "the library was built with other IDs than 12/345";
  fs::path library = copyLibrary();
  if (c.customer) {
    Outcome set = stamp({"set", library.string(), "--customer-id",
                         std::to_string(*c.customer), "--product-id",
                         std::to_string(c.product)});
    ASSERT_EQ(set.exitCode, 0) << set.err;
  }
  Outcome p = probe(library);
  EXPECT_EQ(p.exitCode, 0) << p.err;
  EXPECT_EQ(p.out, probePath(c.decimal));
}

// Texts worked out by hand: customer * 100000 + product in 32-bit two's
// complement, printed as its sign-extended 64-bit value, unsigned.
INSTANTIATE_TEST_SUITE_P(
    Ids, StampedLibrary,
    ::testing::Values(PathCase{"AsBuilt", std::nullopt, 0, "1200345"},
                      PathCase{"Customer21474Product83648", 21474, 83648,
                               "18446744071562067968"},
                      PathCase{"Customer50000Product1", 50000, 1, "705032705"},
                      PathCase{"Customer99999Product99999", 99999, 99999,
                               "1410065407"},
                      PathCase{"Customer0Product0", 0, 0, "0"}),
    caseName<PathCase>);

// --- show and set on a good library ----------------------------------------

using StampTool = StampTest;

TEST_F(StampTool, ShowPrintsEveryFieldSetWrote) {
  fs::path library = copyLibrary();
  Outcome set =
      stamp({"set", library.string(), "--customer-id", "21474", "--product-id",
             "83648", "--flags", "4294967295", "--max-cache", "2147483647",
             "--max-log", "0", "--host", std::string(127, 'h'), "--suffix",
             "/" + std::string(254, 's')});
  ASSERT_EQ(set.exitCode, 0) << set.err;

  Outcome show = stamp({"show", library.string()});
  ASSERT_EQ(show.exitCode, 0) << show.err;
  std::vector<std::string> got = lines(show.out);
  ASSERT_EQ(got.size(), 11u) << show.out;
  EXPECT_EQ(got[0], "magic: VORLAN-STAMP");
  EXPECT_EQ(got[1], "layout-version: 1");
  EXPECT_EQ(got[2], "customer-id: 21474");
  EXPECT_EQ(got[3], "product-id: 83648");
  EXPECT_EQ(got[4], "flags: 4294967295");
  EXPECT_EQ(got[5], "max-cache: 2147483647");
  EXPECT_EQ(got[6], "max-log: 0");
  EXPECT_EQ(got[7], "host: " + std::string(127, 'h'));
  EXPECT_EQ(got[8], "suffix: /" + std::string(254, 's'));
  EXPECT_EQ(got[9].rfind("checksum: 0x", 0), 0u) << got[9];
  EXPECT_EQ(got[10], "checksum-valid: yes");

  // The library agrees with the tool's checksum.
  Outcome p = probe(library);
  EXPECT_EQ(p.exitCode, 0) << p.out << p.err;
  EXPECT_EQ(p.out, probePath("18446744071562067968"));
}

TEST_F(StampTool, SetKeepsFieldsNotGiven) {
  fs::path library = copyLibrary();
  ASSERT_EQ(
      stamp({"set", library.string(), "--customer-id", "1", "--product-id", "2",
             "--flags", "3", "--max-cache", "4", "--max-log", "5", "--host",
             "kept.example", "--suffix", "/kept"})
          .exitCode,
      0);
  // A second stamp over a longer host first: shorter texts must not leave
  // a tail of the old one.
  ASSERT_EQ(stamp({"set", library.string(), "--customer-id", "50000",
                   "--product-id", "1", "--host", "k.example"})
                .exitCode,
            0);

  Outcome show = stamp({"show", library.string()});
  ASSERT_EQ(show.exitCode, 0) << show.err;
  std::vector<std::string> got = lines(show.out);
  ASSERT_GE(got.size(), 11u) << show.out;
  EXPECT_EQ(got[2], "customer-id: 50000");
  EXPECT_EQ(got[3], "product-id: 1");
  EXPECT_EQ(got[4], "flags: 3");
  EXPECT_EQ(got[5], "max-cache: 4");
  EXPECT_EQ(got[6], "max-log: 5");
  EXPECT_EQ(got[7], "host: k.example");
  EXPECT_EQ(got[8], "suffix: /kept");
  EXPECT_EQ(got[10], "checksum-valid: yes");

  std::string bytes = readBytes(library);
  std::optional<std::size_t> at = recordOffset(bytes);
  ASSERT_TRUE(at);
  StampRecord r;
  std::memcpy(&r, bytes.data() + *at, sizeof r);
  EXPECT_EQ(std::string(r.host, sizeof r.host),
            "k.example" + std::string(sizeof r.host - 9, '\0'));
}

TEST_F(StampTool, SetRewritesOnlyTheRecordAndKeepsTheMode) {
  fs::path library = copyLibrary();
  fs::permissions(library, fs::perms(0751));
  const std::string before = readBytes(library);
  std::optional<std::size_t> at = recordOffset(before);
  ASSERT_TRUE(at) << "no single valid record in the built library";

  // Through a symbolic link: the link stays, its target is stamped.
  fs::path link = libDir() / "link.so";
  fs::create_symlink(library.filename(), link);
  Outcome set = stamp(
      {"set", link.string(), "--customer-id", "99999", "--product-id", "0"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  EXPECT_TRUE(fs::is_symlink(link));

  const std::string after = readBytes(library);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, *at), before.substr(0, *at));
  EXPECT_EQ(after.substr(*at + sizeof(StampRecord)),
            before.substr(*at + sizeof(StampRecord)));
  EXPECT_NE(after.substr(*at, sizeof(StampRecord)),
            before.substr(*at, sizeof(StampRecord)));
  EXPECT_EQ(recordOffset(after), at);
  EXPECT_EQ(fs::status(library).permissions() & fs::perms::mask,
            fs::perms(0751));
  EXPECT_EQ(libDirEntries(),
            (std::vector<std::string>{"libVorlan.so", "link.so"}));
}

TEST_F(StampTool, SetAcceptsMinimalElfFiles) {
  // The well-formed counterparts of the damaged files refused below.
  struct Variant {
    const char* name;
    Damage change;
  } variants[] = {
      {"plain", nullptr},
      // The form for files of 0xff00 sections or more: the count and the
      // string table index are kept in the first section header.
      {"extended numbering", [](Elf64_Ehdr& e, Elf64_Shdr* s) {
         s[0].sh_size = e.e_shnum;
         s[0].sh_link = e.e_shstrndx;
         e.e_shnum = 0;
         e.e_shstrndx = SHN_XINDEX;
       }}};
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    fs::path file = libDir() / "minimal.so";
    writeBytes(file, craftElf(v.change));
    Outcome set = stamp(
        {"set", file.string(), "--customer-id", "5", "--product-id", "6"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    Outcome show = stamp({"show", file.string()});
    ASSERT_EQ(show.exitCode, 0) << show.err;
    std::vector<std::string> got = lines(show.out);
    ASSERT_GE(got.size(), 11u) << show.out;
    EXPECT_EQ(got[2], "customer-id: 5");
    EXPECT_EQ(got[3], "product-id: 6");
    EXPECT_EQ(got[7], "host: host.example");
    EXPECT_EQ(got[10], "checksum-valid: yes");
  }
}

TEST_F(StampTool, FailedWriteLeavesTheOriginal) {
  fs::path library = copyLibrary();
  const std::string before = readBytes(library);
  // Too small a file size limit for the temporary copy: the write fails
  // halfway through.
  Outcome set = stamp(
      {"set", library.string(), "--customer-id", "1", "--product-id", "1"},
      before.size() / 2);
  EXPECT_NE(set.exitCode, 0);
  EXPECT_NE(set.err.find("cannot write"), std::string::npos) << set.err;
  EXPECT_EQ(readBytes(library), before);
  EXPECT_EQ(libDirEntries(), std::vector<std::string>{"libVorlan.so"});
}

// --- Refusals: nothing changes ---------------------------------------------

std::string builtLibrary() { return readBytes(kLibrary); }

// The built library with one byte of its record changed.
template <std::size_t Offset, char Xor>
std::string damagedLibrary() {
  std::string bytes = builtLibrary();
  std::optional<std::size_t> at = recordOffset(bytes);
  if (at) bytes[*at + Offset] ^= Xor;
  return bytes;
}

struct Refusal {
  const char* name;
  std::string (*content)();  // the target file
  std::vector<std::string> options;
  const char* message;  // part of what the tool must say
  bool showRefuses;     // the file itself is unusable, not only the options
};

const std::vector<std::string> kIds{"--customer-id", "1", "--product-id", "1"};

std::vector<std::string> idsAnd(std::vector<std::string> more) {
  std::vector<std::string> all = kIds;
  all.insert(all.end(), more.begin(), more.end());
  return all;
}

class StampRefusal : public StampTest,
                     public ::testing::WithParamInterface<Refusal> {};

TEST_P(StampRefusal, LeavesTheFileAsItWas) {
  const Refusal& c = GetParam();
  fs::path target = libDir() / "target.so";
  const std::string before = c.content();
  ASSERT_FALSE(before.empty());
  writeBytes(target, before);

  std::vector<std::string> args{"set", target.string()};
  args.insert(args.end(), c.options.begin(), c.options.end());
  Outcome set = stamp(args);
  EXPECT_NE(set.exitCode, 0) << set.out;
  EXPECT_NE(set.err.find(c.message), std::string::npos)
      << "stderr: " << set.err;
  EXPECT_EQ(readBytes(target), before);
  EXPECT_EQ(libDirEntries(), std::vector<std::string>{"target.so"});

  Outcome show = stamp({"show", target.string()});
  if (c.showRefuses) {
    EXPECT_NE(show.exitCode, 0) << show.out;
    EXPECT_NE(show.err.find(c.message), std::string::npos)
        << "stderr: " << show.err;
  } else {
    EXPECT_EQ(show.exitCode, 0) << show.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Set, StampRefusal,
    ::testing::Values(
        // Options.
        Refusal{"CustomerIdAbove99999",
                builtLibrary,
                {"--customer-id", "100000", "--product-id", "1"},
                "99999"},
        Refusal{"ProductIdAbove99999",
                builtLibrary,
                {"--customer-id", "1", "--product-id", "100000"},
                "99999"},
        Refusal{"CustomerIdNotANumber",
                builtLibrary,
                {"--customer-id", "abc", "--product-id", "1"},
                "abc"},
        Refusal{"CustomerIdWithTrailingText",
                builtLibrary,
                {"--customer-id", "12x", "--product-id", "1"},
                "12x"},
        Refusal{"CustomerIdEmpty",
                builtLibrary,
                {"--customer-id", "", "--product-id", "1"},
                "--customer-id"},
        Refusal{"ProductIdNegative",
                builtLibrary,
                {"--customer-id", "1", "--product-id", "-1"},
                "negative"},
        Refusal{
            "ProductIdBeyond64Bits",
            builtLibrary,
            {"--customer-id", "1", "--product-id", "99999999999999999999999"},
            "--product-id"},
        Refusal{"FlagsBeyond32Bits", builtLibrary,
                idsAnd({"--flags", "4294967296"}), "--flags"},
        Refusal{"MaxCacheBeyondInt32", builtLibrary,
                idsAnd({"--max-cache", "2147483648"}), "--max-cache"},
        Refusal{"MaxLogNegative", builtLibrary, idsAnd({"--max-log", "-1"}),
                "--max-log"},
        Refusal{"Host128Characters", builtLibrary,
                idsAnd({"--host", std::string(128, 'h')}), "--host"},
        Refusal{"Suffix256Characters", builtLibrary,
                idsAnd({"--suffix", std::string(256, 's')}), "--suffix"},
        Refusal{"CustomerIdMissing",
                builtLibrary,
                {"--product-id", "1"},
                "--customer-id"},
        Refusal{"ProductIdMissing",
                builtLibrary,
                {"--customer-id", "1"},
                "--product-id"},
        Refusal{"UnknownOption", builtLibrary, idsAnd({"--colour", "red"}),
                "--colour"},
        Refusal{"OptionWithoutValue", builtLibrary, idsAnd({"--host"}),
                "--host"},
        // Files.
        Refusal{"TextFile", [] { return std::string(1000, 'x'); }, kIds, "ELF",
                true},
        Refusal{"ElfWithoutSection", [] { return readBytes("/bin/true"); },
                kIds, ".vorlan_stamp", true},
        Refusal{"ShorterThanElfHeader",
                [] { return builtLibrary().substr(0, 40); }, kIds, "ELF", true},
        Refusal{"TruncatedElf",
                [] {
                  std::string b = builtLibrary();
                  return b.substr(0, b.size() / 2);
                },
                kIds, "truncated", true},
        Refusal{"ThirtyTwoBitElf",
                [] {
                  std::string b = builtLibrary();
                  b[EI_CLASS] = ELFCLASS32;
                  return b;
                },
                kIds, "64-bit", true},
        Refusal{"WrongMagic", damagedLibrary<0, 0x20>, kIds, "magic", true},
        Refusal{"WrongLayoutVersion",
                damagedLibrary<offsetof(StampRecord, layoutVersion), 0x02>,
                kIds, "layout version", true},
        // Carrying the other fields of a damaged record over would bless
        // them with a fresh checksum.
        Refusal{"DamagedRecord",
                damagedLibrary<offsetof(StampRecord, host), 0x01>, kIds,
                "checksum"},
        // Hostile section headers.
        Refusal{"SectionTooSmall",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[2].sh_size = sizeof(StampRecord) - 1;
                  });
                },
                kIds, "too small", true},
        Refusal{"SectionWithoutContent",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[2].sh_type = SHT_NOBITS;
                  });
                },
                kIds, "too small", true},
        Refusal{"SectionBeyondEnd",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[2].sh_offset = ~0ull - 100;
                  });
                },
                kIds, "beyond the end", true},
        Refusal{"SectionNameBeyondStringTable",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[2].sh_name = 0xffffff00u;
                  });
                },
                kIds, "broken", true},
        Refusal{"StringTableBeyondEnd",
                [] {
                  return craftElf(
                      [](Elf64_Ehdr&, Elf64_Shdr* s) { s[1].sh_size = ~0ull; });
                },
                kIds, "broken", true},
        Refusal{"StringTableWithoutTerminator",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[1].sh_size = 14;  // cuts ".vorlan_stamp" short
                  });
                },
                kIds, "broken", true},
        Refusal{"StringTableIndexOutOfRange",
                [] {
                  return craftElf(
                      [](Elf64_Ehdr& e, Elf64_Shdr*) { e.e_shstrndx = 3; });
                },
                kIds, "broken", true},
        Refusal{"SectionHeadersBeyondEnd",
                [] {
                  return craftElf([](Elf64_Ehdr& e, Elf64_Shdr*) {
                    e.e_shoff = ~0ull - 8;
                  });
                },
                kIds, "truncated", true},
        Refusal{"TooManySections",
                [] {
                  return craftElf(
                      [](Elf64_Ehdr& e, Elf64_Shdr*) { e.e_shnum = 0xffff; });
                },
                kIds, "truncated", true},
        Refusal{"HugeExtendedSectionCount",
                [] {
                  return craftElf([](Elf64_Ehdr& e, Elf64_Shdr* s) {
                    e.e_shnum = 0;
                    s[0].sh_size = ~0ull / 8;
                  });
                },
                kIds, "truncated", true},
        Refusal{"ShortSectionHeaderEntries",
                [] {
                  return craftElf([](Elf64_Ehdr& e, Elf64_Shdr*) {
                    e.e_shentsize = sizeof(Elf64_Shdr) - 8;
                  });
                },
                kIds, "broken", true},
        Refusal{"TwoStampSections",
                [] {
                  return craftElf([](Elf64_Ehdr&, Elf64_Shdr* s) {
                    s[1].sh_name = 11;  // names the string table the same
                  });
                },
                kIds, "more than one", true}),
    caseName<Refusal>);

// --- A damaged record stops the library from opening ------------------------

struct DamageCase {
  const char* name;
  std::size_t offset;  // of the flipped byte in the record
};

class StampDamage : public StampTest,
                    public ::testing::WithParamInterface<DamageCase> {};

TEST_P(StampDamage, LibraryRefusesToOpen) {
  fs::path library = copyLibrary();
  Outcome set = stamp({"set", library.string(), "--customer-id", "21474",
                       "--product-id", "83648"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  Outcome good = probe(library);
  ASSERT_EQ(good.exitCode, 0) << good.out << good.err;

  std::string bytes = readBytes(library);
  std::optional<std::size_t> at = recordOffset(bytes);
  ASSERT_TRUE(at);
  bytes[*at + GetParam().offset] ^= static_cast<char>(0xff);
  writeBytes(library, bytes);

  Outcome bad = probe(library);
  EXPECT_EQ(bad.exitCode, 1) << bad.err;
  EXPECT_EQ(bad.out, "KestLibOpen: -7115\n");
}

INSTANTIATE_TEST_SUITE_P(
    Record, StampDamage,
    ::testing::Values(
        DamageCase{"Magic", 0},
        DamageCase{"LayoutVersion", offsetof(StampRecord, layoutVersion)},
        DamageCase{"CustomerId", offsetof(StampRecord, customerId)},
        DamageCase{"ProductId", offsetof(StampRecord, productId) + 3},
        DamageCase{"Flags", offsetof(StampRecord, flags)},
        DamageCase{"MaxCacheSize", offsetof(StampRecord, maxCacheSize)},
        DamageCase{"MaxLogSize", offsetof(StampRecord, maxLogSize) + 1},
        DamageCase{"Host", offsetof(StampRecord, host)},
        DamageCase{"HostPadding", offsetof(StampRecord, host) + 127},
        DamageCase{"SuffixPadding", offsetof(StampRecord, suffix) + 255},
        DamageCase{"Checksum", offsetof(StampRecord, checksum) + 7}),
    caseName<DamageCase>);

}  // namespace
}  // namespace vorlan
