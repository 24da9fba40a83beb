// The field a PostgreSQL column becomes, by its catalog type, and the
// expression that reads it.
#include "datasets/postgres/postgres_codec.h"

#include <algorithm>
#include <iterator>

namespace korvane::pg {

namespace {

// The server's type OIDs and the kind each is read and written as.
struct TTypeKind {
  unsigned Oid;
  TKind Kind;
};
// text, varchar, char(n) and name are all Text.
constexpr TTypeKind kTypeKinds[] = {
    {21, TKind::Int2},   {23, TKind::Int4},    {20, TKind::Int8},        {1700, TKind::Numeric},
    {790, TKind::Money}, {700, TKind::Float4}, {701, TKind::Float8},     {16, TKind::Bool},
    {1082, TKind::Date}, {1083, TKind::Time},  {1114, TKind::Timestamp}, {1184, TKind::TimestampTz},
    {17, TKind::Bytea},  {25, TKind::Text},    {1043, TKind::Text},      {1042, TKind::Text},
    {19, TKind::Text},   {114, TKind::Json},   {3802, TKind::Jsonb}};

// The field type a column of each kind is shown as, in TKind order.
constexpr TFieldType kKindFieldTypes[] = {
    ftSmallint,  // Int2
    ftInteger,   // Int4
    ftLargeint,  // Int8
    ftBCD,       // Numeric
    ftDecimalText,  // WideNumeric
    ftCurrency,  // Money
    ftFloat,     // Float4
    ftFloat,     // Float8
    ftBoolean,   // Bool
    ftDate,      // Date
    ftTime,      // Time
    ftDateTime,  // Timestamp
    ftDateTime,  // TimestampTz
    ftBlob,      // Bytea
    ftString,    // Text
    ftString,    // Json
    ftString,    // Jsonb
    ftString,    // Other
};
static_assert(std::size(kKindFieldTypes) == static_cast<std::size_t>(TKind::Other) + 1);

}  // namespace

TKind KindOfType(unsigned type, int typmod) {
  for (const TTypeKind& entry : kTypeKinds) {
    if (entry.Oid != type) continue;
    if (entry.Kind == TKind::Numeric) {
      // Whole numbers of up to 15 digits come back whole from the nearest
      // double. A column with decimals is read as the text the server
      // holds, so that its scale is kept ("-0.50", not the double's
      // "-0.5").
      constexpr int kDoubleDigits = 15;
      const bool fits =
          typmod >= 4 && ((typmod - 4) >> 16) <= kDoubleDigits && ((typmod - 4) & 0xffff) == 0;
      return fits ? TKind::Numeric : TKind::WideNumeric;
    }
    return entry.Kind;
  }
  return TKind::Other;
}

TFieldDef FieldDefForColumn(const std::string& name, TKind kind, int typmod, bool autoInc) {
  TFieldDef def;
  def.Name = name;
  def.DataType = kKindFieldTypes[static_cast<std::size_t>(kind)];
  // numeric(p,s): the strict rules refuse what the server would round. The
  // scale is signed in 11 bits: s may exceed p (numeric(2,3) keeps numbers
  // below 0.1), and a negative s rounds to multiples of 10^-s, which the
  // field tells by a Precision of -p (its Scale of -1 would say no scale).
  const int scale = typmod >= 4 ? (((typmod - 4) & 0x7ff) ^ 0x400) - 0x400 : -1;
  if ((kind == TKind::Numeric || kind == TKind::WideNumeric) && typmod >= 4) {
    const int digits = (typmod - 4) >> 16;
    def.Precision = scale >= 0 ? digits : -digits;
    def.Scale = scale;
  }
  if (kind == TKind::Float4) def.Precision = 24;
  if (kind == TKind::Numeric) {
    def.Size = std::max(scale, 0);
  } else if (def.DataType == ftString) {
    def.Size = kind == TKind::Text && typmod > 4 ? typmod - 4 : 255;
  }
  // ftAutoInc holds 32 bits: a bigint identity keeps its ftLargeint.
  if (autoInc && (kind == TKind::Int2 || kind == TKind::Int4)) {
    def.DataType = ftAutoInc;
  }
  return def;
}

bool PadsToLength(unsigned type, int typmod) {
  constexpr unsigned kBpchar = 1042;
  return type == kBpchar && typmod > 4;  // a bpchar of no declared length keeps its values
}

bool BinaryWritable(TKind kind) { return kind != TKind::Other; }

std::string ReadExpression(const std::string& quotedName, TKind kind, unsigned type, bool binary,
                           bool exactTimes) {
  constexpr unsigned kInet = 869;
  // An inet's cast to text writes its netmask also where the address's own
  // text leaves it out (::1/128 for ::1); abbrev writes the address's text.
  if (binary && kind == TKind::Other && type == kInet) return "abbrev(" + quotedName + ")";
  if (binary && (kind == TKind::Other || (exactTimes && kind == TKind::TimestampTz))) {
    return quotedName + "::text";
  }
  if (!binary && kind == TKind::Money) return quotedName + "::numeric";
  return quotedName;
}

}  // namespace korvane::pg
