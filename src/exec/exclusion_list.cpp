#include "exec/exclusion_list.h"

namespace kvr {

namespace {

constexpr char kBlankEntry[] = "' '";
constexpr char kOverflowText[] = "NULL";
constexpr char kSeparator[] = ", ";

// The origin as an SQL text literal: between single quotes, with every
// quote inside doubled.
std::string Quoted(std::string_view origin) {
  std::string quoted;
  quoted.reserve(origin.size() + 2);
  quoted += '\'';
  for (char c : origin) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace

void ExclusionList::Clear() {
  text_.clear();
  overflowed_ = false;
}

bool ExclusionList::AddRunningOrigin(std::string_view origin) { return Append(origin); }

bool ExclusionList::AddStartedOrigin(std::string_view origin) { return Append(origin); }

// A list that holds no origin gets the quoted blank, so that it is never
// empty inside NOT IN ( ). A list that does hold one stays as it is: a lone
// one-character origin ('A', three characters) must stay its own entry, not
// run together with an appended "' '" into the single literal 'A'' '.
void ExclusionList::FinishRebuild() {
  if (text_.empty() && !overflowed_) text_ = kBlankEntry;
}

void ExclusionList::SetBlank() {
  text_ = kBlankEntry;
  overflowed_ = false;
}

const char* ExclusionList::Text() const {
  if (overflowed_) return kOverflowText;
  if (text_.empty()) return kBlankEntry;
  return text_.c_str();
}

bool ExclusionList::Append(std::string_view origin) {
  if (origin.empty()) return true;
  if (overflowed_) return true;  // already reported for this pass
  std::string entry = Quoted(origin);
  bool first = text_.empty();
  std::size_t grown = text_.size() + entry.size() + (first ? 0 : sizeof kSeparator - 1);
  if (grown > kCapacity) {
    overflowed_ = true;
    return false;
  }
  if (!first) text_ += kSeparator;
  text_ += entry;
  return true;
}

}  // namespace kvr
