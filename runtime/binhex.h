// Bytes to lower-case hexadecimal and back.
#ifndef VORLAN_RUNTIME_BINHEX_H
#define VORLAN_RUNTIME_BINHEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlan {

// *out gets a malloc() buffer of exactly 2n characters ("0123456789abcdef",
// high nibble first) and no terminator. Returns 2n, or -3000 (out null)
// when memory runs out or n is negative.
int bin2hex(std::int32_t n, const unsigned char* bytes, char** out);

// Appends the hexadecimal form of `bytes` to `out`.
void appendHex(std::string_view bytes, std::string* out);

// Decodes hexadecimal pairs; a character that is not a hex digit counts as
// the nibble 0. An odd last character is dropped.
std::string hexToBytes(std::string_view hex);

}  // namespace vorlan

#endif
