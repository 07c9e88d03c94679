#include "db/client/translate.h"

#include <cctype>
#include <cstdio>

#include "platform/ascii_case.h"

namespace kvr {
namespace {

enum class Tok { Space, Word, Number, Literal, Quoted, HostVar, Punct };

struct Token {
  Tok type;
  std::string_view text;
};

bool IsWordChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || c == '#';
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t start = i;
    char c = s[i];
    Tok type = Tok::Punct;
    if (IsSpace(c)) {
      while (i < s.size() && IsSpace(s[i])) ++i;
      type = Tok::Space;
    } else if (c == '\'' || c == '"') {
      // A literal or quoted name; a doubled quote stays inside it.
      ++i;
      while (i < s.size()) {
        if (s[i] == c) {
          if (i + 1 < s.size() && s[i + 1] == c) {
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
      type = c == '\'' ? Tok::Literal : Tok::Quoted;
    } else if (c == ':' && i + 1 < s.size() && IsWordChar(s[i + 1])) {
      ++i;
      while (i < s.size() && IsWordChar(s[i])) ++i;
      type = Tok::HostVar;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
      type = Tok::Number;
    } else if (IsWordChar(c)) {
      while (i < s.size() && IsWordChar(s[i])) ++i;
      type = Tok::Word;
    } else {
      ++i;
      if (i < s.size() &&
          ((c == '<' && (s[i] == '>' || s[i] == '=')) || (c == '>' && s[i] == '=') ||
           (c == '!' && s[i] == '=') || (c == '|' && s[i] == '|'))) {
        ++i;
      }
    }
    out.push_back({type, s.substr(start, i - start)});
  }
  return out;
}

bool Is(const Token& t, std::string_view word) {
  if (t.type != Tok::Word || t.text.size() != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (AsciiUpper(t.text[i]) != word[i]) return false;
  }
  return true;
}

bool IsPunct(const Token& t, std::string_view p) { return t.type == Tok::Punct && t.text == p; }

// Words that end a FROM list or cannot be a table name.
bool IsClauseWord(const Token& t) {
  static constexpr std::string_view kWords[] = {
      "WHERE", "GROUP", "ORDER",     "HAVING", "UNION", "SET",   "VALUES", "SELECT", "CONNECT",
      "START", "MINUS", "INTERSECT", "ON",     "LEFT",  "RIGHT", "INNER",  "JOIN"};
  for (std::string_view w : kWords) {
    if (Is(t, w)) return true;
  }
  return false;
}

class Translator {
 public:
  Translator(std::string_view sql, Dialect d, std::string_view schema)
      : toks_(Tokenize(sql)), dialect_(d), schema_(ToUpperAscii(schema)) {}

  Translation Run();

 private:
  size_t Skip(size_t i, size_t end) const {
    while (i < end && toks_[i].type == Tok::Space) ++i;
    return i;
  }
  void Emit(size_t begin, size_t end, std::string& out);
  size_t EmitToken(size_t i, size_t end, std::string& out);
  void EmitPlain(const Token& t, std::string& out);
  size_t EmitIntoList(size_t i, size_t end, std::string& out);
  size_t EmitRownum(size_t i, size_t end, std::string& out);
  size_t EmitToChar(size_t i, size_t end, std::string& out);
  size_t EmitTableName(size_t i, size_t end, std::string& out);
  size_t NullTestEnd(size_t i, size_t end) const;
  size_t EmitNullTest(size_t i, size_t end, std::string& out);
  bool SysdateRange(size_t begin, size_t end, int* days, size_t* stop) const;
  std::string SysdateExpr(int days) const;
  size_t MatchingParen(size_t open, size_t end) const;
  void Placeholder(std::string_view name, std::string& out);
  bool TryAlterSession(Translation* t) const;
  bool PassesOverLockedRows() const;

  std::vector<Token> toks_;
  Dialect dialect_;
  std::string schema_;
  Translation result_;
  std::vector<std::string> names_;
  int depth_ = 0;
  std::vector<int> fromDepths_;
  bool expectTable_ = false;
  // SQLite sorts NULL first, Oracle last: inside a top-level ORDER BY of the
  // SQLite dialect every item gets NULLS LAST.
  bool orderBy_ = false;
  void EndOrderItem(std::string& out);
};

bool Translator::TryAlterSession(Translation* t) const {
  static constexpr std::string_view kWords[] = {"ALTER", "SESSION", "SET", "CURRENT_SCHEMA"};
  size_t i = 0, end = toks_.size();
  for (std::string_view w : kWords) {
    i = Skip(i, end);
    if (i >= end || !Is(toks_[i], w)) return false;
    ++i;
  }
  i = Skip(i, end);
  if (i >= end || !IsPunct(toks_[i], "=")) return false;
  std::string schema;
  for (++i; i < end; ++i) {
    if (toks_[i].type != Tok::Space) schema += toks_[i].text;
  }
  t->kind = StatementKind::AlterSession;
  t->schema = schema;
  return true;
}

// The first due row of the job queue, on PostgreSQL: a row that another
// session holds locked (an editor left open) is passed over for this pass
// instead of being selected and then waited for by the update that starts
// it, which would end the run type's loop at it in every pass. The row the
// selection takes stays locked until the start's commit, as its update
// would keep it anyway.
bool Translator::PassesOverLockedRows() const {
  if (dialect_ != Dialect::Postgres || result_.kind != StatementKind::Select) return false;
  for (const Token& t : toks_) {
    if (Is(t, "KVR500JOB")) return true;
  }
  return false;
}

Translation Translator::Run() {
  if (TryAlterSession(&result_)) return result_;
  size_t first = Skip(0, toks_.size());
  if (first < toks_.size()) {
    const Token& t = toks_[first];
    if (Is(t, "SELECT"))
      result_.kind = StatementKind::Select;
    else if (Is(t, "INSERT"))
      result_.kind = StatementKind::Insert;
    else if (Is(t, "UPDATE"))
      result_.kind = StatementKind::Update;
    else if (Is(t, "DELETE"))
      result_.kind = StatementKind::Delete;
  }
  std::string out;
  Emit(0, toks_.size(), out);
  if (orderBy_) EndOrderItem(out);
  if (result_.hadRownum) {
    while (!out.empty() && IsSpace(out.back())) out.pop_back();
    out += " LIMIT 1";
    if (PassesOverLockedRows()) out += " FOR UPDATE SKIP LOCKED";
  }
  result_.text = std::move(out);
  result_.inputCount = static_cast<int>(names_.size());
  return result_;
}

void Translator::Placeholder(std::string_view name, std::string& out) {
  size_t index = 0;
  while (index < names_.size() && names_[index] != name) ++index;
  if (index == names_.size()) names_.emplace_back(name);
  result_.placeholders.push_back(static_cast<int>(index));
  out += dialect_ == Dialect::Postgres ? "$" : "?";
  out += std::to_string(index + 1);
}

void Translator::EndOrderItem(std::string& out) {
  size_t keep = out.size();
  while (keep > 0 && IsSpace(out[keep - 1])) --keep;
  std::string tail = out.substr(keep);
  out.resize(keep);
  out += " NULLS LAST";
  out += tail;
}

void Translator::Emit(size_t begin, size_t end, std::string& out) {
  for (size_t i = begin; i < end;) {
    const Token& t = toks_[i];
    if (dialect_ == Dialect::Sqlite && depth_ == 0 && Is(t, "ORDER")) {
      orderBy_ = true;
    } else if (orderBy_ && depth_ == 0 && IsPunct(t, ",")) {
      EndOrderItem(out);
    }
    if (t.type == Tok::Space) {
      out += t.text;
      ++i;
    } else if (expectTable_) {
      expectTable_ = false;
      i = EmitTableName(i, end, out);
    } else {
      i = EmitToken(i, end, out);
    }
  }
}

// One token that is no blank and no table name (with those after it that
// its translation takes): the index after them.
size_t Translator::EmitToken(size_t i, size_t end, std::string& out) {
  const Token& t = toks_[i];
  if (Is(t, "INTO") && result_.kind == StatementKind::Select) return EmitIntoList(i, end, out);
  if (Is(t, "ROWNUM")) return EmitRownum(i, end, out);
  if (Is(t, "TO_CHAR")) return EmitToChar(i, end, out);
  if (Is(t, "SYSDATE")) {
    int days = 0;
    size_t stop = i + 1;
    SysdateRange(i, end, &days, &stop);
    out += SysdateExpr(days);
    return stop;
  }
  if (Is(t, "NVL")) {
    out += "coalesce";
    return i + 1;
  }
  if (Is(t, "FROM") && Skip(i + 1, end) < end && Is(toks_[Skip(i + 1, end)], "DUAL")) {
    return Skip(i + 1, end) + 1;  // neither backend knows DUAL; a select needs no FROM
  }
  if (Is(t, "FROM") || Is(t, "UPDATE") || Is(t, "JOIN") || Is(t, "TABLE") ||
      (Is(t, "INTO") && result_.kind == StatementKind::Insert)) {
    out += t.text;
    if (Is(t, "FROM")) fromDepths_.push_back(depth_);
    expectTable_ = true;
    return i + 1;
  }
  if (t.type == Tok::Literal && t.text == "''") {
    out += "NULL";
    return i + 1;
  }
  if (t.type == Tok::Word && NullTestEnd(i, end) != i) return EmitNullTest(i, end, out);
  if (t.type == Tok::HostVar) {
    Placeholder(t.text.substr(1), out);
    ++i;
    // An indicator variable directly after a host variable binds nothing.
    if (i < end && toks_[i].type == Tok::HostVar) ++i;
    return i;
  }
  EmitPlain(t, out);
  return i + 1;
}

// A token as it stands, keeping the depth of parentheses and the FROM lists
// (a comma in one makes the next token a table name).
void Translator::EmitPlain(const Token& t, std::string& out) {
  if (IsPunct(t, "(")) ++depth_;
  if (IsPunct(t, ")")) {
    --depth_;
    while (!fromDepths_.empty() && fromDepths_.back() > depth_) fromDepths_.pop_back();
  }
  if (!fromDepths_.empty() && fromDepths_.back() == depth_) {
    if (IsPunct(t, ","))
      expectTable_ = true;
    else if (IsClauseWord(t))
      fromDepths_.pop_back();
  }
  out += t.text;
}

// "X is null" or "X is not null" of a column (X may be qualified): the
// index after NULL, or i when the word at i does not begin such a test.
size_t Translator::NullTestEnd(size_t i, size_t end) const {
  size_t last = i;
  while (last + 2 < end && IsPunct(toks_[last + 1], ".") && toks_[last + 2].type == Tok::Word) {
    last += 2;
  }
  size_t k = Skip(last + 1, end);
  if (k >= end || !Is(toks_[k], "IS")) return i;
  k = Skip(k + 1, end);
  if (k < end && Is(toks_[k], "NOT")) k = Skip(k + 1, end);
  if (k >= end || !Is(toks_[k], "NULL")) return i;
  return k + 1;
}

// An empty text is NULL, as on Oracle, so rows other programs wrote with ''
// meet the same test. On PostgreSQL the comparison goes through text, so it
// holds for a column of any type.
size_t Translator::EmitNullTest(size_t i, size_t end, std::string& out) {
  size_t stop = NullTestEnd(i, end);
  std::string column;
  bool negated = false;
  for (size_t c = i; c < stop; ++c) {
    if (Is(toks_[c], "IS")) {
      for (size_t n = c; n < stop; ++n) negated = negated || Is(toks_[n], "NOT");
      break;
    }
    if (toks_[c].type != Tok::Space) column += toks_[c].text;
  }
  const std::string text = dialect_ == Dialect::Postgres ? column + "::text" : column;
  out += negated ? "(" + column + " is not null and " + text + " <> '')"
                 : "(" + column + " is null or " + text + " = '')";
  return stop;
}

// "into :b0:b1, :b2 ..." of a single-row select: dropped, host variables
// counted as outputs.
size_t Translator::EmitIntoList(size_t i, size_t end, std::string& out) {
  size_t j = Skip(i + 1, end);
  if (j >= end || toks_[j].type != Tok::HostVar) {
    out += toks_[i].text;
    return i + 1;
  }
  while (j < end) {
    if (toks_[j].type != Tok::HostVar) break;
    ++result_.outputCount;
    ++j;
    if (j < end && toks_[j].type == Tok::HostVar) ++j;  // indicator
    size_t k = Skip(j, end);
    if (k < end && IsPunct(toks_[k], ",")) {
      j = Skip(k + 1, end);
      continue;
    }
    break;
  }
  return j;
}

// "ROWNUM = 1" together with the AND that joins it to the other predicates.
size_t Translator::EmitRownum(size_t i, size_t end, std::string& out) {
  size_t j = Skip(i + 1, end);
  if (j >= end || !IsPunct(toks_[j], "=")) {
    out += toks_[i].text;
    return i + 1;
  }
  j = Skip(j + 1, end);
  if (j >= end || toks_[j].type != Tok::Number || toks_[j].text != "1") {
    out += toks_[i].text;
    return i + 1;
  }
  result_.hadRownum = true;
  size_t after = j + 1;
  // Drop a preceding AND from the text written so far.
  size_t keep = out.size();
  while (keep > 0 && IsSpace(out[keep - 1])) --keep;
  size_t w = keep;
  while (w > 0 && IsWordChar(out[w - 1])) --w;
  std::string prev = ToUpperAscii(std::string_view(out).substr(w, keep - w));
  if (prev == "AND") {
    out.resize(w);
    return after;
  }
  // "WHERE ROWNUM = 1 AND ...": drop the following AND instead.
  size_t k = Skip(after, end);
  if (k < end && Is(toks_[k], "AND")) return k + 1;
  if (prev == "WHERE" && (k >= end || Is(toks_[k], "ORDER") || IsPunct(toks_[k], ")"))) {
    out.resize(w);  // nothing left of the WHERE clause
  }
  return after;
}

size_t Translator::MatchingParen(size_t open, size_t end) const {
  int depth = 0;
  for (size_t i = open; i < end; ++i) {
    if (IsPunct(toks_[i], "(")) ++depth;
    if (IsPunct(toks_[i], ")") && --depth == 0) return i;
  }
  return end;
}

// The range [begin, end) is "sysdate", "sysdate-N" or "sysdate+N", possibly
// in parentheses; *stop is where the expression ends.
bool Translator::SysdateRange(size_t begin, size_t end, int* days, size_t* stop) const {
  size_t i = Skip(begin, end);
  if (i >= end || !Is(toks_[i], "SYSDATE")) return false;
  *days = 0;
  *stop = i + 1;
  size_t j = Skip(i + 1, end);
  if (j < end && (IsPunct(toks_[j], "-") || IsPunct(toks_[j], "+"))) {
    size_t k = Skip(j + 1, end);
    if (k < end && toks_[k].type == Tok::Number &&
        toks_[k].text.find('.') == std::string_view::npos) {
      int n = std::atoi(std::string(toks_[k].text).c_str());
      *days = IsPunct(toks_[j], "-") ? -n : n;
      *stop = k + 1;
    }
  }
  return true;
}

std::string Translator::SysdateExpr(int days) const {
  char buf[96];
  if (dialect_ == Dialect::Postgres) {
    if (days == 0) return "LOCALTIMESTAMP(0)";
    std::snprintf(buf, sizeof buf, "(LOCALTIMESTAMP(0) %c interval '%d days')",
                  days < 0 ? '-' : '+', days < 0 ? -days : days);
    return buf;
  }
  if (days == 0) return "strftime('%Y-%m-%d %H:%M:%S','now','localtime')";
  std::snprintf(buf, sizeof buf, "strftime('%%Y-%%m-%%d %%H:%%M:%%S','now','localtime','%+d days')",
                days);
  return buf;
}

std::string SqliteFormat(std::string_view literal) {
  std::string f = ToUpperAscii(literal.substr(1, literal.size() - 2));
  std::string r;
  for (size_t i = 0; i < f.size();) {
    auto take = [&](std::string_view p, const char* s) {
      if (f.compare(i, p.size(), p) != 0) return false;
      r += s;
      i += p.size();
      return true;
    };
    if (take("YYYY", "%Y") || take("MM", "%m") || take("DD", "%d") || take("HH24", "%H") ||
        take("MI", "%M") || take("SS", "%S")) {
      continue;
    }
    r += f[i++];
  }
  return "'" + r + "'";
}

size_t Translator::EmitToChar(size_t i, size_t end, std::string& out) {
  size_t open = Skip(i + 1, end);
  if (open >= end || !IsPunct(toks_[open], "(")) {
    out += toks_[i].text;
    return i + 1;
  }
  size_t close = MatchingParen(open, end);
  // Split at the last top-level comma: to_char(expr, 'format').
  size_t comma = close;
  int depth = 0;
  for (size_t k = open + 1; k < close; ++k) {
    if (IsPunct(toks_[k], "(")) ++depth;
    if (IsPunct(toks_[k], ")")) --depth;
    if (depth == 0 && IsPunct(toks_[k], ",")) comma = k;
  }
  size_t fmt = Skip(comma + 1, close);
  if (comma == close || close >= end || fmt >= close || toks_[fmt].type != Tok::Literal) {
    out += toks_[i].text;  // not a form we know: leave it to the database
    return i + 1;
  }
  // Strip parentheses around the value, e.g. to_char((sysdate-30),'yyyymmdd').
  size_t vb = Skip(open + 1, comma), ve = comma;
  while (ve > vb && toks_[ve - 1].type == Tok::Space) --ve;
  while (vb < ve && IsPunct(toks_[vb], "(") && MatchingParen(vb, ve) == ve - 1) {
    ++vb;
    --ve;
  }
  int days = 0;
  size_t stop = 0;
  bool isSysdate = SysdateRange(vb, ve, &days, &stop) && Skip(stop, ve) == ve;
  if (dialect_ == Dialect::Postgres) {
    out += "to_char(";
    if (isSysdate)
      out += SysdateExpr(days);
    else
      Emit(vb, ve, out);
    out += ", " + ToUpperAscii(toks_[fmt].text) + ")";
  } else {
    out += "strftime(" + SqliteFormat(toks_[fmt].text) + ", ";
    if (isSysdate) {
      char buf[48];
      std::snprintf(buf, sizeof buf, days ? "'now','localtime','%+d days'" : "'now','localtime'",
                    days);
      out += buf;
    } else {
      Emit(vb, ve, out);
    }
    out += ")";
  }
  return close + 1;
}

// A table name after FROM, INTO, UPDATE, JOIN, TABLE or a comma of a FROM
// list.
size_t Translator::EmitTableName(size_t i, size_t end, std::string& out) {
  const Token& t = toks_[i];
  if (Is(t, "IF") || Is(t, "NOT") || Is(t, "EXISTS")) {  // CREATE TABLE IF NOT EXISTS
    out += t.text;
    expectTable_ = true;
    return i + 1;
  }
  if (t.type != Tok::Word || IsClauseWord(t) || dialect_ == Dialect::Postgres) {
    if (t.type == Tok::Word && dialect_ == Dialect::Postgres) {
      out += t.text;
      return i + 1;
    }
    expectTable_ = false;
    std::string tmp;
    Emit(i, i + 1, tmp);
    out += tmp;
    return i + 1;
  }
  if (i + 2 < end && IsPunct(toks_[i + 1], ".") && toks_[i + 2].type == Tok::Word) {
    out += "\"" + ToUpperAscii(t.text) + "." + ToUpperAscii(toks_[i + 2].text) + "\"";
    return i + 3;
  }
  if (schema_.empty()) {
    out += t.text;
  } else {
    out += "\"" + schema_ + "." + ToUpperAscii(t.text) + "\"";
  }
  return i + 1;
}

}  // namespace

Translation TranslateStatement(std::string_view oracleSql, Dialect dialect,
                               std::string_view currentSchema) {
  return Translator(oracleSql, dialect, currentSchema).Run();
}

}  // namespace kvr
