// JobRegistration::AddQEVJobs: the standing jobs of every client and of its
// persons. A client pass over the client table registers the client-wide
// jobs and collects the clients; a person pass registers the jobs of each
// client's persons; a last job runs the booking list of the whole product.
#include "core/logger.h"
#include "db/client/connection.h"
#include "db/queue/schema_setup.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "jobs/registration.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kClientCursor[] =
    "select MndSch ,MndLiz ,MndNum  from KvSystem.Kvr112Mnd where (MndKon<>1 and "
    "MndNa1<>'Firma 1')";
// Tells whether the client's schema and its person table can be reached.
constexpr char kClientCheck[] = "Select Count(*) from %s.Kvr300Pnr";
constexpr char kPlanningGroupCount[] = "select count(*)  into :b0:b1  from KVR701PlG";
// The persons that get their own programs: user name, personnel number.
constexpr char kPersonCursor[] = "select SbeDtq ,SbePnr  from Kvr303Sbe where SbeQev=1";

constexpr char kIniPath[] = "..\\files\\%s%s.ini";
constexpr char kLbrFile[] = ".\\KVRRECLBR";

constexpr char kClientsFailed[] = "Fehler Mandanten ermitteln RC: %ld!\n";
constexpr char kBadSchemaName[] = "Mandant uebersprungen: ungueltiger Schemaname '%s'!\n";
constexpr char kSwitchFailed[] = "Schemawechsel nach %s fehlgeschlagen RC: %ld!\n";
constexpr char kPlanningCountFailed[] =
    "ReadFehler: PLANAB Anzahl PLG ermitteln. Schema %s RC: %ld!\n";
constexpr char kQevFailed[] = "Insert-Fehler: QEV Jobeintrag fuer Schema %s RC: %ld!\n";
constexpr char kLmdFailed[] = "Insert-Fehler: LMD Jobeintrag fuer Schema %s RC: %ld!\n";
constexpr char kPlanFailed[] = "Insert-Fehler: PLANAB Jobeintrag fuer Schema %s RC: %ld!\n";
constexpr char kQevUserFailed[] =
    "Insert-Fehler: QEV Jobeintrag fuer Schema %s User: %s RC: %ld!\n";
constexpr char kHwnUserFailed[] =
    "Insert-Fehler: HWN Jobeintrag fuer Schema %s User: %s RC: %ld!\n";
constexpr char kFjoUserFailed[] =
    "Insert-Fehler: FJO Jobeintrag fuer Schema %s User: %s RC: %ld!\n";
constexpr char kLbrFailed[] = "Insert-Fehler: KVRREC_... /LBR Eintrag RC: %ld!\n";
constexpr char kCommit1Failed[] = "SQLCommit: AddQEVJobs(1)! RC: %ld\n";
constexpr char kCommit2Failed[] = "SQLCommit: AddQEVJobs(2)! RC: %ld\n";

// The client list starts with room for this many clients and grows by as
// many whenever it is full.
constexpr std::size_t kClientListStep = 10;

}  // namespace

void JobRegistration::AddQEVJobs(std::string_view programDbWord) {
  std::vector<Client> clients;
  clients.reserve(kClientListStep);
  ClientPass(&clients, programDbWord);
  PersonPass(clients, programDbWord);
  if (!FileExists(env_, kLbrFile)) return;
  std::string db(programDbWord);
  std::string cmd = BoundedPrintf("KVRREC_%s.EXE /LBR", db.c_str());
  if (int rc = InsertStanding("20000101120007", "/LBR", "KVRREC /LBR", cmd); rc != 0) {
    log_.MainF(kLbrFailed, static_cast<long>(rc));
  }
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kCommit2Failed, static_cast<long>(commit));
  }
}

void JobRegistration::ClientPass(std::vector<Client>* clients, std::string_view programDbWord) {
  int rc = 0;
  std::unique_ptr<Cursor> cursor = session_.db().Open(kClientCursor, {}, &rc);
  while (rc == 0 && cursor) {
    // Wider than the client entry's field, so that a longer name is seen
    // and refused instead of being cut into another schema's name.
    FixedText<64> schema;
    FixedText<5> liz, num;
    Out out[] = {Out::Text(schema), Out::Text(liz), Out::Text(num)};
    rc = cursor->Fetch(out);
    if (rc != 0) break;
    Client client;
    if (!TakeClient(schema.view(), liz.view(), num.view(), &client)) continue;
    int32_t count = 0;
    Out counted[] = {Out::Int(&count)};
    std::string check = BoundedPrintf(kClientCheck, client.schema.c_str());
    if (session_.db().SelectOne(check, {}, counted) != 0) continue;
    AddClientJobs(client, programDbWord);
    AddPlanningJob(client, programDbWord);
    if (clients->size() == clients->capacity()) clients->reserve(clients->size() + kClientListStep);
    clients->push_back(client);
  }
  if (rc != 0 && rc != kSqlNoData) log_.MainF(kClientsFailed, static_cast<long>(rc));
  if (cursor) cursor->Close();
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kCommit1Failed, static_cast<long>(commit));
  }
}

// Fills the client entry; false (logged) when the schema name may not go
// into a statement text.
bool JobRegistration::TakeClient(std::string_view schema, std::string_view liz,
                                 std::string_view num, Client* client) {
  std::string name(schema), lizText(liz), numText(num);
  TrimRight(name);
  TrimRight(lizText);
  TrimRight(numText);
  if (!IsPlainSchemaName(name)) {
    log_.MainF(kBadSchemaName, name.c_str());
    return false;
  }
  client->schema = name;
  client->iniPath = BoundedPrintf(kIniPath, lizText.c_str(), numText.c_str());
  return true;
}

void JobRegistration::AddClientJobs(const Client& c, std::string_view programDbWord) {
  const char* schema = c.schema.c_str();
  const char* ini = c.iniPath.c_str();
  const std::string word(programDbWord);
  const char* db = word.c_str();
  std::string ke2 = BoundedPrintf("Schema: %s", schema);
  std::string all, korr;
  if (instanceMode()) {
    long n = static_cast<long>(instance_);
    all = BoundedPrintf("KVRREC_%s.EXE %s USER:%s#ALLE %ld", db, ini, schema, n);
    korr = BoundedPrintf("KVRREC_%s.EXE %s USER:%s#KORR %ld", db, ini, schema, n);
  } else {
    all = BoundedPrintf("KVRREC_%s.EXE %s USER:%s#ALLE", db, ini, schema);
    korr = BoundedPrintf("KVRREC_%s.EXE %s USER:%s#KORR", db, ini, schema);
  }
  if (int rc = InsertStanding("20000101120000", ke2, schema, all); rc != 0) {
    log_.MainF(kQevFailed, schema, static_cast<long>(rc));
  }
  std::string korrOrigin = std::string(schema) + "!";
  if (int rc = InsertStanding("20000101120002", ke2, korrOrigin, korr); rc != 0) {
    log_.MainF(kQevFailed, schema, static_cast<long>(rc));
  }
  if (!FileExists(env_, "LMD.EXE")) return;
  int rc = InsertStanding("20000101120005", ke2, std::string("LMD:") + schema,
                          BoundedPrintf("LMD.EXE %s USER:%s#ALLE", ini, schema));
  if (rc != 0) log_.MainF(kLmdFailed, schema, static_cast<long>(rc));
}

// The planning-group reconciliation, for a client that has planning groups
// and where its program is present. The count is read in the client's own
// schema; when the switch fails the count would come from another client.
void JobRegistration::AddPlanningJob(const Client& c, std::string_view programDbWord) {
  const char* schema = c.schema.c_str();
  if (!SwitchToClient(c)) return;
  int32_t count = 0;
  Out out[] = {Out::Int(&count)};
  int rc = session_.db().SelectOne(kPlanningGroupCount, {}, out);
  if (rc != 0) {
    count = 0;
    log_.MainF(kPlanningCountFailed, schema, static_cast<long>(rc));
  }
  std::string db(programDbWord);
  std::string file = BoundedPrintf("PLANABGLEICH_%s.EXE", db.c_str());
  if (!FileExists(env_, file) || count <= 0) return;
  rc = InsertStanding("20000101120006", BoundedPrintf("Schema: %s", schema),
                      std::string("PLANABGLEICH:") + schema,
                      BoundedPrintf("%s %s USER:%s#ALLE", file.c_str(), c.iniPath.c_str(), schema));
  if (rc != 0) log_.MainF(kPlanFailed, schema, static_cast<long>(rc));
}

void JobRegistration::PersonPass(const std::vector<Client>& clients,
                                 std::string_view programDbWord) {
  PersonFiles files{programDbWord, FileExists(env_, "HWN.EXE") != 0,
                    FileExists(env_, "FJO.EXE") != 0, FileExists(env_, "LMD.EXE") != 0};
  for (const Client& client : clients) {
    // The person query names no schema: in another client's schema it would
    // register that client's persons with this client's ini file.
    if (!SwitchToClient(client)) continue;
    int rc = 0;
    std::unique_ptr<Cursor> cursor = session_.db().Open(kPersonCursor, {}, &rc);
    while (rc == 0 && cursor) {
      FixedText<20> user;
      FixedText<8> pnr;
      Out out[] = {Out::Text(user), Out::Text(pnr)};
      rc = cursor->Fetch(out);
      if (rc != 0) break;
      TrimRight(user.data());
      TrimRight(pnr.data());
      if (user.empty()) continue;
      AddPersonJobs(client, files, user.view(), pnr.view());
    }
    if (cursor) cursor->Close();
  }
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kCommit2Failed, static_cast<long>(commit));
  }
}

void JobRegistration::AddPersonJobs(const Client& c, const PersonFiles& files,
                                    std::string_view userView, std::string_view pnrView) {
  std::string user(userView), pnr(pnrView);
  const char* u = user.c_str();
  const char* ini = c.iniPath.c_str();
  const char* schema = c.schema.c_str();
  const std::string db(files.programDbWord);
  FixedText<32> ke2(BoundedPrintf("PNR: %s", pnr.c_str()));
  auto failed = [&](const char* format, int rc) {
    if (rc != 0) log_.MainF(format, u, ke2.c_str(), static_cast<long>(rc));
  };
  failed(kQevUserFailed, InsertStanding("20000101120000", ke2.view(), user,
                                        BoundedPrintf("QEV_%s.EXE %s USER:%s#%s", db.c_str(), ini,
                                                      u, pnr.c_str())));
  if (files.hwn) {
    failed(kHwnUserFailed, InsertStanding("20000101120001", ke2.view(), "HWN:" + user,
                                          BoundedPrintf("HWN.EXE %s USER:%s#%s", ini, schema, u)));
  }
  if (files.fjo) {
    failed(kFjoUserFailed, InsertStanding("20000101120003", ke2.view(), "FJO:" + user,
                                          BoundedPrintf("FJO.EXE %s USER:%s#%s", ini, schema, u)));
  }
  if (!files.lmd) return;
  int rc = InsertStanding("20000101120005", BoundedPrintf("Schema: %s", u), "LMD:" + user,
                          BoundedPrintf("LMD.EXE %s USER:%s#ALLE", ini, u));
  if (rc != 0) log_.MainF(kLmdFailed, u, static_cast<long>(rc));
}

bool JobRegistration::SwitchToClient(const Client& c) {
  std::string message;
  int rc = session_.SQLSetSchema(c.schema.str(), &message);
  if (rc == 0) return true;
  log_.MainF(kSwitchFailed, c.schema.c_str(), static_cast<long>(rc));
  return false;
}

// A standing job row: no time limit, run type 04, no start attempts yet.
// The texts are cut to their column widths by the insert.
int JobRegistration::InsertStanding(std::string_view da1, std::string_view ke2,
                                    std::string_view urv, std::string_view cmd) {
  return SQLInsertJob(session_, da1, ke2, urv, cmd, 0, kRunType04);
}

void AppendClientJobStatements(StatementList* list) {
  list->insert(list->end(), {{"ClientCursor", kClientCursor},
                             {"ClientCheck", BoundedPrintf(kClientCheck, "MANDANT1")},
                             {"PlanningGroupCount", kPlanningGroupCount},
                             {"PersonCursor", kPersonCursor}});
}

}  // namespace kvr
