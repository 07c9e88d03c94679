#include "messages/message_insert.h"

#include <gtest/gtest.h>

#include <string>

namespace kvr {
namespace {

StrNachricht ControllerRecord() {
  StrNachricht r;
  r.msgtyp = "1";
  r.msgval = 1;
  SetControllerSender(r);
  r.msgtxt = "07.12.2026 08:43:12 Der Jobcontroller wurde gestartet!";
  return r;
}

TEST(MessageInsert, StatementTextOfTheControllersRecord) {
  EXPECT_EQ(FormatNachrichtInsert(ControllerRecord(), "17650981234711", "20261207084312"),
            "INSERT INTO KVSYSTEM.KVR200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  "
            "MSGSCH, MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, "
            "MSGLIZ, MSGTIN,  MSGSTS, MSGERF) VALUES ('17650981234711',   0, '07.12.2026 "
            "08:43:12 Der Jobcontroller wurde gestartet!',  '', 'main', 'KVRJOBSTR',  "
            "'KVSYSTEM', 'WARNHINWEISE', 'GEN',  'ORBANEX',   0, '1',  '',   1, '',  '99999', "
            "'99999', '20261207084312',    0, 'SYSTEM')");
}

TEST(MessageInsert, QuotesAreDoubledAndLineEndsBecomeBlanks) {
  EXPECT_EQ(EscapeNachrichtValue("it's 100% \"done\"\r\nnext\n"), "it''s 100% \"done\"  next ");
  StrNachricht r = ControllerRecord();
  r.msgtxt = "O'Neil\nsays 'hi'";
  std::string sql = FormatNachrichtInsert(r, "1", "2");
  EXPECT_NE(sql.find("'O''Neil says ''hi'''"), std::string::npos);
  EXPECT_EQ(sql.find('\n'), std::string::npos);
  EXPECT_TRUE(IsNachrichtInsert(sql));
}

TEST(MessageInsert, FullestRecordStaysWithinTheLongestStatement) {
  StrNachricht r = ControllerRecord();
  r.msgtxt = std::string(250, '\'');
  r.msglnk = std::string(250, '\'');
  r.msgdbg = std::string(1024, '\'');
  r.msgmod = std::string(50, '\'');
  r.msgerf = std::string(50, '\'');
  r.msgtnr = -2147483647 - 1;
  std::string sql = FormatNachrichtInsert(r, "922337203685477580732767", "20261207084312");
  EXPECT_LE(sql.size(), kMaxNachrichtInsertLength);
  EXPECT_LT(kMaxNachrichtInsertLength, 4096u);
  EXPECT_TRUE(IsNachrichtInsert(sql));
}

TEST(MessageInsert, OnlyMessageInsertsAreRecognised) {
  const std::string good = FormatNachrichtInsert(ControllerRecord(), "1", "2");
  const std::string prefix = kNachrichtInsertPrefix;
  const std::string values19 = good.substr(0, good.rfind(", 'SYSTEM')")) + ")";
  struct Case {
    const char* name;
    std::string line;
    bool taken;
  };
  const Case cases[] = {
      {"as built", good, true},
      {"no blanks between values",
       prefix + "'1',0,'t','','m','s','c','a','g','b',0,'1','',1,'','9','9','2',0,'e')", true},
      {"foreign statement", "DELETE FROM KVSYSTEM.KVR500JOB", false},
      {"empty line", "", false},
      {"second statement behind", good + "; DELETE FROM KVSYSTEM.KVR500JOB", false},
      {"comment behind", good + " --", false},
      {"trailing blank", good + " ", false},
      {"quote left open",
       prefix + "'1', 0, 'it's', '', 'm', 's', 'c', 'a', 'g', 'b', 0, '1', '', 1, '', '9', '9', "
                "'2', 0, 'e')",
       false},
      {"injected through a value",
       prefix + "'1', 0, 'x'); DROP TABLE KVSYSTEM.KVR500JOB; --', '', 'm')", false},
      {"nineteen values", values19, false},
      {"twenty-one values", good.substr(0, good.size() - 1) + ", 'x')", false},
      {"expression for a value",
       prefix + "(SELECT 1), 0, 't', '', 'm', 's', 'c', 'a', 'g', 'b', 0, '1', '', 1, '', '9', "
                "'9', '2', 0, 'e')",
       false},
      {"integer of eleven digits",
       prefix + "'1', 12345678901, 't', '', 'm', 's', 'c', 'a', 'g', 'b', 0, '1', '', 1, '', '9', "
                "'9', '2', 0, 'e')",
       false},
      {"line end inside", good.substr(0, 250) + "\n" + good.substr(250), false},
      {"zero byte inside", good.substr(0, 250) + std::string(1, '\0') + good.substr(251), false},
      {"lower-case prefix", "insert" + good.substr(6), false},
      {"longer than any statement",
       prefix + "'" + std::string(5000, 'x') +
           "', 0, '', '', 'm', 's', 'c', 'a', 'g', 'b', 0, '1', '', 1, '', '9', '9', '2', 0, 'e')",
       false},
      {"binary garbage", std::string("\x01\xff\xfe\x80garbage\x7f", 12), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNachrichtInsert(c.line), c.taken) << c.name;
  }
}

}  // namespace
}  // namespace kvr
