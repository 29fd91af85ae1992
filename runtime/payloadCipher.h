// The payload cipher: a reversible scrambling into hexadecimal text with an
// 18-digit salt, for SOAP payloads and results and for store files. The
// service implements the same definition:
//   key       = library constant (18 digits) + salt (18 digits), 36 bytes
//   keystream = SHA-256(key || i) for i = 0, 1, 2, ... (i as 8 bytes, big
//               endian), concatenated
//   scrambled byte j = plain byte j XOR keystream byte j
//   text      = hex(scrambled) + hex(salt), lower case: 2n + 36 characters
#ifndef VORLAN_RUNTIME_PAYLOADCIPHER_H
#define VORLAN_RUNTIME_PAYLOADCIPHER_H

#include <string>
#include <string_view>

namespace vorlan {

inline constexpr char kCipherConstant[] = "739104826351907264";
inline constexpr std::size_t kSaltDigits = 18;

// 18 decimal digits from the library's own generator, seeded with the
// microsecond clock and a per-process counter; never the C library's rand.
// Any thread.
std::string newCipherSalt();

// XORs `data` in place with the keystream of `salt` (18 characters).
void scramblePayload(std::string* data, std::string_view salt);

// *out gets a malloc() text: 0; -2022 null text; -2018 shorter than two
// bytes; -2000 memory. Any thread.
int payloadEncipher(const char* plain, char** out);

// Same, with the salt given (known-answer tests).
int payloadEncipherWithSalt(const char* plain, std::string_view salt,
                            char** out);

// *out gets a malloc(), NUL-terminated plain text: 0; -2022 null input;
// -2016 36 characters or fewer, or a salt holding a NUL byte; -2000
// memory. An odd last character is ignored; non-hex characters count as 0.
int payloadDecipher(const char* enciphered, char** out);

// The same over std::string, for internal callers; same codes.
int payloadDecipher(std::string_view enciphered, std::string* plain);

}  // namespace vorlan

#endif
