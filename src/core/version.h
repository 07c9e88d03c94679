// The version every program of the job controller prints for --version.
#pragma once

namespace kvr {

inline constexpr char kVersion[] = "1.0.0";

}  // namespace kvr
