// Credential file: finds one entry of the product's shared credential file
// and returns its deciphered value.
//
// The file is a text file of two-line records: the first line holds the
// section between its first and second semicolon, the second line
// "number;key;value" with the value as upper-case hexadecimal text of
// Blowfish blocks (key "KWQZRPL", electronic-codebook mode, halves read
// little-endian). A record is taken when its section, its key or its number
// equals the one asked for; the first such record wins. A missing file, a
// missing entry or an unreadable value gives an empty value (number 0);
// nothing is logged and nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvr {

class Env;

struct CredentialEntry {
  std::string section, key;
  int32_t number = 0;
  std::string value;  // deciphered, up to its first zero byte
};

// The cipher key of the credential file.
inline constexpr std::string_view kCredentialKey = "KWQZRPL";
// Read limits of the two lines of a record, line end included.
inline constexpr size_t kCredentialLine1Max = 199;
inline constexpr size_t kCredentialLine2Max = 399;
// The longest deciphered value a record can give: its second line holds
// fewer than 400 hexadecimal digits, at most 25 blocks of 8 bytes.
inline constexpr size_t kMaxCredentialValue = (kCredentialLine2Max + 1) / 16 * 8;

CredentialEntry ReadCredentialEntry(Env& env, std::string_view section, std::string_view key,
                                    int32_t number, const std::string& path);

// Deciphers a hexadecimal value. A last block of fewer than 16 characters
// is completed with '0' digits; nothing beyond the value is read.
std::string DecipherCredentialValue(std::string_view hex);

// Enciphers a value for the credential file: the text up to its first zero
// byte, padded with zero bytes to a multiple of 8, as upper-case hex. An
// empty text gives one block of zero bytes (an empty field would read as
// the rest of its line).
std::string EncipherCredentialValue(std::string_view plain);

// What the operator's tool writes into a credential file.
struct CredentialSet {
  std::string service, schema, login, password, dbSystem = "ORACLE";

  // The database word in program file names: DB_SYSTEM as read, with
  // "MSSQL" given as "SQLSERVER".
  std::string programDbWord() const { return dbSystem == "MSSQL" ? "SQLSERVER" : dbSystem; }
};

// Reads the set back as the controller takes it (keys asked with an empty
// section and number 0; the schema without its last character; a missing
// key reads as empty, DB_SYSTEM included).
CredentialSet ReadCredentialSet(Env& env, const std::string& path);

// Builds the text of a credential file from which the controller reads back
// exactly these values (keys NET8, SCHEMA, LOGIN, PASS, DB_SYSTEM asked with
// an empty section and number 0): every record carries the section
// "VELTRONIA" and a number from 1 on, so no record is taken for a key other
// than its own, and the schema is written with one character appended, as
// the controller drops the schema's last character. False with *error set
// (never holding the password) when a value is empty where it must not be,
// holds a zero byte, or would not fit in a line the controller reads whole.
bool FormatCredentialFile(const CredentialSet& values, std::string* text, std::string* error);

// The text helpers whose rules decide how the fields are cut.
// Index of the n-th occurrence of c; the last one when there are fewer;
// -1 when there is none.
int NthPosition(std::string_view text, char c, int n);
// length characters from start; 0 = to the end; negative = empty.
std::string CopyField(std::string_view text, int start, int length);

}  // namespace kvr
