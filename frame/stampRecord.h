// The stored form of the library identity: one fixed-layout record in the
// ELF section ".vorlan_stamp" of libVorlan.so. vorlan-stamp rewrites it in a
// built library; the library checks it when it opens.
#ifndef VORLAN_FRAME_STAMPRECORD_H
#define VORLAN_FRAME_STAMPRECORD_H

#include <cstddef>
#include <cstdint>

namespace vorlan {

inline constexpr char kStampSection[] = ".vorlan_stamp";
inline constexpr char kStampMagic[16] = "VORLAN-STAMP";
inline constexpr std::uint32_t kStampLayoutVersion = 1;
inline constexpr std::uint32_t kStampMaxId = 99999;

struct StampRecord {
  char magic[16];
  std::uint32_t layoutVersion;
  std::uint32_t customerId;
  std::uint32_t productId;
  std::uint32_t flags;
  std::int32_t maxCacheSize;
  std::int32_t maxLogSize;
  char host[128];          // up to 127 characters, NUL-padded
  char suffix[256];        // up to 255 characters, NUL-padded
  std::uint64_t checksum;  // stampChecksum() of everything above
};
static_assert(sizeof(StampRecord) == 432);
static_assert(offsetof(StampRecord, checksum) == 424);

namespace stamp_detail {
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

constexpr std::uint64_t mixByte(std::uint64_t h, unsigned char b) {
  return (h ^ b) * kFnvPrime;
}
constexpr std::uint64_t mixText(std::uint64_t h, const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    h = mixByte(h, static_cast<unsigned char>(s[i]));
  return h;
}
constexpr std::uint64_t mixWord(std::uint64_t h, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    h = mixByte(h, static_cast<unsigned char>(v >> (8 * i)));
  return h;
}
}  // namespace stamp_detail

// FNV-1a (64 bits) over the fields in order, integers as four bytes little
// endian, text fields over their whole width.
constexpr std::uint64_t stampChecksum(const StampRecord& r) {
  using namespace stamp_detail;
  std::uint64_t h = kFnvOffset;
  h = mixText(h, r.magic, sizeof r.magic);
  h = mixWord(h, r.layoutVersion);
  h = mixWord(h, r.customerId);
  h = mixWord(h, r.productId);
  h = mixWord(h, r.flags);
  h = mixWord(h, static_cast<std::uint32_t>(r.maxCacheSize));
  h = mixWord(h, static_cast<std::uint32_t>(r.maxLogSize));
  h = mixText(h, r.host, sizeof r.host);
  h = mixText(h, r.suffix, sizeof r.suffix);
  return h;
}

// True when magic, layout version, checksum and both IDs are valid.
constexpr bool stampRecordValid(const StampRecord& r) {
  for (std::size_t i = 0; i < sizeof r.magic; ++i)
    if (r.magic[i] != kStampMagic[i]) return false;
  return r.layoutVersion == kStampLayoutVersion &&
         r.checksum == stampChecksum(r) && r.customerId <= kStampMaxId &&
         r.productId <= kStampMaxId;
}

}  // namespace vorlan

#endif
