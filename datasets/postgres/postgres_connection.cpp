#include "datasets/postgres/postgres_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

#include "core/classes.h"
#include "core/sysutils.h"
#include "datasets/sql_quote.h"

namespace korvane::pg {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (SameText(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

// "COPY people, line 17, column id: ..." -> 17.
long CopyLine(const char* context) {
  if (context == nullptr) return 0;
  const char* at = std::strstr(context, ", line ");
  if (at == nullptr || std::strncmp(context, "COPY ", 5) != 0) return 0;
  return std::strtol(at + 7, nullptr, 10);
}

}  // namespace

std::string TError::Text() const {
  std::string out = Message;
  if (!SqlState.empty()) out += " (SQLSTATE " + SqlState + ")";
  if (!Detail.empty()) out += ": " + Detail;
  return out;
}

bool IsRecordFault(const std::string& state) {
  static constexpr const char* kClasses[] = {"09", "21", "22", "23", "27", "2F", "39", "44", "P0"};
  if (state.size() != 5) return false;
  // A deadlock: the record's key waited on a row another transaction holds
  // (over several connections, the same key given twice), and the server
  // ended this statement to free the other; the statement is the one undone.
  if (state == "40P01") return true;
  for (const char* c : kClasses) {
    if (state.compare(0, 2, c) == 0) return true;
  }
  return false;
}

bool RefusesBinaryFormat(const TError& e) {
  if (e.ConnectionLost) return false;
  for (const char* state : {"0A000", "42883", "42601", "22023", "22P04"}) {
    if (e.SqlState == state) return true;
  }
  return false;
}

TError ErrorOf(PGconn* conn, const PGresult* r) {
  TError e;
  const char* primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) {
    e.Message = primary;
    if (const char* detail = PQresultErrorField(r, PG_DIAG_MESSAGE_DETAIL)) e.Detail = detail;
    if (const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE)) e.SqlState = state;
    e.Line = CopyLine(PQresultErrorField(r, PG_DIAG_CONTEXT));
  } else {
    const char* text = r != nullptr ? PQresultErrorMessage(r) : "";
    if (text == nullptr || *text == '\0') text = PQerrorMessage(conn);
    e.Message = OneLine(text);
    if (e.Message.empty()) e.Message = "the server gave no reason";
  }
  e.ConnectionLost = PQstatus(conn) == CONNECTION_BAD;
  return e;
}

std::string HidePassword(std::string_view connection) {
  std::string out(connection);
  if (IsPostgresUri(out)) {
    // scheme://[user[:password]@]host...: the password ends at the last '@'
    // of the authority.
    const std::size_t start = out.find("://") + 3;
    std::size_t end = out.find_first_of("/?", start);
    if (end == std::string::npos) end = out.size();
    const std::size_t at = out.rfind('@', end);
    if (at != std::string::npos && at >= start) {
      const std::size_t colon = out.find(':', start);
      if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    // ...?password=secret&...
    for (std::size_t p = out.find('?'); p != std::string::npos; p = out.find('&', p + 1)) {
      if (StartsWithNoCase(std::string_view(out).substr(p + 1), "password=")) {
        const std::size_t value = p + 10;
        const std::size_t stop = out.find('&', value);
        out.replace(value, (stop == std::string::npos ? out.size() : stop) - value, "***");
      }
    }
    return out;
  }
  // key=value pairs; a value may be 'quoted' with \' and \\ inside.
  std::string result;
  std::size_t i = 0;
  while (i < out.size()) {
    const std::size_t keyStart = out.find_first_not_of(" \t\n\r", i);
    if (keyStart == std::string::npos) {
      result += out.substr(i);
      break;
    }
    result += out.substr(i, keyStart - i);
    std::size_t eq = out.find('=', keyStart);
    if (eq == std::string::npos) {
      result += out.substr(keyStart);
      break;
    }
    const std::string key = Trim(std::string_view(out).substr(keyStart, eq - keyStart));
    std::size_t v = out.find_first_not_of(" \t", eq + 1);
    if (v == std::string::npos) v = out.size();
    std::size_t end = v;
    if (end < out.size() && out[end] == '\'') {
      for (++end; end < out.size() && out[end] != '\''; ++end) {
        if (out[end] == '\\') ++end;
      }
      if (end < out.size()) ++end;
    } else {
      while (end < out.size() && out[end] != ' ' && out[end] != '\t') ++end;
    }
    result += out.substr(keyStart, v - keyStart);
    result += SameText(key, "password") ? std::string("***") : out.substr(v, end - v);
    i = end;
  }
  return result;
}

std::string OneLine(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    if (!line.empty()) {
      if (!out.empty()) out += "; ";
      out += line;
    }
    start = end + 1;
  }
  return out;
}

bool IsPostgresUri(std::string_view text) {
  return StartsWithNoCase(text, "postgresql://") || StartsWithNoCase(text, "postgres://");
}

std::string QuoteIdent(std::string_view name) { return SqlQuoted(name, '"'); }

std::string QuoteLiteral(std::string_view text) { return SqlQuoted(text, '\''); }

std::string TQualifiedName::Quoted() const {
  return Schema.empty() ? QuoteIdent(Table) : QuoteIdent(Schema) + "." + QuoteIdent(Table);
}

std::string TQualifiedName::QuotedFolded() const {
  return FoldedSchema.empty() ? QuoteIdent(FoldedTable)
                              : QuoteIdent(FoldedSchema) + "." + QuoteIdent(FoldedTable);
}

TQualifiedName ParseQualifiedName(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> parts;  // exact, folded
  std::size_t i = 0;
  const auto bad = [&text](const char* why) {
    Fail("Table name '" + std::string(text) + "' " + why);
  };
  while (true) {
    std::string exact;
    std::string folded;
    if (i < text.size() && text[i] == '"') {
      for (++i;; ++i) {
        if (i >= text.size()) bad("has a quote that is not closed");
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            exact += '"';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        exact += text[i];
      }
      folded = exact;
    } else {
      while (i < text.size() && text[i] != '.') {
        if (text[i] == '"') bad("has a quote inside an unquoted part");
        exact += text[i];
        const char c = text[i++];
        folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      }
    }
    if (exact.empty()) bad("has an empty part");
    parts.emplace_back(std::move(exact), std::move(folded));
    if (i == text.size()) break;
    if (text[i] != '.') bad("has text after a quoted part");
    ++i;
  }
  if (parts.size() > 2) bad("has more than two parts (give schema.table)");
  TQualifiedName name;
  name.Table = parts.back().first;
  name.FoldedTable = parts.back().second;
  if (parts.size() == 2) {
    name.Schema = parts[0].first;
    name.FoldedSchema = parts[0].second;
  }
  return name;
}

// ---------------------------------------------------------------------------

TConnection::TConnection(const std::string& connection) {
  const bool timeoutGiven =
      ContainsNoCase(connection, "connect_timeout") || std::getenv("PGCONNECT_TIMEOUT") != nullptr;
  // Keywords before "dbname" are overridden by what the string holds.
  std::vector<const char*> keys;
  std::vector<const char*> values;
  if (!timeoutGiven) {
    keys.push_back("connect_timeout");
    values.push_back("10");
  }
  keys.push_back("fallback_application_name");
  values.push_back("korvane");
  keys.push_back("dbname");
  values.push_back(connection.c_str());
  keys.push_back(nullptr);
  values.push_back(nullptr);
  FConn = PQconnectdbParams(keys.data(), values.data(), 1);
  if (FConn == nullptr) Fail("cannot connect to PostgreSQL: out of memory");
  if (PQstatus(FConn) != CONNECTION_OK) {
    const std::string reason = OneLine(PQerrorMessage(FConn));
    PQfinish(FConn);
    FConn = nullptr;
    Fail("cannot connect to PostgreSQL (" + HidePassword(connection) + "): " + reason);
  }
  try {
    // Dates and times are read in ISO form; a time zone chosen by the
    // connection's options or by PGTZ stays, else the session works in UTC.
    std::string setup = "SET DateStyle = 'ISO, YMD'; SET IntervalStyle = 'postgres'";
    const char* options = nullptr;
    PQconninfoOption* info = PQconninfo(FConn);
    for (PQconninfoOption* o = info; o != nullptr && o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "options") == 0) options = o->val;
    }
    const bool zoneChosen = (options != nullptr && ContainsNoCase(options, "timezone")) ||
                            std::getenv("PGTZ") != nullptr;
    PQconninfoFree(info);
    if (!zoneChosen) setup += "; SET TimeZone = 'UTC'";
    Exec(setup);
    // A large table is read from its first page. Otherwise the server starts
    // a scan where another one is (a scan cut short leaves its place
    // behind), and the records come rotated. Engines without the setting
    // have no such scans.
    TError ignored;
    TryExec("SET synchronize_seqscans = off", ignored);
  } catch (...) {
    PQfinish(FConn);
    FConn = nullptr;
    throw;
  }
}

TConnection::~TConnection() {
  if (FConn != nullptr) PQfinish(FConn);
}

bool TConnection::OnThisMachine() const {
  if (FConn == nullptr) return false;
  const char* host = PQhost(FConn);
  // A socket's directory, or a socket in the abstract namespace.
  if (host != nullptr && (host[0] == '/' || host[0] == '@')) return true;
  const char* address = PQhostaddr(FConn);
  if (address == nullptr || *address == '\0') return false;
  in_addr v4{};
  if (inet_pton(AF_INET, address, &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address, &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

TResult TConnection::Exec(const std::string& sql, ExecStatusType wanted) {
  TResult r(PQexec(FConn, sql.c_str()));
  if (!r || PQresultStatus(r.get()) != wanted) Fail(ErrorOf(FConn, r.get()).Text());
  return r;
}

TResult TConnection::ExecParams(const std::string& sql, const std::vector<std::string>& params,
                                ExecStatusType wanted) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  TResult r(PQexecParams(FConn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                         values.data(), nullptr, nullptr, 0));
  if (!r || PQresultStatus(r.get()) != wanted) Fail(ErrorOf(FConn, r.get()).Text());
  return r;
}

bool TConnection::TryExec(const std::string& sql, TError& error, ExecStatusType wanted) {
  TResult r(PQexec(FConn, sql.c_str()));
  if (r && PQresultStatus(r.get()) == wanted) return true;
  error = ErrorOf(FConn, r.get());
  return false;
}

void TConnection::Cancel() noexcept {
  if (PGcancel* cancel = PQgetCancel(FConn)) {
    char reason[256];
    PQcancel(cancel, reason, sizeof reason);
    PQfreeCancel(cancel);
  }
}

bool DrainResults(PGconn* conn, TError& error) {
  bool ok = true;
  while (PGresult* raw = PQgetResult(conn)) {
    TResult r(raw);
    const ExecStatusType status = PQresultStatus(raw);
    if (status == PGRES_COPY_IN) {
      PQputCopyEnd(conn, "abandoned");
    } else if (status == PGRES_COPY_OUT) {
      char* row = nullptr;
      while (PQgetCopyData(conn, &row, 0) > 0) PQfreemem(row);
    } else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && ok) {
      error = ErrorOf(conn, raw);
      ok = false;
    }
    if (PQstatus(conn) == CONNECTION_BAD) {
      if (ok) error = ErrorOf(conn, raw);
      error.ConnectionLost = true;
      return false;
    }
  }
  return ok;
}

}  // namespace korvane::pg
