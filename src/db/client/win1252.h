// Windows-1252 <-> UTF-8: the controller's texts are single-byte
// Windows-1252; the SQLite file holds UTF-8 so other programs read it.
//
// Both directions are total and never fail: the five bytes Windows-1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control
// characters of the same number, so every byte text survives the round
// trip. On the way back, a character Windows-1252 cannot hold becomes '?',
// and bytes that are not valid UTF-8 are passed on unchanged.
#pragma once

#include <string>
#include <string_view>

namespace kvr {

std::string Win1252ToUtf8(std::string_view text);
std::string Utf8ToWin1252(std::string_view text);
// True when the text is plain ASCII (no conversion needed either way).
bool IsAscii(std::string_view text);

}  // namespace kvr
