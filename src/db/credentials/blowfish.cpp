#include "db/credentials/blowfish.h"

#include <cstring>

namespace kvr {

namespace {

uint32_t LoadBE(const uint8_t* b) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

void StoreBE(uint32_t v, uint8_t* b) {
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

// Wipes memory in a way the optimiser does not drop.
void SecureZero(void* p, size_t n) {
  volatile uint8_t* q = static_cast<volatile uint8_t*>(p);
  while (n--) *q++ = 0;
}

}  // namespace

Blowfish::Blowfish(std::string_view key) {
  std::memcpy(p_, blowfish_tables::kInitP, sizeof p_);
  std::memcpy(s_, blowfish_tables::kInitS, sizeof s_);
  if (!key.empty()) {
    // The key bytes, repeated cyclically, are XORed into the P-array.
    size_t j = 0;
    for (uint32_t& word : p_) {
      uint32_t data = 0;
      for (int k = 0; k < 4; ++k) {
        data = (data << 8) | static_cast<uint8_t>(key[j]);
        j = (j + 1) % key.size();
      }
      word ^= data;
    }
  }
  uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    Encipher(&l, &r);
    p_[i] = l;
    p_[i + 1] = r;
  }
  for (auto& box : s_) {
    for (int i = 0; i < 256; i += 2) {
      Encipher(&l, &r);
      box[i] = l;
      box[i + 1] = r;
    }
  }
}

Blowfish::~Blowfish() { Clear(); }

void Blowfish::Clear() {
  SecureZero(p_, sizeof p_);
  SecureZero(s_, sizeof s_);
}

uint32_t Blowfish::F(uint32_t x) const {
  uint32_t h = s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF];
  return (h ^ s_[2][(x >> 8) & 0xFF]) + s_[3][x & 0xFF];
}

void Blowfish::Encipher(uint32_t* left, uint32_t* right) const {
  uint32_t l = *left, r = *right;
  for (int i = 0; i < 16; ++i) {
    l ^= p_[i];
    r ^= F(l);
    uint32_t t = l;
    l = r;
    r = t;
  }
  uint32_t t = l;
  l = r;
  r = t;
  r ^= p_[16];
  l ^= p_[17];
  *left = l;
  *right = r;
}

void Blowfish::Decipher(uint32_t* left, uint32_t* right) const {
  uint32_t l = *left, r = *right;
  for (int i = 17; i > 1; --i) {
    l ^= p_[i];
    r ^= F(l);
    uint32_t t = l;
    l = r;
    r = t;
  }
  uint32_t t = l;
  l = r;
  r = t;
  r ^= p_[1];
  l ^= p_[0];
  *left = l;
  *right = r;
}

void Blowfish::EncipherBlockBE(uint8_t block[8]) const {
  uint32_t l = LoadBE(block), r = LoadBE(block + 4);
  Encipher(&l, &r);
  StoreBE(l, block);
  StoreBE(r, block + 4);
}

void Blowfish::DecipherBlockBE(uint8_t block[8]) const {
  uint32_t l = LoadBE(block), r = LoadBE(block + 4);
  Decipher(&l, &r);
  StoreBE(l, block);
  StoreBE(r, block + 4);
}

}  // namespace kvr
