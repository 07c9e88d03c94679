// StrNachricht: the message record of the controller, one row of the message
// table KVSYSTEM.KVR200MSG without its key, insertion time and status (those
// are made when the statement is built). Every text field is a FixedText of
// the column's width, so a value can never overflow its field.
#pragma once

#include <cstdint>

#include "db/client/fixed_text.h"

namespace kvr {

struct StrNachricht {
  int32_t msgtnr = 0;      // number of a stored message text
  FixedText<250> msgtxt;   // message text
  FixedText<250> msglnk;   // link belonging to the message
  FixedText<50> msgmod;    // sender: module
  FixedText<50> msgsrc;    // sender: program
  FixedText<20> msgsch;    // sender: schema
  FixedText<25> msgcat;    // category
  FixedText<10> msgadr;    // recipient kind
  FixedText<10> msgber;    // recipient authorisation
  int32_t msgpri = 0;      // priority
  FixedText<5> msgtyp;     // message type
  FixedText<5> msgbrk;     // unused by the controller
  int32_t msgval = 0;      // unused by the controller
  FixedText<1024> msgdbg;  // debug text
  FixedText<5> msgmnd;     // sender: client number
  FixedText<5> msgliz;     // sender: Liz number
  FixedText<50> msgerf;    // sender: recorded by
};

// Gives the record the sender, category and recipient that every message of
// the controller carries.
inline void SetControllerSender(StrNachricht& record) {
  record.msgmod = "main";
  record.msgsrc = "KVRJOBSTR";
  record.msgliz = "99999";
  record.msgmnd = "99999";
  record.msgsch = "KVSYSTEM";
  record.msgerf = "SYSTEM";
  record.msgadr = "GEN";
  record.msgber = "ORBANEX";
  record.msgcat = "WARNHINWEISE";
}

}  // namespace kvr
