// libFuzzer target: utf8Check never reads past the terminator (the text is
// given exactly as many bytes as it needs, so AddressSanitizer sees any
// overread) and agrees, result and dump, with a reference check written
// from code points rather than byte ranges.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/helpers.h"

namespace {

// The sequence length a lead byte asks for (0: it cannot begin one).
int leadLength(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC0 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF7) return 4;
  return 0;
}

// Reference: decode the code point and judge it.
bool acceptable(const unsigned char* s, int length) {
  if (length == 1)
    return s[0] >= 0x20 || s[0] == 0x09 || s[0] == 0x0A || s[0] == 0x0D;
  std::uint32_t cp = s[0] & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return false;
    cp = cp << 6 | (s[i] & 0x3F);
  }
  static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[length]) return false;
  if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  if (cp == 0xFFFE || cp == 0xFFFF) return false;
  return cp <= 0x10FFFF;
}

int reference(const unsigned char* s, std::string* dump) {
  while (*s != 0) {
    int length = leadLength(*s);
    if (length != 0 && acceptable(s, length)) {
      s += length;
      continue;
    }
    for (int i = 0; i < length && s[i] != 0; ++i) {
      char entry[8];
      std::snprintf(entry, sizeof entry, "0x%02X ", s[i]);
      *dump += entry;
    }
    return -3655;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  char* text = static_cast<char*>(std::malloc(length + 1));
  std::memcpy(text, data, length);
  text[length] = '\0';

  std::string expected;
  int expectedRc =
      reference(reinterpret_cast<const unsigned char*>(text), &expected);
  char* dump = nullptr;
  int rc = vorlan::utf8Check(text, &dump);
  if (rc != expectedRc || vorlan::utf8Check(text, nullptr) != expectedRc)
    std::abort();
  if (rc == -3655 && (dump == nullptr || expected != dump)) std::abort();
  if (rc == 0 && dump != nullptr) std::abort();
  std::free(dump);
  std::free(text);
  return 0;
}
