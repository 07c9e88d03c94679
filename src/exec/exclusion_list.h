// ExclusionList: the quoted origins (JOBURV) of the running jobs of one pass,
// placed into every job selection at "NOT IN ( %s )" so that two jobs of the
// same origin never run together.
//
// Promises: the text is always a valid SQL list and never longer than
// kCapacity characters. Single quotes inside an origin are doubled. An empty
// list reads as "' '" (a quoted blank). When an origin does not fit, the list
// is overflowed: Text() gives "NULL" until the next Clear() or SetBlank(),
// so that no further job with a non-empty origin is selected (x NOT IN
// (NULL) holds for no row) while jobs without origin still are. The call
// that made the list overflow returns false, once; the caller then writes
// kExclusionListFullMessage to the main log. Every other call returns true.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvr {

inline constexpr char kExclusionListFullMessage[] =
    "Ausschlussliste voll: weitere Jobs mit Herkunft werden in diesem Durchlauf nicht "
    "gestartet!\n";

class ExclusionList {
 public:
  static constexpr std::size_t kCapacity = 5000;

  // Empties the list at the start of a pass and ends an overflow.
  void Clear();
  // GetKvProcs: a running row's origin ('X' first, later , 'X'). Empty
  // origins are ignored. false only on the call that made the list overflow.
  bool AddRunningOrigin(std::string_view origin);
  // After the running rows: a list without any origin becomes "' '".
  void FinishRebuild();
  // StartJob: the started row's origin (, 'X'). Empty origins are ignored.
  // false only on the call that made the list overflow.
  bool AddStartedOrigin(std::string_view origin);
  // The loops of run types 07, 08 and 09: the list becomes "' '" and holds
  // only what they start from then on; an overflow ends.
  void SetBlank();

  // What goes into NOT IN ( %s ).
  const char* Text() const;
  bool Overflowed() const { return overflowed_; }

 private:
  bool Append(std::string_view origin);

  std::string text_;  // never longer than kCapacity
  bool overflowed_ = false;
};

}  // namespace kvr
