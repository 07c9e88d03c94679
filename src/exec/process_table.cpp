#include "exec/process_table.h"

#include <algorithm>

namespace kvr {

// Copied from one empty entry instead of building a new one each time: the
// table clears its 1024 entries every pass.
void ProcessEntry::Clear() {
  static const ProcessEntry kEmpty;
  *this = kEmpty;
}

bool ProcessEntry::blank() const {
  return pid == 0 && !withoutProcess && !idUnwritten && jobda1.view().empty() &&
         jobke2.view().empty();
}

// Only the entries up to the last one that is not blank hold anything: the
// rest need not be cleared or copied.
std::size_t ProcessTable::UsedEnd() const {
  for (std::size_t i = kCapacity; i > 0; --i) {
    if (!entries_[i - 1].blank()) return i;
  }
  return 0;
}

void ProcessTable::Clear() {
  for (std::size_t i = 0, end = UsedEnd(); i < end; ++i) entries_[i].Clear();
}

void ProcessTable::CopyFrom(const ProcessTable& other) {
  std::size_t end = std::max(UsedEnd(), other.UsedEnd());
  std::copy(other.entries_.begin(), other.entries_.begin() + static_cast<std::ptrdiff_t>(end),
            entries_.begin());
}

int ProcessTable::FirstFree() const {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    if (entries_[i].free()) return static_cast<int>(i);
  }
  return -1;
}

std::size_t ProcessTable::CountTaken() const {
  std::size_t n = 0;
  for (const ProcessEntry& e : entries_) n += e.free() ? 0 : 1;
  return n;
}

}  // namespace kvr
