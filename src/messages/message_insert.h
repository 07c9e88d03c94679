// The INSERT statement of a message into KVSYSTEM.KVR200MSG: building it
// from the record, and recognising a line of the fallback file as exactly
// such a statement. Pure functions; no database, no files.
//
// Every text value is written between single quotes with each quote inside
// doubled and each carriage return or line feed turned into a blank, so the
// statement is always valid SQL and fits on one line of the fallback file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "db/client/named_statement.h"
#include "messages/str_nachricht.h"

namespace kvr {

// Everything up to and including the opening parenthesis of the values.
inline constexpr char kNachrichtInsertPrefix[] =
    "INSERT INTO KVSYSTEM.KVR200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  MSGSCH, "
    "MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, MSGLIZ, "
    "MSGTIN,  MSGSTS, MSGERF) VALUES (";

// The whole statement: MSGUID, MSGTNR, MSGTXT, MSGLNK, MSGMOD, MSGSRC,
// MSGSCH, MSGCAT, MSGADR, MSGBER, MSGPRI, MSGTYP, MSGBRK, MSGVAL, MSGDBG,
// MSGMND, MSGLIZ, MSGTIN, MSGSTS, MSGERF.
inline constexpr char kNachrichtInsertFormat[] =
    "INSERT INTO KVSYSTEM.KVR200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  MSGSCH, "
    "MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, MSGLIZ, "
    "MSGTIN,  MSGSTS, MSGERF) VALUES ('%s',   %d, '%s',  '%s', '%s', '%s',  '%s', '%s', '%s',  "
    "'%s',   %d, '%s',  '%s',   %d, '%s',  '%s', '%s', '%s',    %d, '%s')";

// The number of values in the statement.
inline constexpr int kNachrichtInsertValues = 20;

// The longest statement FormatNachrichtInsert can write: the format, every
// text field doubled, a key of up to 24 digits, a time of up to 14 digits
// and four integers of up to 11 characters.
inline constexpr std::size_t kMaxNachrichtInsertLength =
    sizeof kNachrichtInsertFormat - 1 - 2 * 20 +
    2 * (250 + 250 + 50 + 50 + 20 + 25 + 10 + 10 + 5 + 5 + 1024 + 5 + 5 + 50) + 24 + 14 + 4 * 11;

// A text value as it goes between the quotes.
std::string EscapeNachrichtValue(std::string_view value);

// The statement for the record with the given key and insertion time (both
// digits only, as the poster makes them).
std::string FormatNachrichtInsert(const StrNachricht& record, std::string_view msguid,
                                  std::string_view msgtin);

// True when the line (without its line end) is one message insert of the
// form FormatNachrichtInsert writes: the fixed prefix, then twenty values,
// each a quoted text whose quotes are doubled or an integer, separated by
// commas, closed by ')' with nothing after it.
bool IsNachrichtInsert(std::string_view line);

// The insert of a sample warning (fixed key and time), by name.
void AppendMessageStatements(StatementList* list);

}  // namespace kvr
