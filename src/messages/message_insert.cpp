#include "messages/message_insert.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kvr {

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::size_t SkipBlanks(std::string_view s, std::size_t i) {
  while (i < s.size() && s[i] == ' ') ++i;
  return i;
}

// A quoted text starting at s[i] == '\''; returns the position behind the
// closing quote, or npos when the text is not closed or holds a line end or
// a zero byte.
std::size_t QuotedEnd(std::string_view s, std::size_t i) {
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\0' || IsLineEnd(c)) return std::string_view::npos;
    if (c != '\'') continue;
    if (i + 1 < s.size() && s[i + 1] == '\'') {
      ++i;  // a doubled quote stands for one quote inside the text
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// An integer of at most ten digits with an optional sign; position behind
// it, or npos.
std::size_t IntegerEnd(std::string_view s, std::size_t i) {
  if (i < s.size() && s[i] == '-') ++i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    ++i;
    ++digits;
  }
  return digits == 0 || digits > 10 ? std::string_view::npos : i;
}

}  // namespace

std::string EscapeNachrichtValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '\'') {
      out += "''";
    } else if (IsLineEnd(c)) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatNachrichtInsert(const StrNachricht& r, std::string_view msguid,
                                  std::string_view msgtin) {
  auto q = [](std::string_view v) { return EscapeNachrichtValue(v); };
  const std::string uid = q(msguid), txt = q(r.msgtxt), lnk = q(r.msglnk), mod = q(r.msgmod),
                    src = q(r.msgsrc), sch = q(r.msgsch), cat = q(r.msgcat), adr = q(r.msgadr),
                    ber = q(r.msgber), typ = q(r.msgtyp), brk = q(r.msgbrk), dbg = q(r.msgdbg),
                    mnd = q(r.msgmnd), liz = q(r.msgliz), tin = q(msgtin), erf = q(r.msgerf);
  std::vector<char> buffer(kMaxNachrichtInsertLength + uid.size() + tin.size() + 1);
  int n = std::snprintf(
      buffer.data(), buffer.size(), kNachrichtInsertFormat, uid.c_str(), static_cast<int>(r.msgtnr),
      txt.c_str(), lnk.c_str(), mod.c_str(), src.c_str(), sch.c_str(), cat.c_str(), adr.c_str(),
      ber.c_str(), static_cast<int>(r.msgpri), typ.c_str(), brk.c_str(), static_cast<int>(r.msgval),
      dbg.c_str(), mnd.c_str(), liz.c_str(), tin.c_str(), 0, erf.c_str());
  if (n < 0) return std::string();
  return std::string(buffer.data(), std::min<std::size_t>(n, buffer.size() - 1));
}

bool IsNachrichtInsert(std::string_view line) {
  constexpr std::string_view prefix = kNachrichtInsertPrefix;
  if (line.size() > kMaxNachrichtInsertLength || !line.starts_with(prefix)) return false;
  std::size_t i = prefix.size();
  for (int value = 0; value < kNachrichtInsertValues; ++value) {
    i = SkipBlanks(line, i);
    if (i >= line.size()) return false;
    i = line[i] == '\'' ? QuotedEnd(line, i) : IntegerEnd(line, i);
    if (i == std::string_view::npos) return false;
    i = SkipBlanks(line, i);
    char expected = value + 1 < kNachrichtInsertValues ? ',' : ')';
    if (i >= line.size() || line[i] != expected) return false;
    ++i;
  }
  return i == line.size();
}

void AppendMessageStatements(StatementList* list) {
  StrNachricht record;
  SetControllerSender(record);
  record.msgtxt =
      "08.12.2026 00:43:12 Programm x.exe wird wegen Laufzeit\xFC"
      "berschreitung abgebrochen!";
  record.msgtyp = "1";
  record.msgval = 1;
  list->push_back(
      {"MessageInsert", FormatNachrichtInsert(record, "17650981234711", "20261208004312")});
}

}  // namespace kvr
