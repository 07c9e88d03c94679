// NamedStatement: a statement text the system sends, under the name of the
// constant it comes from. Every module that holds statements appends its own
// to a list (texts built at run time with sample values filled in), so the
// whole set can be run or translated on each engine from the code itself.
#pragma once

#include <string>
#include <vector>

namespace kvr {

struct NamedStatement {
  std::string name;
  std::string text;
};

using StatementList = std::vector<NamedStatement>;

}  // namespace kvr
