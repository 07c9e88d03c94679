// Runs a test in the zone of the product's servers (central European time
// with its summer time), whatever TZ the test program was started with.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace kvr {

class LocalZone {
 public:
  explicit LocalZone(const char* zone = "CET-1CEST,M3.5.0,M10.5.0/3") {
    const char* old = std::getenv("TZ");
    hadZone_ = old != nullptr;
    if (old) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    if (hadZone_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  bool hadZone_ = false;
  std::string saved_;
};

}  // namespace kvr
