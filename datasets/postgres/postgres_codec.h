// Values of PostgreSQL columns in the two COPY formats: the binary one
// (network byte order, dates as days since 2000-01-01, ...) and the text one
// (tab-separated, \N for null, backslash escapes), both ways, and the field a
// column of each catalog type becomes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/db.h"

namespace korvane::pg {

// How a column's values travel, by PostgreSQL type: a wire format, not how
// a value is held (TValueKind). Every type without a kind of its own is
// Other: read and written as PostgreSQL's text form of it.
enum class TKind : std::uint8_t {
  Int2,
  Int4,
  Int8,
  Numeric,  // numeric(p,0) of at most 15 digits: a double holds every value
  // Any other numeric (with decimals, wider, or of no set precision): its
  // exact text, scale included, which a double would round or shorten.
  WideNumeric,
  Money,
  Float4,
  Float8,
  Bool,
  Date,
  Time,
  Timestamp,
  TimestampTz,
  Bytea,
  Text,  // text, varchar, char(n), name
  Json,  // json: its binary form is its text
  Jsonb,
  Other
};

// The kind of a type, by its OID (domains are given as their base type),
// and its catalog typmod (-1 when none), which tells the numerics apart.
TKind KindOfType(unsigned type, int typmod);

// A column as the dataset uses it.
struct TColumn {
  std::string Name;
  TKind Kind = TKind::Other;
  unsigned Type = 0;  // the server's type OID (a domain's base type)
  TFieldDef Def;
  // Left out of a record's COPY when the record leaves it null, so that it
  // takes its default (a sequence, an identity, a DEFAULT expression).
  bool HasDefault = false;
  bool AutoInc = false;
  // A generated column: read, never written.
  bool Generated = false;
  // The sequence of a serial or identity column (quoted, qualified), or "".
  std::string Sequence;
};

// The field for a column: int2 ftSmallint, int4 ftInteger, int8 ftLargeint,
// an int2 or int4 sequence or identity ftAutoInc, numeric of at most 15
// digits ftBCD (Size: the scale), any other numeric ftDecimalText,
// money ftCurrency, float4/float8 ftFloat, bool ftBoolean, date ftDate,
// time ftTime, timestamp(tz) ftDateTime, char(n)/varchar(n) ftString of Size
// n, other text types ftString of Size 255, bytea ftBlob, anything else
// ftString of Size 255. typmod is the catalog's (-1 when none). A numeric(p,s)
// gives Precision p and Scale s, a float4 Precision 24.
TFieldDef FieldDefForColumn(const std::string& name, TKind kind, int typmod, bool autoInc);
// Whether a column of the catalog type pads every value with blanks up to
// its declared length (character(n)): its field is FixedLength.
bool PadsToLength(unsigned type, int typmod);

// What the values depend on beyond their column.
struct TCodecContext {
  // Ten-thousandths per unit of the server's money type (100 when money
  // has two decimals).
  std::int64_t MoneyFactor = 100;
  // Times and timestamps with microseconds, and every timestamptz, are read
  // as PostgreSQL's text of them (a timestamptz with the offset of the
  // session's TimeZone, as psql writes it), which the field keeps whole
  // (TField::StoredText); false rounds them to the millisecond of a
  // date-time.
  bool ExactTimes = false;
  // The session's TimeZone is not UTC: a timestamptz value without an
  // offset is a wall time of that zone, which only the server's own input
  // function places, so such columns travel in the text format.
  bool ZonedSession = false;
  // The wall times such a zone skips, where its clocks go forward: the
  // server would read one as the wall time the gap's length later, so a
  // timestamptz value without an offset in one is refused instead.
  struct TSkippedTimes {
    std::string Zone;  // the session's TimeZone
    // [first, end) in microseconds of wall time from 2000-01-01, in order.
    std::vector<std::pair<std::int64_t, std::int64_t>> Spans;
  };
  std::shared_ptr<const TSkippedTimes> SkippedTimes;
};

// True when the binary format can carry values of this kind.
bool BinaryWritable(TKind kind);

// The select-list expression that reads column `quotedName`, of the type
// with OID type, in the given format: "name", or its text / "name"::numeric
// where the value must travel in another form.
std::string ReadExpression(const std::string& quotedName, TKind kind, unsigned type, bool binary,
                           bool exactTimes = false);

// Appends a non-null value in the binary format: the 4-byte length and the
// bytes. Raises EDatabaseError for a value the column's type cannot hold
// (out of range, a date outside the years 1 to 9999 ...), naming the column.
void AppendBinary(std::string& out, const TColumn& column, const TFieldData& value,
                  const TCodecContext& context);
// Appends a non-null value in the text format, escaped.
void AppendText(std::string& out, const TColumn& column, const TFieldData& value,
                const TCodecContext& context);

// Stores a binary value of a column into a record slot. Raises
// EDatabaseError for a value the field cannot hold (an infinite date, a
// malformed value).
void DecodeBinary(const char* bytes, std::size_t size, const TColumn& column, TFieldData& slot,
                  const TCodecContext& context);
// The same for an unescaped text value.
void DecodeText(std::string_view text, const TColumn& column, TFieldData& slot,
                bool exactTimes = false);

// The binary COPY header and trailer.
std::string_view BinaryHeader();
std::string_view BinaryTrailer();

// Big-endian integers of the binary format.
inline void PutBE16(std::string& out, std::uint16_t v) {
  const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 2);
}
inline void PutBE32(std::string& out, std::uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 4);
}
inline std::uint32_t GetBE32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return std::uint32_t{u[0]} << 24 | std::uint32_t{u[1]} << 16 | std::uint32_t{u[2]} << 8 | u[3];
}
inline std::uint16_t GetBE16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(u[0] << 8 | u[1]);
}

}  // namespace korvane::pg
