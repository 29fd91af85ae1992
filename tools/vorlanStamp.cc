// vorlan-stamp: shows or rewrites the identity record of a built
// libVorlan.so, so one build can be handed to several customers without
// recompiling.
//
//   vorlan-stamp show FILE
//   vorlan-stamp set FILE --customer-id N --product-id N [--flags N]
//                [--max-cache N] [--max-log N] [--host H] [--suffix S]
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "frame/stampRecord.h"

namespace vorlan {
namespace {

constexpr const char* kUsage =
    "usage: vorlan-stamp show FILE\n"
    "       vorlan-stamp set FILE --customer-id N --product-id N [--flags N]\n"
    "                    [--max-cache N] [--max-log N] [--host H] "
    "[--suffix S]\n";

// Bad command lines get the usage text; everything else just the message.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// True when [offset, offset + length) lies inside a buffer of `size`
// bytes; written so that no sum can overflow on hostile header values.
bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::vector<char> readFile(const std::string& path, mode_t* mode) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure(systemError("cannot open", path));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) throw Failure(systemError("cannot stat", path));
  // Anything but a regular file (a device, a pipe) cannot be replaced by
  // rename() and may never end.
  if (!S_ISREG(st.st_mode)) throw Failure(path + " is not a regular file");
  *mode = st.st_mode & 07777;
  // Read to the end rather than to the size fstat() saw, so that a file
  // that grows meanwhile is not written back cut short.
  std::vector<char> content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(systemError("cannot read", path));
    if (n == 0) break;
    content.insert(content.end(), chunk, chunk + n);
  }
  return content;
}

// The section header at `index`, copied out because the file buffer has
// no alignment guarantee.
Elf64_Shdr sectionHeader(const std::vector<char>& file, const Elf64_Ehdr& eh,
                         std::uint64_t index) {
  Elf64_Shdr sh;
  std::memcpy(&sh, file.data() + eh.e_shoff + index * eh.e_shentsize,
              sizeof sh);
  return sh;
}

// The file offset of the stamp record.
std::size_t findStamp(const std::vector<char>& file, const std::string& path) {
  const std::string notElf = path + " is not a 64-bit ELF file of this host";
  Elf64_Ehdr eh;
  if (file.size() < sizeof eh) throw Failure(notElf + " (too short)");
  std::memcpy(&eh, file.data(), sizeof eh);
  // Records and headers are read in the host's byte order, so a library of
  // the other order cannot be handled.
  constexpr unsigned char kHostData =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != kHostData)
    throw Failure(notElf);
  const std::string broken = path + ": broken ELF section headers";
  if (eh.e_shoff == 0)
    throw Failure(path + " has no section headers (stripped of them?)");
  const std::string truncated =
      path + ": section headers past the end (truncated file?)";
  if (eh.e_shentsize < sizeof(Elf64_Shdr)) throw Failure(broken);
  if (!inside(eh.e_shoff, eh.e_shentsize, file.size()))
    throw Failure(truncated);
  // With many sections the real count and string table index move into
  // the first header.
  Elf64_Shdr first = sectionHeader(file, eh, 0);
  std::uint64_t count = eh.e_shnum != 0 ? eh.e_shnum : first.sh_size;
  std::uint64_t names =
      eh.e_shstrndx != SHN_XINDEX ? eh.e_shstrndx : first.sh_link;
  // The first test keeps the product below from overflowing.
  if (count > file.size() / eh.e_shentsize ||
      !inside(eh.e_shoff, count * eh.e_shentsize, file.size()))
    throw Failure(truncated);
  if (names == SHN_UNDEF || names >= count) throw Failure(broken);
  Elf64_Shdr strtab = sectionHeader(file, eh, names);
  if (strtab.sh_type == SHT_NOBITS ||
      !inside(strtab.sh_offset, strtab.sh_size, file.size()))
    throw Failure(broken);
  const char* table = file.data() + strtab.sh_offset;

  std::optional<Elf64_Shdr> found;
  for (std::uint64_t i = 1; i < count; ++i) {
    Elf64_Shdr sh = sectionHeader(file, eh, i);
    if (sh.sh_name >= strtab.sh_size) throw Failure(broken);
    // The name must end inside the table, not run off its end.
    const char* name = table + sh.sh_name;
    std::size_t room = strtab.sh_size - sh.sh_name;
    if (std::memchr(name, '\0', room) == nullptr) throw Failure(broken);
    if (std::strcmp(name, kStampSection) != 0) continue;
    if (found)
      throw Failure(path + " has more than one " + kStampSection + " section");
    found = sh;
  }
  if (!found) throw Failure(path + " has no " + kStampSection + " section");
  if (found->sh_type == SHT_NOBITS || found->sh_size < sizeof(StampRecord))
    throw Failure(path + ": the " + kStampSection + " section is too small");
  if (!inside(found->sh_offset, found->sh_size, file.size()))
    throw Failure(path + ": the " + kStampSection +
                  " section lies beyond the end of the file");
  return static_cast<std::size_t>(found->sh_offset);
}

StampRecord readStamp(const std::vector<char>& file, std::size_t offset,
                      const std::string& path) {
  StampRecord r;
  std::memcpy(&r, file.data() + offset, sizeof r);
  // Another magic or layout means the fields below cannot be trusted to be
  // where this tool expects them.
  if (std::memcmp(r.magic, kStampMagic, sizeof r.magic) != 0)
    throw Failure(path + ": the stamp record has the wrong magic");
  if (r.layoutVersion != kStampLayoutVersion)
    throw Failure(path + ": the stamp record has layout version " +
                  std::to_string(r.layoutVersion) + ", this tool knows " +
                  std::to_string(kStampLayoutVersion));
  return r;
}

// What the library reads from a text field: at most its width less one.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
  return {field, strnlen(field, N - 1)};
}

void printStamp(const StampRecord& r) {
  std::printf("magic: %.*s\n", static_cast<int>(fieldText(r.magic).size()),
              r.magic);
  std::printf("layout-version: %" PRIu32 "\n", r.layoutVersion);
  std::printf("customer-id: %" PRIu32 "\n", r.customerId);
  std::printf("product-id: %" PRIu32 "\n", r.productId);
  std::printf("flags: %" PRIu32 "\n", r.flags);
  std::printf("max-cache: %" PRId32 "\n", r.maxCacheSize);
  std::printf("max-log: %" PRId32 "\n", r.maxLogSize);
  std::string_view host = fieldText(r.host), suffix = fieldText(r.suffix);
  std::printf("host: %.*s\n", static_cast<int>(host.size()), host.data());
  std::printf("suffix: %.*s\n", static_cast<int>(suffix.size()), suffix.data());
  std::printf("checksum: 0x%016" PRIx64 "\n", r.checksum);
  std::printf("checksum-valid: %s\n",
              r.checksum == stampChecksum(r) ? "yes" : "no");
}

// A decimal number from 0 to `max`; signs, spaces and other bases are
// refused so that a typo cannot become a different identity.
std::uint32_t parseNumber(std::string_view option, std::string_view text,
                          std::uint32_t max) {
  const std::string where = std::string(option) + ": \"" + std::string(text);
  if (!text.empty() && text[0] == '-') throw Failure(where + "\" is negative");
  std::uint64_t value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range ||
      (ec == std::errc() && value > max))
    throw Failure(where + "\" is above " + std::to_string(max));
  if (ec != std::errc() || end != text.data() + text.size())
    throw Failure(where + "\" is not a decimal number");
  return static_cast<std::uint32_t>(value);
}

template <std::size_t N>
void setText(char (&field)[N], std::string_view option, std::string_view text) {
  if (text.size() > N - 1)
    throw Failure(std::string(option) + ": " + std::to_string(text.size()) +
                  " characters, at most " + std::to_string(N - 1) + " fit");
  // Padding with NULs keeps the checksum independent of old contents.
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size());
}

void writeAll(int fd, const std::vector<char>& content,
              const std::string& path) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(systemError("cannot write", path));
    done += static_cast<std::size_t>(n);
  }
}

// Replaces `path` by `content` so that a reader, or a crash, sees either
// the old file or the new one, never a mixture.
void replaceFile(const std::string& path, const std::vector<char>& content,
                 mode_t mode) {
  // The temporary must be in the same directory: rename() does not cross
  // file systems. `path` is absolute, so it has a slash.
  std::string::size_type slash = path.rfind('/');
  std::string dir = path.substr(0, slash);
  std::string temp = dir + "/." + path.substr(slash + 1) + ".stamp-XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0)
    throw Failure(systemError("cannot create a temporary file in", dir));
  struct Temporary {
    const std::string& path;
    int fd;
    bool renamed = false;
    ~Temporary() {
      if (fd >= 0) close(fd);
      if (!renamed) unlink(path.c_str());
    }
  } guard{temp, fd};
  writeAll(fd, content, temp);
  if (fchmod(fd, mode) != 0) throw Failure(systemError("cannot chmod", temp));
  if (fsync(fd) != 0) throw Failure(systemError("cannot sync", temp));
  guard.fd = -1;
  if (close(fd) != 0) throw Failure(systemError("cannot close", temp));
  if (rename(temp.c_str(), path.c_str()) != 0)
    throw Failure(systemError("cannot rename over", path));
  guard.renamed = true;
  // The new file is in place; syncing the directory makes the rename
  // itself survive a crash, but its failure does not undo the stamp.
  int dirFd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd < 0 || fsync(dirFd) != 0)
    std::fprintf(stderr, "vorlan-stamp: warning: cannot sync directory %s\n",
                 dir.c_str());
  if (dirFd >= 0) close(dirFd);
}

int show(const std::vector<std::string_view>& args) {
  if (args.size() != 1) throw UsageError("show takes exactly one FILE");
  std::string path(args[0]);
  mode_t mode;
  std::vector<char> file = readFile(path, &mode);
  printStamp(readStamp(file, findStamp(file, path), path));
  return 0;
}

int set(const std::vector<std::string_view>& args) {
  std::optional<std::string> path;
  std::map<std::string_view, std::string_view> options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!args[i].starts_with("--")) {
      if (path) throw UsageError("set takes exactly one FILE");
      path = std::string(args[i]);
      continue;
    }
    if (i + 1 == args.size())
      throw UsageError(std::string(args[i]) + " needs a value");
    if (!options.emplace(args[i], args[i + 1]).second)
      throw UsageError(std::string(args[i]) + " given twice");
    ++i;
  }
  if (!path) throw UsageError("set needs a FILE");
  for (const char* required : {"--customer-id", "--product-id"})
    if (!options.contains(required))
      throw UsageError(std::string(required) + " is required");

  // Every value is checked before the file is touched.
  StampRecord changes{};
  auto applyTo = [&](StampRecord& r) {
    for (auto [option, value] : options) {
      if (option == "--customer-id")
        r.customerId = parseNumber(option, value, kStampMaxId);
      else if (option == "--product-id")
        r.productId = parseNumber(option, value, kStampMaxId);
      else if (option == "--flags")
        r.flags = parseNumber(option, value, UINT32_MAX);
      else if (option == "--max-cache")
        r.maxCacheSize =
            static_cast<std::int32_t>(parseNumber(option, value, INT32_MAX));
      else if (option == "--max-log")
        r.maxLogSize =
            static_cast<std::int32_t>(parseNumber(option, value, INT32_MAX));
      else if (option == "--host")
        setText(r.host, option, value);
      else if (option == "--suffix")
        setText(r.suffix, option, value);
      else
        throw UsageError("unknown option " + std::string(option));
    }
  };
  applyTo(changes);

  // Symbolic links are followed so that the link stays and its target is
  // stamped; the temporary then lands next to the target.
  char* real = realpath(path->c_str(), nullptr);
  if (real == nullptr) throw Failure(systemError("cannot resolve", *path));
  std::string target(real);
  std::free(real);
  mode_t mode;
  std::vector<char> file = readFile(target, &mode);
  std::size_t offset = findStamp(file, *path);
  StampRecord record = readStamp(file, offset, *path);
  // Fields not given are carried over; from a damaged record they would be
  // sealed with a fresh checksum and pass as genuine.
  if (record.checksum != stampChecksum(record))
    throw Failure(*path +
                  ": the stamp record's checksum is not valid (damaged "
                  "file?); rebuild the library instead");
  applyTo(record);
  record.checksum = stampChecksum(record);
  std::memcpy(file.data() + offset, &record, sizeof record);

  replaceFile(target, file, mode);
  std::printf("%s: customer-id %" PRIu32 ", product-id %" PRIu32
              ", checksum 0x%016" PRIx64 "\n",
              path->c_str(), record.customerId, record.productId,
              record.checksum);
  return 0;
}

int run(const std::vector<std::string_view>& args) {
  if (args.empty()) throw UsageError("no command given");
  std::vector<std::string_view> rest(args.begin() + 1, args.end());
  if (args[0] == "show") return show(rest);
  if (args[0] == "set") return set(rest);
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  throw UsageError("unknown command " + std::string(args[0]));
}

}  // namespace
}  // namespace vorlan

int main(int argc, char** argv) {
  try {
    int rc = vorlan::run({argv + 1, argv + argc});
    // A full disk or closed pipe must not pass for a printed stamp.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      throw vorlan::Failure("cannot write the output");
    return rc;
  } catch (const vorlan::UsageError& e) {
    std::fprintf(stderr, "vorlan-stamp: %s\n%s", e.what(), vorlan::kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorlan-stamp: %s\n", e.what());
    return 1;
  }
}
