#include "exec/process_table.h"

namespace kvr {

void ProcessEntry::Clear() { *this = ProcessEntry(); }

void ProcessTable::Clear() {
  for (ProcessEntry& e : entries_) e.Clear();
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
