#include "db/credentials/credential_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "db/credentials/blowfish.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

// An encoder written apart from the one under test: zero padding, halves
// little-endian, upper-case hex.
std::string IndependentEncipher(const std::string& plain) {
  std::string padded = plain;
  while (padded.size() % 8 != 0) padded.push_back('\0');
  Blowfish bf("KWQZRPL");
  std::string hex;
  for (size_t i = 0; i < padded.size(); i += 8) {
    uint32_t h[2] = {0, 0};
    for (int k = 0; k < 8; ++k) {
      h[k / 4] |= uint32_t{static_cast<uint8_t>(padded[i + k])} << (8 * (k % 4));
    }
    bf.Encipher(&h[0], &h[1]);
    for (int k = 0; k < 8; ++k) {
      char buf[3];
      std::snprintf(buf, sizeof buf, "%02X", (h[k / 4] >> (8 * (k % 4))) & 0xFF);
      hex += buf;
    }
  }
  return hex;
}

class CredentialFileTest : public ::testing::Test {
 protected:
  CredentialEntry Read(const std::string& content, std::string_view key,
                       std::string_view section = "", int32_t number = 0) {
    dir_.Write("cred.ini", content);
    return ReadCredentialEntry(env_, section, key, number, dir_.File("cred.ini"));
  }
  FakeEnv env_;
  test::TempDir dir_;
};

TEST(CredentialFieldTest, NthPositionAndCopyFieldRules) {
  EXPECT_EQ(NthPosition("a;b;c", ';', 1), 1);
  EXPECT_EQ(NthPosition("a;b;c", ';', 2), 3);
  EXPECT_EQ(NthPosition("a;b", ';', 2), 1);  // fewer: the last one
  EXPECT_EQ(NthPosition("abc", ';', 1), -1);
  EXPECT_EQ(CopyField("abcdef", 2, 0), "cdef");  // 0: to the end
  EXPECT_EQ(CopyField("abcdef", 2, -1), "");
  EXPECT_EQ(CopyField("abcdef", 2, 2), "cd");
  EXPECT_EQ(CopyField("abcdef", 4, 50), "ef");
  EXPECT_EQ(CopyField("abc", 9, 1), "");  // beyond the text: nothing read
}

TEST_F(CredentialFileTest, IndependentlyEncodedCrlfFileReadsBack) {
  std::string file = ";VELTRONIA;\r\n1;NET8;" + IndependentEncipher("dbhost:5432/prod") +
                     "\r\n;VELTRONIA;\r\n2;LOGIN;" + IndependentEncipher("scott") + "\r\n";
  CredentialEntry e = Read(file, "LOGIN");
  EXPECT_EQ(e.value, "scott");
  EXPECT_EQ(e.key, "LOGIN");
  EXPECT_EQ(e.section, "VELTRONIA");
  EXPECT_EQ(e.number, 2);
  EXPECT_EQ(Read(file, "NET8").value, "dbhost:5432/prod");
  EXPECT_EQ(EncipherCredentialValue("dbhost:5432/prod"), IndependentEncipher("dbhost:5432/prod"));
}

TEST_F(CredentialFileTest, AbcPaddedRoundTripsAndLowerCaseDoesNot) {
  std::string hex = IndependentEncipher(std::string("abc\0\0\0\0\0", 8));
  ASSERT_EQ(hex.size(), 16u);
  EXPECT_EQ(DecipherCredentialValue(hex), "abc");
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != hex) {
    EXPECT_NE(DecipherCredentialValue(lower), "abc");
  }
}

TEST_F(CredentialFileTest, RecordSelectionRules) {
  std::string login = IndependentEncipher("first");
  struct Case {
    const char* what;
    std::string file;
    std::string key;
    std::string value;
    std::string gotKey;
  };
  const Case cases[] = {
      {"last line without line end gives an empty value", ";S;\n1;LOGIN;" + login, "LOGIN", "",
       "LOGIN"},
      {"first of two records with the same key",
       ";S;\n1;LOGIN;" + login + "\n;S;\n2;LOGIN;" + IndependentEncipher("second") + "\n", "LOGIN",
       "first", "LOGIN"},
      {"an empty section (fewer than two semicolons) is taken for any key",
       ";S\n5;NET8;" + IndependentEncipher("svc") + "\n;S;\n1;LOGIN;" + login + "\n", "LOGIN",
       "svc", "NET8"},
      {"number 0 is taken for any key", ";S;\n0;NET8;" + IndependentEncipher("svc") + "\n", "LOGIN",
       "svc", "NET8"},
      {"no matching record", ";S;\n1;NET8;" + login + "\n", "LOGIN", "", ""},
      {"a record cut short by the end of the file", ";S;\n", "LOGIN", "", ""},
      {"empty file", "", "LOGIN", "", ""},
  };
  for (const Case& c : cases) {
    CredentialEntry e = Read(c.file, c.key);
    EXPECT_EQ(e.value, c.value) << c.what;
    EXPECT_EQ(e.key, c.gotKey) << c.what;
  }
}

TEST_F(CredentialFileTest, LineWithoutSemicolonIsTakenWithWholeLineAsValue) {
  // Empty key, number 0 (so taken for any key), and the whole line with its
  // line end as the value: deciphered to bytes of no meaning, never read
  // beyond. The record behind it is never reached.
  std::string hex = IndependentEncipher("xy");
  CredentialEntry e =
      Read(";S;\n" + hex + "\n;S;\n1;PASS;" + IndependentEncipher("pw") + "\n", "PASS");
  EXPECT_EQ(e.number, 0);
  EXPECT_TRUE(e.key.empty());
  EXPECT_NE(e.value, "pw");
  // The first block is whole and deciphers; the line end starts a second
  // block, completed with '0' digits, behind the first zero byte.
  EXPECT_EQ(e.value, "xy");
}

TEST_F(CredentialFileTest, MissingFileGivesEmptyEntry) {
  CredentialEntry e = ReadCredentialEntry(env_, "", "LOGIN", 0, dir_.File("none.ini"));
  EXPECT_TRUE(e.value.empty());
  EXPECT_EQ(e.number, 0);
}

TEST_F(CredentialFileTest, TooLongLinesContinueAsTheNextLine) {
  // A first line of 199 characters ends there; what follows on the same
  // line is read as the record's second line (number 9, key JUNK, not
  // taken), so the next record is found whole.
  std::string first = ";S;" + std::string(196, 'x');
  std::string file = first + "9;JUNK;\n;S;\n1;LOGIN;" + IndependentEncipher("v") + "\n";
  EXPECT_EQ(Read(file, "LOGIN").value, "v");
  // A 1000-character second line is read in pieces of 399; nothing breaks.
  std::string huge = ";S;\n1;LOGIN;" + std::string(1000, 'A') + "\n";
  CredentialEntry e = Read(huge, "LOGIN");
  EXPECT_EQ(e.key, "LOGIN");
  EXPECT_EQ(e.value, "");  // no line end within the first 399 characters
}

TEST_F(CredentialFileTest, BadValuesNeverReadOutOfBounds) {
  const std::string values[] = {
      "A", "ABC", "ZZZZZZZZZZZZZZZZZ", "\xFF\xFE\x80", "0123456789ABCDE", std::string(390, '7')};
  for (const std::string& v : values) {
    std::string out = DecipherCredentialValue(v);
    EXPECT_LE(out.size(), (v.size() + 15) / 16 * 8) << v;
  }
  // A short last block is completed with '0' digits.
  std::string hex = EncipherCredentialValue("abcdefgh");
  EXPECT_EQ(DecipherCredentialValue(hex), "abcdefgh");  // no zero byte: ends at its length
  std::string binary("\0\x01\x02;\n\x03;;\xFF\n", 10);
  EXPECT_LE(Read(binary, "LOGIN").value.size(), 8u);
}

// Searched to the end up to the bound of a file read; a larger file is not
// read at all (a link to a device or a runaway file cannot fill memory).
TEST_F(CredentialFileTest, LargeFileIsSearchedToTheEndWithinTheBound) {
  std::string file;
  const std::string filler = ";S;\n1;OTHER;" + std::string(64, 'A') + "\n";
  const std::string last = ";S;\n2;LOGIN;" + IndependentEncipher("late") + "\n";
  while (file.size() + filler.size() + last.size() <= kMaxReadFileBytes) file += filler;
  file += last;
  EXPECT_EQ(Read(file, "LOGIN", "T", 9).value, "late");
  file.insert(0, filler);
  EXPECT_EQ(Read(file, "LOGIN", "T", 9).value, "");
}

TEST_F(CredentialFileTest, FormattedFileReadsBackExactly) {
  CredentialSet set;
  set.service = "localhost:5432/kvr";
  set.schema = "KVSYSTEM";
  set.login = "kvr_user";
  set.password = "p a;s/s@w\xF6rd";
  set.dbSystem = "MSSQL";
  std::string text, error;
  ASSERT_TRUE(FormatCredentialFile(set, &text, &error)) << error;
  EXPECT_EQ(Read(text, "NET8").value, set.service);
  EXPECT_EQ(Read(text, "SCHEMA").value, "KVSYSTEM.");  // the reader's caller drops one
  EXPECT_EQ(Read(text, "LOGIN").value, set.login);
  EXPECT_EQ(Read(text, "PASS").value, set.password);
  EXPECT_EQ(Read(text, "DB_SYSTEM").value, "MSSQL");
  EXPECT_EQ(text.find(set.password), std::string::npos);
  // The whole set reads back as written: the schema's added character is
  // dropped again, and a missing file reads as empty values.
  dir_.Write("set.ini", text);
  CredentialSet back = ReadCredentialSet(env_, dir_.File("set.ini"));
  EXPECT_EQ(back.service, set.service);
  EXPECT_EQ(back.schema, set.schema);
  EXPECT_EQ(back.login, set.login);
  EXPECT_EQ(back.password, set.password);
  EXPECT_EQ(back.dbSystem, set.dbSystem);
  EXPECT_EQ(back.programDbWord(), "SQLSERVER");  // the word in program file names
  CredentialSet none = ReadCredentialSet(env_, dir_.File("missing.ini"));
  EXPECT_EQ(none.service + none.schema + none.login + none.password + none.dbSystem, "");
  EXPECT_EQ(none.programDbWord(), "");

  set.password = "";
  ASSERT_TRUE(FormatCredentialFile(set, &text, &error));
  EXPECT_EQ(Read(text, "PASS").value, "");
  EXPECT_EQ(Read(text, "PASS").key, "PASS");

  // The longest value of each key that fits its line reads back whole; one
  // block more does not fit.
  for (std::string CredentialSet::*value : {&CredentialSet::service, &CredentialSet::login,
                                            &CredentialSet::password, &CredentialSet::dbSystem}) {
    CredentialSet longest = set;
    longest.*value = std::string(192, 'v');
    ASSERT_TRUE(FormatCredentialFile(longest, &text, &error)) << error;
    dir_.Write("long.ini", text);
    EXPECT_EQ(ReadCredentialSet(env_, dir_.File("long.ini")).*value, std::string(192, 'v'));
    longest.*value = std::string(193, 'v');
    EXPECT_FALSE(FormatCredentialFile(longest, &text, &error));
  }
  EXPECT_GE(kMaxCredentialValue, 192u);

  set.password = std::string(300, 'p');
  EXPECT_FALSE(FormatCredentialFile(set, &text, &error));
  EXPECT_EQ(error.find("ppp"), std::string::npos);
  set.password = "x";
  set.login = "";
  EXPECT_FALSE(FormatCredentialFile(set, &text, &error));
}

}  // namespace
}  // namespace kvr
