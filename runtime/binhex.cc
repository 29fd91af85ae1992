#include "runtime/binhex.h"

#include <cstdlib>

namespace vorlan {
namespace {

constexpr char kHex[] = "0123456789abcdef";

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

int bin2hex(std::int32_t n, const unsigned char* bytes, char** out) {
  *out = nullptr;
  if (n < 0) return -3000;
  // One byte more than needed, so that zero bytes still get a buffer.
  auto* hex =
      static_cast<char*>(std::malloc(2 * static_cast<std::size_t>(n) + 1));
  if (hex == nullptr) return -3000;
  for (std::int32_t i = 0; i < n; ++i) {
    hex[2 * i] = kHex[bytes[i] >> 4];
    hex[2 * i + 1] = kHex[bytes[i] & 15];
  }
  *out = hex;
  return 2 * n;
}

void appendHex(std::string_view bytes, std::string* out) {
  out->reserve(out->size() + 2 * bytes.size());
  for (unsigned char b : bytes) {
    out->push_back(kHex[b >> 4]);
    out->push_back(kHex[b & 15]);
  }
}

std::string hexToBytes(std::string_view hex) {
  std::string bytes(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] =
        static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  return bytes;
}

}  // namespace vorlan
