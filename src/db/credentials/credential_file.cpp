#include "db/credentials/credential_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "core/text.h"
#include "db/credentials/blowfish.h"
#include "platform/env.h"

namespace kvr {

namespace {

// Reads lines from the file's text like fgets(buf, max + 1, f) on a file
// opened in text mode: at most max characters, ending after a line feed;
// a too-long line goes on as the next line. A carriage return before a line
// feed is dropped. The line ends at its first zero byte, as a C text would.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  std::optional<std::string> Next(size_t max) {
    if (pos_ >= text_.size()) return std::nullopt;
    std::string line;
    while (pos_ < text_.size() && line.size() < max) {
      char c = text_[pos_];
      if (c == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') {
        ++pos_;
        continue;
      }
      line.push_back(c);
      ++pos_;
      if (c == '\n') break;
    }
    size_t nul = line.find('\0');
    if (nul != std::string::npos) line.resize(nul);
    return line;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

int HexDigit(char c) {
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return static_cast<signed char>(c) - '0';
}

CredentialEntry CutRecord(const std::string& line1, const std::string& line2) {
  CredentialEntry e;
  int s1 = NthPosition(line1, ';', 1);
  int s2 = NthPosition(line1, ';', 2);
  e.section = CopyField(line1, s1 + 1, s2 - s1 - 1);
  int t1 = NthPosition(line2, ';', 1);
  int t2 = NthPosition(line2, ';', 2);
  e.number = LeadingNumber32(CopyField(line2, 0, t1));
  e.key = CopyField(line2, t1 + 1, t2 - t1 - 1);
  int valueLength = 0;
  if (t2 >= 0) valueLength = NthPosition(line2, '\n', 1) - t2 - 1;
  e.value = CopyField(line2, t2 + 1, valueLength);
  return e;
}

}  // namespace

int NthPosition(std::string_view text, char c, int n) {
  int found = -1;
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != c) continue;
    found = static_cast<int>(i);
    if (++count == n) break;
  }
  return found;
}

std::string CopyField(std::string_view text, int start, int length) {
  if (length < 0 || start < 0 || static_cast<size_t>(start) > text.size()) return {};
  std::string_view rest = text.substr(static_cast<size_t>(start));
  if (length == 0) return std::string(rest);
  return std::string(rest.substr(0, static_cast<size_t>(length)));
}

std::string DecipherCredentialValue(std::string_view hex) {
  Blowfish cipher(kCredentialKey);
  std::string out;
  for (size_t start = 0; start < hex.size(); start += 16) {
    uint8_t b[8];
    for (size_t j = 0; j < 8; ++j) {
      size_t hi = start + 2 * j, lo = hi + 1;
      int h = hi < hex.size() ? HexDigit(hex[hi]) : 0;
      int l = lo < hex.size() ? HexDigit(hex[lo]) : 0;
      b[j] = static_cast<uint8_t>((h * 16 + l) & 0xFF);
    }
    uint32_t left = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    uint32_t right = b[4] | (uint32_t{b[5]} << 8) | (uint32_t{b[6]} << 16) | (uint32_t{b[7]} << 24);
    cipher.Decipher(&left, &right);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((left >> (8 * k)) & 0xFF));
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((right >> (8 * k)) & 0xFF));
  }
  size_t nul = out.find('\0');
  if (nul != std::string::npos) out.resize(nul);
  return out;
}

std::string EncipherCredentialValue(std::string_view plain) {
  size_t nul = plain.find('\0');
  if (nul != std::string_view::npos) plain = plain.substr(0, nul);
  std::string padded(plain);
  // An empty value still gets one block: an empty field behind the second
  // semicolon would be read to the end of the line, line end included.
  padded.resize(padded.empty() ? 8 : (padded.size() + 7) / 8 * 8, '\0');
  Blowfish cipher(kCredentialKey);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = 0; i < padded.size(); i += 8) {
    const auto* b = reinterpret_cast<const uint8_t*>(padded.data() + i);
    uint32_t left = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    uint32_t right = b[4] | (uint32_t{b[5]} << 8) | (uint32_t{b[6]} << 16) | (uint32_t{b[7]} << 24);
    cipher.Encipher(&left, &right);
    for (uint32_t half : {left, right}) {
      for (int k = 0; k < 4; ++k) {
        uint8_t byte = static_cast<uint8_t>(half >> (8 * k));
        hex.push_back(kHex[byte >> 4]);
        hex.push_back(kHex[byte & 0xF]);
      }
    }
  }
  return hex;
}

bool FormatCredentialFile(const CredentialSet& v, std::string* text, std::string* error) {
  struct Item {
    const char* key;
    std::string value;
    bool mayBeEmpty;
  };
  const Item items[] = {{"NET8", v.service, false},
                        {"SCHEMA", v.schema.empty() ? std::string() : v.schema + ".", false},
                        {"LOGIN", v.login, false},
                        {"PASS", v.password, true},
                        {"DB_SYSTEM", v.dbSystem, false}};
  std::string out;
  int number = 1;
  for (const Item& item : items) {
    if (item.value.find('\0') != std::string::npos) {
      if (error) *error = std::string("the value for ") + item.key + " holds a zero byte";
      return false;
    }
    if (item.value.empty() && !item.mayBeEmpty) {
      if (error) *error = std::string("no value given for ") + item.key;
      return false;
    }
    std::string line = std::to_string(number++) + ";" + item.key + ";" +
                       EncipherCredentialValue(item.value) + "\n";
    if (line.size() > kCredentialLine2Max) {
      if (error) *error = std::string("the value for ") + item.key + " is too long";
      return false;
    }
    out += ";VELTRONIA;\n";
    out += line;
  }
  *text = std::move(out);
  return true;
}

CredentialEntry ReadCredentialEntry(Env& env, std::string_view section, std::string_view key,
                                    int32_t number, const std::string& path) {
  std::optional<std::string> content = env.ReadFile(path);
  if (!content) return {};
  LineReader reader(*content);
  for (;;) {
    std::optional<std::string> line1 = reader.Next(kCredentialLine1Max);
    if (!line1) return {};
    std::optional<std::string> line2 = reader.Next(kCredentialLine2Max);
    if (!line2) return {};
    CredentialEntry e = CutRecord(*line1, *line2);
    if (e.section == section || e.key == key || e.number == number) {
      e.value = DecipherCredentialValue(e.value);
      return e;
    }
  }
}

CredentialSet ReadCredentialSet(Env& env, const std::string& path) {
  auto read = [&](std::string_view key) {
    return ReadCredentialEntry(env, "", key, 0, path).value;
  };
  CredentialSet set;
  set.service = read("NET8");
  set.schema = read("SCHEMA");
  if (!set.schema.empty()) set.schema.pop_back();
  set.login = read("LOGIN");
  set.password = read("PASS");
  set.dbSystem = read("DB_SYSTEM");
  return set;
}

}  // namespace kvr
