#include "datasets/postgres/postgres_dataset.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/sysutils.h"
#include "datasets/postgres/postgres_dataset_state.h"

namespace korvane {

using pg::TKind;

namespace {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

std::string WithoutTrailingSemicolons(std::string text) {
  while (!text.empty() && (text.back() == ';' || static_cast<unsigned char>(text.back()) <= ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

// Jobs 0: the server's max_parallel_workers or the client's cores,
// whichever is fewer (the cores alone on an engine without the setting).
std::int32_t TPostgresDataSet::TState::AutoJobs() const {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::int64_t server = cores;
  pg::TResult r(PQexec(conn(), "SHOW max_parallel_workers"));
  if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
    server = std::atoll(PQgetvalue(r.get(), 0, 0));
  }
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(server, 1, cores));
}

// Opens up to count more connections for the jobs; fewer when the server
// refuses one (JobsNote says why). begin runs on each first.
std::vector<std::unique_ptr<pg::TConnection>> TPostgresDataSet::TState::OpenJobConnections(
    const std::string& connection, std::int64_t count, const std::string& begin,
    std::int64_t open) {
  std::vector<std::unique_ptr<pg::TConnection>> conns;
  try {
    while (static_cast<std::int64_t>(conns.size()) < count) {
      auto c = std::make_unique<pg::TConnection>(connection);
      if (!SessionSetup.empty()) c->Exec(SessionSetup);
      if (!begin.empty()) c->Exec(begin);
      conns.push_back(std::move(c));
    }
  } catch (const EDatabaseError& e) {
    JobsNote = "only " + std::to_string(static_cast<std::int64_t>(conns.size()) + open) + " of " +
               std::to_string(count + open) + " connections could be opened (" + e.Message() + ")";
  }
  return conns;
}
// ---------------------------------------------------------------------------

TPostgresDataSet::TPostgresDataSet(TComponent* owner)
    : TSQLDataSet(owner), FState(std::make_unique<TState>()) {}

const std::string& TPostgresDataSet::Connection() const { return FState->FConnection; }
bool TPostgresDataSet::BinaryCopy() const { return FState->FBinaryCopy; }
bool TPostgresDataSet::ExactTimes() const { return FState->FExactTimes; }
bool TPostgresDataSet::UtcTimes() const { return FState->FUtcTimes; }
std::int32_t TPostgresDataSet::Jobs() const { return FState->FJobs; }
bool TPostgresDataSet::UnorderedRead() const { return FState->FUnorderedRead; }
void TPostgresDataSet::SetUnorderedRead(bool value) { FState->FUnorderedRead = value; }
const TPostgresDataSet::TNoticeEvent& TPostgresDataSet::OnNotice() const {
  return FState->FOnNotice;
}
void TPostgresDataSet::SetOnNotice(TNoticeEvent value) { FState->FOnNotice = std::move(value); }

// Programs built against an earlier library allocate the class with the size
// they were compiled with.
static_assert(sizeof(TPostgresDataSet) == sizeof(TSQLDataSet) + sizeof(void*),
              "a property's value goes in TPostgresDataSet::TState");

TPostgresDataSet::~TPostgresDataSet() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report: a host that needs to know whether the
    // records of an unfinished bulk run were stored calls EndBulk or Close
    // first, which raise the reason.
  }
}

std::string TPostgresDataSet::ShownConnection() const {
  return pg::HidePassword(FState->FConnection);
}

void TPostgresDataSet::SetConnection(const std::string& value) {
  CheckInactive("Connection");
  if (value != FState->FConnection) FState->Conn.reset();
  FState->FConnection = value;
}
void TPostgresDataSet::SetExactTimes(bool value) {
  CheckInactive("ExactTimes");
  FState->FExactTimes = value;
}

void TPostgresDataSet::SetUtcTimes(bool value) {
  CheckInactive("UtcTimes");
  if (value != FState->FUtcTimes) FState->Conn.reset();
  FState->FUtcTimes = value;
}

void TPostgresDataSet::SetJobs(std::int32_t value) {
  if (value < 0) Fail("Jobs is a number of connections, 1 or more (0: as many as fit)");
  FState->FJobs = value;
}

std::int32_t TPostgresDataSet::JobsUsed() const { return FState->JobsUsed; }
const std::string& TPostgresDataSet::JobsNote() const { return FState->JobsNote; }
const std::string& TPostgresDataSet::JobsCommitted() const { return FState->JobsCommitted; }

std::int32_t TPostgresDataSet::AutoJobs() {
  Connect();
  return FState->AutoJobs();
}

void TPostgresDataSet::SetBinaryCopy(bool value) {
  CheckInactive("BinaryCopy");
  FState->FBinaryCopy = value;
  FState->Binary = value;
}

bool TPostgresDataSet::CopiesBinary() const { return FState->Binary; }

void TPostgresDataSet::Connect() {
  if (FState->Conn && !FState->Conn->Lost()) return;
  if (FState->FConnection.empty())
    Fail("Connection is empty: give a postgresql:// URI or key=value string");
  FState->Conn = std::make_unique<pg::TConnection>(FState->FConnection);
  // Notices reach OnNotice while it is set, else stderr as libpq prints
  // them. libpq calls back from C: a handler that raised would unwind
  // through it, so the call is noexcept and such a handler ends the process.
  PQsetNoticeReceiver(
      FState->Conn->get(),
      [](void* self, const PGresult* result) noexcept {
        auto* dataset = static_cast<TPostgresDataSet*>(self);
        const char* text = PQresultErrorMessage(result);
        if (!dataset->FState->FOnNotice) {
          std::fputs(text, stderr);
          return;
        }
        std::string_view line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        dataset->FState->FOnNotice(dataset, std::string(line));
      },
      this);
  if (FState->FUtcTimes) FState->Conn->Exec("SET TimeZone = 'UTC'");
  // The connections of the jobs work in the same session settings.
  FState->SessionSetup = FState->FUtcTimes ? "SET TimeZone = 'UTC'" : "";
  FState->Binary = FState->FBinaryCopy;
}

void TPostgresDataSet::ExecSQL(const std::string& sql) {
  Connect();
  FState->StopReading();
  if (FState->Writer) FState->Writer->Flush();
  FState->Conn->Exec(sql);
}

namespace {

// The OID of a relation spelled as for TableName, or "" when there is none.
std::string FindRelation(pg::TConnection& conn, const pg::TQualifiedName& name) {
  for (const std::string& spelled : {name.Quoted(), name.QuotedFolded()}) {
    pg::TResult r = conn.ExecParams("SELECT to_regclass($1)::oid", {spelled});
    if (PQntuples(r.get()) == 1 && !PQgetisnull(r.get(), 0, 0)) return PQgetvalue(r.get(), 0, 0);
  }
  return {};
}

}  // namespace

bool TPostgresDataSet::TableExists(const std::string& name) {
  Connect();
  FState->StopReading();
  return !FindRelation(*FState->Conn, pg::ParseQualifiedName(name)).empty();
}

void TPostgresDataSet::InternalOpen() {
  CheckSource();
  ForgetKey();
  TState& s = *FState;
  s.Context.ExactTimes = FState->FExactTimes;
  try {
    Connect();
    if (Query().empty()) {
      OpenTable();
    } else {
      OpenQuery();
    }
    s.Context.ZonedSession = false;
    s.Context.SkippedTimes.reset();
    for (const pg::TColumn& c : s.Cols) {
      if (c.Kind == TKind::TimestampTz && FState->FExactTimes) {
        pg::TResult r = s.Conn->Exec(
            "SELECT current_setting('TimeZone') NOT IN ('UTC', 'Etc/UTC', 'GMT', 'Etc/GMT')",
            PGRES_TUPLES_OK);
        s.Context.ZonedSession = *PQgetvalue(r.get(), 0, 0) == 't';
        break;
      }
    }
    for (const pg::TColumn& c : s.Cols) {
      if (c.Kind == TKind::Money) {
        pg::TResult r = s.Conn->Exec("SELECT scale('1'::money::numeric)", PGRES_TUPLES_OK);
        const int scale = std::atoi(PQgetvalue(r.get(), 0, 0));
        s.Context.MoneyFactor = scale == 0   ? 10000
                                : scale == 1 ? 1000
                                : scale == 2 ? 100
                                : scale == 3 ? 10
                                             : 1;
        // The decimals the server's money keeps, for the strict rules.
        for (TField* field : Fields()) {
          if (field->DataType() == ftCurrency) field->SetScale(std::clamp(scale, 0, 4));
        }
        break;
      }
    }
  } catch (...) {
    s.ForgetSource();
    ForgetKey();
    DestroyFields();
    throw;
  }
}

void TPostgresDataSet::OpenTable() {
  TState& s = *FState;
  const pg::TQualifiedName name = pg::ParseQualifiedName(TableName());
  std::string oid = FindRelation(*s.Conn, name);
  if (oid.empty()) {
    if (!CreateTable()) Fail("Table '" + TableName() + "' does not exist");
    std::string columns;
    for (const std::string& item : ColumnList().Items()) {
      if (IsBlank(item)) continue;
      columns += (columns.empty() ? "" : ", ") + item;
    }
    if (columns.empty()) {
      Fail("Table '" + TableName() +
           "' does not exist and Columns is empty, so it cannot be created");
    }
    s.Conn->Exec("CREATE TABLE " + name.QuotedFolded() + " (" + columns + ")");
    oid = FindRelation(*s.Conn, name);
    if (oid.empty()) Fail("Table '" + TableName() + "' was not created");
  }
  pg::TResult rel = s.Conn->ExecParams(
      "SELECT quote_ident(n.nspname) || '.' || quote_ident(c.relname), c.relkind, "
      "has_table_privilege(c.oid, 'INSERT') FROM pg_class c JOIN pg_namespace n ON "
      "n.oid = c.relnamespace WHERE c.oid = $1",
      {oid});
  s.Table = PQgetvalue(rel.get(), 0, 0);
  const char kind = *PQgetvalue(rel.get(), 0, 1);
  s.Kind = kind;
  const bool insertable = *PQgetvalue(rel.get(), 0, 2) == 't';
  pg::TResult cols = s.Conn->ExecParams(
      "SELECT a.attname, CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE a.atttypid END, "
      "CASE WHEN t.typtype = 'd' THEN t.typtypmod ELSE a.atttypmod END, a.atthasdef, "
      "a.attidentity <> '', a.attgenerated <> '', "
      "coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false), a.attnotnull, "
      "coalesce(pg_get_serial_sequence($2, a.attname), '') "
      "FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid "
      "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
      "WHERE a.attrelid = $1 AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
      {oid, s.Table});
  const int rows = PQntuples(cols.get());
  if (rows == 0) Fail("Table '" + TableName() + "' has no columns");
  for (int i = 0; i < rows; ++i) {
    const auto flag = [&](int column) { return *PQgetvalue(cols.get(), i, column) == 't'; };
    pg::TColumn c;
    c.Name = PQgetvalue(cols.get(), i, 0);
    const int typmod = std::atoi(PQgetvalue(cols.get(), i, 2));
    const auto type =
        static_cast<unsigned>(std::strtoul(PQgetvalue(cols.get(), i, 1), nullptr, 10));
    c.Kind = pg::KindOfType(type, typmod);
    c.Type = type;
    const bool identity = flag(4);
    c.Generated = flag(5);
    c.AutoInc = identity || flag(6);
    c.HasDefault = flag(3) || identity;
    c.Sequence = PQgetvalue(cols.get(), i, 8);
    c.Def = pg::FieldDefForColumn(c.Name, c.Kind, typmod, c.AutoInc);
    TField* field = AddField(c.Def.Name, c.Def.DataType, c.Def.Size);
    if (c.Def.DataType == ftCurrency) field->SetCurrency(true);
    field->SetPrecision(c.Def.Precision);
    if (c.Def.Scale >= 0 || c.Def.Precision < 0) field->SetScale(c.Def.Scale);
    field->SetFixedLength(pg::PadsToLength(type, typmod));
    if (c.Generated) field->SetReadOnly(true);
    s.AutoInc.push_back(c.AutoInc);
    s.Cols.push_back(std::move(c));
  }
  s.Writable = !ReadOnly() && insertable && (kind == 'r' || kind == 'p' || kind == 'f');
  if (s.Writable && LoadMode() != lmAppend) {
    s.ReadKeys(oid);
    ChooseKey(s.PrimaryKey, s.UniqueKeys);
    s.Mode = LoadMode();
    for (const TField* field : KeyFieldList()) {
      s.Key.push_back(static_cast<std::size_t>(field->Index()));
    }
  }
}

void TPostgresDataSet::OpenQuery() {
  TState& s = *FState;
  s.IsQuery = true;
  s.QueryText = WithoutTrailingSemicolons(Query());
  if (s.QueryText.empty()) Fail("Query holds no statement");
  pg::TResult prepared(PQprepare(s.conn(), "", s.QueryText.c_str(), 0, nullptr));
  if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
    Fail("Query failed: " + pg::ErrorOf(s.conn(), prepared.get()).Text());
  }
  pg::TResult described(PQdescribePrepared(s.conn(), ""));
  if (!described || PQresultStatus(described.get()) != PGRES_COMMAND_OK) {
    Fail("Query failed: " + pg::ErrorOf(s.conn(), described.get()).Text());
  }
  const int count = PQnfields(described.get());
  if (count == 0) Fail("Query returns no columns");
  for (int i = 0; i < count; ++i) {
    const char* raw = PQfname(described.get(), i);
    std::string fieldName = raw != nullptr && *raw != '\0' && std::strcmp(raw, "?column?") != 0
                                ? raw
                                : "Column" + std::to_string(i + 1);
    for (int n = 1; FindField(fieldName); ++n) {
      fieldName = (raw ? std::string(raw) : "Column") + "_" + std::to_string(n);
    }
    pg::TColumn c;
    c.Name = fieldName;
    const unsigned type = PQftype(described.get(), i);
    const int typmod = PQfmod(described.get(), i);
    c.Kind = pg::KindOfType(type, typmod);
    c.Type = type;
    c.Def = pg::FieldDefForColumn(fieldName, c.Kind, typmod, false);
    TField* field = AddField(c.Def.Name, c.Def.DataType, c.Def.Size);
    if (c.Def.DataType == ftCurrency) field->SetCurrency(true);
    field->SetPrecision(c.Def.Precision);
    if (c.Def.Scale >= 0 || c.Def.Precision < 0) field->SetScale(c.Def.Scale);
    field->SetFixedLength(pg::PadsToLength(type, typmod));
    field->SetReadOnly(true);
    s.Cols.push_back(std::move(c));
  }
  s.Writable = false;
}

void TPostgresDataSet::InternalClose() {
  TState& s = *FState;
  // Closing in the middle of a bulk run keeps what was posted; a commit
  // that fails then is raised once the dataset is closed, so that the host
  // learns that the records posted since the last commit are not stored.
  std::exception_ptr failed;
  if (s.Conn) {
    s.StopReading();
    if (s.Load) {
      try {
        s.EndParallelLoad(false);
      } catch (const std::exception&) {
        failed = std::current_exception();
      }
    }
    if (s.Writer) {
      try {
        s.Writer->EndBulk();
      } catch (const std::exception&) {
        failed = std::current_exception();
      }
      s.Writer->Abandon();
    }
  }
  s.ForgetSource();
  s.Conn.reset();
  ForgetKey();
  DestroyFields();
  if (failed) std::rethrow_exception(failed);
}

bool TPostgresDataSet::InternalFirst() {
  TState& s = *FState;
  if (s.AtFirst) return s.FirstFound;
  if (s.Writer && s.Writer->Copying()) s.Writer->Flush();
  // A table open for appending is read over its own connection: its
  // first record is all an import reads.
  s.StartReading(s.Writable ? 1 : FState->FJobs, FState->FUnorderedRead, FState->FConnection);
  s.FirstFound = s.ReadRecord(BrowseBuffer());
  SetActiveBuffer(nullptr);
  s.AtFirst = true;
  return s.FirstFound;
}

bool TPostgresDataSet::InternalNext() {
  TState& s = *FState;
  s.AtFirst = false;
  if (!s.Reading) return false;
  if (!s.ReadRecord(BrowseBuffer())) return false;
  SetActiveBuffer(nullptr);
  return true;
}

void TPostgresDataSet::InternalPost() {
  TState& s = *FState;
  if (!s.Writable) Fail("Dataset cannot be modified");
  if (State() == dsEdit) Fail("Records of a PostgreSQL table can only be appended, not edited");
  s.StopReading();
  std::vector<TFieldData>& values = EditBuffer();
  if (!KeyFieldList().empty()) CheckKeyValues(values.data(), s.AutoInc);
  if (s.Load) {
    s.Load->Add(values.data(), PostCount() + 1);
    return;
  }
  pg::TCopyWriter& writer = s.WriterFor(BulkCommitCount());
  try {
    writer.Add(values.data(), RefusedPostsWanted() ? PostCount() + 1 : 0);
  } catch (...) {
    // Raised on to the caller; the bulk run only notes that a post failed.
    writer.NotePostFailed();
    throw;
  }
  if (s.BulkDepth == 0) s.TakeGeneratedValues(values);
}

bool TPostgresDataSet::CanModify() const {
  if (!Active()) return TSQLDataSet::CanModify();
  return FState->Writable;
}

int TPostgresDataSet::RecordCount() const {
  TState& s = *FState;
  if (!Active() || !s.Conn) return -1;
  try {
    s.StopReading();
    if (s.Writer && s.Writer->Copying()) s.Writer->Flush();
    const std::string source = s.IsQuery ? "(" + s.QueryText + ") AS korvane_query" : s.Table;
    pg::TResult r = s.Conn->Exec("SELECT count(*) FROM " + source, PGRES_TUPLES_OK);
    const long long count = std::atoll(PQgetvalue(r.get(), 0, 0));
    return count > INT32_MAX ? INT32_MAX : static_cast<int>(count);
  } catch (const EDatabaseError&) {
    return -1;
  }
}

void TPostgresDataSet::BeginBulk() {
  TState& s = *FState;
  if (s.BulkDepth++ > 0 || !s.Conn || !s.Writable) return;
  s.StopReading();
  try {
    if (s.StartParallelLoad(FState->FJobs, BulkCommitCount(), FState->FConnection)) return;
    s.WriterFor(BulkCommitCount()).BeginBulk();
  } catch (...) {
    --s.BulkDepth;
    throw;
  }
}

void TPostgresDataSet::EndBulk() {
  TState& s = *FState;
  if (s.BulkDepth == 0) return;
  --s.BulkDepth;
  if (s.Load) {
    if (s.BulkDepth == 0) {
      s.EndParallelLoad(false);
    } else {
      s.Load->Flush();
    }
    return;
  }
  if (!s.Writer) return;
  if (s.BulkDepth > 0) {
    s.Writer->Flush();
  } else {
    s.Writer->EndBulk();
  }
}

std::int64_t TPostgresDataSet::AbandonBulk() {
  TState& s = *FState;
  if (s.BulkDepth == 1 && s.Load) {
    s.BulkDepth = 0;
    return s.EndParallelLoad(true);
  }
  if (s.BulkDepth != 1 || !s.Writer) {
    EndBulk();
    return 0;
  }
  s.BulkDepth = 0;
  return s.Writer->AbandonBulk();
}

std::int64_t TPostgresDataSet::HeldPosts() const {
  if (FState->Load) return PostCount() - FState->Load->Settled();
  return FState->Writer ? FState->Writer->Held() : 0;
}

bool TPostgresDataSet::ServerOnThisMachine() {
  Connect();
  return FState->Conn->OnThisMachine();
}

TLoadCounts TPostgresDataSet::LoadCounts() const {
  const TState& s = *FState;
  if (s.Load) return IsKeyedLoad(s.Mode) ? s.Load->Counts() : TLoadCounts{s.Load->Committed(), 0, 0};
  if (s.LoadRan) {
    if (IsKeyedLoad(s.Mode)) {
      const TLoadCounts more = s.Writer ? s.Writer->Counts() : TLoadCounts{};
      return {s.LoadCounts.Inserted + more.Inserted, s.LoadCounts.Updated + more.Updated,
              s.LoadCounts.Skipped + more.Skipped};
    }
    return {s.LoadCommitted + (s.Writer ? s.Writer->Committed() : 0), 0, 0};
  }
  if (!s.Writer) return {};
  if (IsKeyedLoad(s.Mode)) return s.Writer->Counts();
  return {s.Writer->Committed(), 0, 0};
}

TDataSet::TRefusals TPostgresDataSet::TakeRefusals() {
  TState& s = *FState;
  if (s.Load) return s.Load->Refusals(RefusedPostsWanted());
  if (s.LoadRefusals.Count > 0) {
    TRefusals refused = std::exchange(s.LoadRefusals, {});
    if (!RefusedPostsWanted()) refused.Posts.clear();
    return refused;
  }
  return s.Writer ? s.Writer->TakeRefusals() : TRefusals{};
}

template <>
TComponentClass ComponentClass<TPostgresDataSet>() {
  using D = TPostgresDataSet;
  static const TClassInfo info = [] {
    TClassBuilder<D> builder("TPostgresDataSet");
    builder.String("Connection", &D::ShownConnection, &D::SetConnection);
    PublishSQLSource(builder);
    return PublishSQLLoad(builder)
        .Integer("BulkCommitCount", &D::BulkCommitCount, &D::SetBulkCommitCount)
        .Boolean("BinaryCopy", &D::BinaryCopy, &D::SetBinaryCopy)
        .Boolean("ExactTimes", &D::ExactTimes, &D::SetExactTimes)
        .Boolean("UtcTimes", &D::UtcTimes, &D::SetUtcTimes)
        .Integer("Jobs", &D::Jobs, &D::SetJobs)
        .Boolean("UnorderedRead", &D::UnorderedRead, &D::SetUnorderedRead)
        .Build();
  }();
  return &info;
}

}  // namespace korvane
