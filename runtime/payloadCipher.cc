#include "runtime/payloadCipher.h"

#include <apr_time.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "runtime/binhex.h"
#include "runtime/kestMem.h"

namespace vorlan {
namespace {

constexpr std::size_t kKeyLength = sizeof kCipherConstant - 1 + kSaltDigits;
constexpr std::uint64_t kSaltRange = 10000000000ull;  // 0 to 9 999 999 999

std::atomic<std::uint64_t> saltCounter{0};

// splitmix64: a small, well-mixed generator of the library's own.
std::uint64_t nextRandom(std::uint64_t* state) {
  std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

std::string newCipherSalt() {
  std::uint64_t state = static_cast<std::uint64_t>(apr_time_now()) ^
                        (saltCounter.fetch_add(1) * 0xD1B54A32D192ED03ull);
  std::string salt;
  while (salt.size() < kSaltDigits)
    salt += std::to_string(nextRandom(&state) % kSaltRange);
  salt.resize(kSaltDigits);
  return salt;
}

void scramblePayload(std::string* data, std::string_view salt) {
  unsigned char input[kKeyLength + 8];
  std::memcpy(input, kCipherConstant, sizeof kCipherConstant - 1);
  std::memcpy(input + sizeof kCipherConstant - 1, salt.data(), kSaltDigits);
  unsigned char block[SHA256_DIGEST_LENGTH];
  for (std::size_t j = 0; j < data->size(); ++j) {
    std::size_t at = j % sizeof block;
    if (at == 0) {
      std::uint64_t index = j / sizeof block;
      for (int b = 0; b < 8; ++b)
        input[kKeyLength + b] =
            static_cast<unsigned char>(index >> (56 - 8 * b));
      EVP_Digest(input, sizeof input, block, nullptr, EVP_sha256(), nullptr);
    }
    (*data)[j] = static_cast<char>((*data)[j] ^ block[at]);
  }
}

int payloadEncipherWithSalt(const char* plain, std::string_view salt,
                            char** out) {
  *out = nullptr;
  if (plain == nullptr) return -2022;
  std::size_t n = std::strlen(plain);
  if (n < 2) return -2018;
  if (salt.size() != kSaltDigits) return -2016;
  try {
    std::string data(plain, n);
    scramblePayload(&data, salt);
    std::string text;
    text.reserve(2 * n + 2 * kSaltDigits);
    appendHex(data, &text);
    appendHex(salt, &text);
    *out = copyCText(text.data(), text.size());
  } catch (const std::bad_alloc&) {
    return -2000;
  }
  return *out != nullptr ? 0 : -2000;
}

int payloadEncipher(const char* plain, char** out) {
  *out = nullptr;
  if (plain == nullptr) return -2022;
  try {
    return payloadEncipherWithSalt(plain, newCipherSalt(), out);
  } catch (const std::bad_alloc&) {
    return -2000;
  }
}

int payloadDecipher(std::string_view enciphered, std::string* plain) {
  plain->clear();
  if (enciphered.size() <= 2 * kSaltDigits) return -2016;
  try {
    std::string bytes = hexToBytes(enciphered);  // drops an odd last one
    std::string salt = bytes.substr(bytes.size() - kSaltDigits);
    if (salt.find('\0') != std::string::npos) return -2016;
    bytes.resize(bytes.size() - kSaltDigits);
    scramblePayload(&bytes, salt);
    *plain = std::move(bytes);
  } catch (const std::bad_alloc&) {
    return -2000;
  }
  return 0;
}

int payloadDecipher(const char* enciphered, char** out) {
  *out = nullptr;
  if (enciphered == nullptr) return -2022;
  std::string plain;
  if (int rc = payloadDecipher(std::string_view(enciphered), &plain); rc != 0)
    return rc;
  *out = copyCText(plain.data(), plain.size());
  return *out != nullptr ? 0 : -2000;
}

}  // namespace vorlan
