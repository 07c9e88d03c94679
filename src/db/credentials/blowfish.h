// Blowfish: the published 64-bit block cipher (16 rounds, P-array and
// S-boxes from the hexadecimal digits of pi, the standard key schedule),
// used for the values of the credential file in electronic-codebook mode.
//
// A Blowfish object holds one key schedule; the destructor and Clear() wipe
// it. Keys of 1 to 56 bytes are used as given (an empty key leaves the
// initial tables, which still gives a valid, if keyless, cipher). Nothing
// fails or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvr {

namespace blowfish_tables {
extern const uint32_t kInitP[18];
extern const uint32_t kInitS[4][256];
}  // namespace blowfish_tables

class Blowfish {
 public:
  explicit Blowfish(std::string_view key);
  ~Blowfish();
  Blowfish(const Blowfish&) = delete;
  Blowfish& operator=(const Blowfish&) = delete;

  // One block as two 32-bit halves, changed in place.
  void Encipher(uint32_t* left, uint32_t* right) const;
  void Decipher(uint32_t* left, uint32_t* right) const;

  // One 8-byte block with the halves read and written big-endian (the byte
  // order of the published test vectors).
  void EncipherBlockBE(uint8_t block[8]) const;
  void DecipherBlockBE(uint8_t block[8]) const;

  // Wipes the key schedule (all words zero).
  void Clear();

 private:
  uint32_t F(uint32_t x) const;

  uint32_t p_[18];
  uint32_t s_[4][256];
};

}  // namespace kvr
