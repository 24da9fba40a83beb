// Datasets, fields and blob streams: the interface the components work
// against. A concrete dataset (in memory, SQLite, ...) derives from TDataSet
// and implements the protected Internal* operations; everything else
// (states, navigation flags, field access, append/post/cancel) is here.
// The types of fields and values are in field_kinds.h, blob streams in
// blob_stream.h; both come with this header.
#pragma once

#include "core/api.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/classes.h"
#include "text/formats.h"
#include "core/sysutils.h"
#include "data/blob_stream.h"
#include "data/field_kinds.h"

namespace korvane {

enum TDataSetState : std::uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

class TDataSet;
class TField;

// Supplies or refuses a field's edit text. Text arrives holding the field's
// own text; the handler may replace it, or raise to refuse the read.
using TFieldGetTextEvent = std::function<void(TField* Sender, std::string& Text)>;
using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;

// A column of a dataset. Created and owned by its dataset (CreateField,
// TDataSet::AddField); the value it shows lives in the dataset's record
// buffer for the current record, so a field costs no allocation per record.
//
// Reads give the current record's value; a null value reads as "", 0, false
// or 0.0 (AsDateTime 0). Writes need the dataset in dsEdit or dsInsert state
// and a field that is not ReadOnly, else EDatabaseError. A number outside the
// type raises ERangeError; a text that does not convert raises EConvertError
// naming the text; an access the type does not support (AsDateTime on an
// integer field, ...) raises EDatabaseError.
//
// Field classes (private to fields.cpp; CreateField picks them) and their
// texts (FormatSettings() decides separators and date/time layouts):
//
//   type codes                         class           Text / AsString
//   ftString ftFixedChar ftWideString  TStringField    the value, never cut
//   ftSmallint ftInteger ftWord        TIntegerField   decimal digits; the
//   ftAutoInc ftLargeint               (range by type) range is checked
//   ftBoolean                          TBooleanField   "True" / "False"
//   ftFloat                            TFloatField     FloatToStr (shortest
//   ftBCD                              TBCDField       round-trip text)
//   ftCurrency                         TCurrencyField  2 to 4 decimals:
//                                                      "1234.50", "12.3457"
//   ftDate ftTime ftDateTime           TDateTimeField  DateToStr, TimeToStr,
//                                                      DateTimeToStr
//   ftBytes ftVarBytes                 TBytesField     the bytes as they are
//   ftBlob ftGraphic ftParadoxOle      TBlobField      the bytes as they are
//   ftDBaseOle ftTypedBinary
//   ftMemo ftFmtMemo                   TMemoField      the content
//   ftVariant                          TVariantField   by each value: an
//                                                      integer's digits,
//                                                      FloatToStr, or the
//                                                      text (a StoredText)
//   ftDecimalText                      TDecimalText-   the number's digits
//                                      Field           as it was given,
//                                                      "-12345678901234.5678"
//
// Text written through SetAsString: number and date fields clear the value
// for an empty text and raise EConvertError for one that does not convert
// (blanks are not empty); integers accept an optional sign and blanks
// around the digits. Boolean fields accept, case-insensitively and with
// blanks around, True/False, T/F, Yes/No, Y/N and 1/0; the empty text
// clears. A string field keeps the empty text as an empty (non-null) value.
// Currency fields read a number (StrToFloat) and round it to the nearest
// ten-thousandth. Date fields keep the whole days of a value, time fields
// the time of day. A decimal text field reads a number (the separators in
// force, an exponent allowed) and keeps its digits as DecimalText writes
// them, with '.' (its text shows the DecimalSeparator); a declared
// Precision and Scale round it to Scale decimals.
//
// DisplayWidth defaults (SetDisplayWidth overrides; a negative value puts
// the default back):
//   string and byte types: Size      smallint 6   integer, autoinc 11
//   word 5   largeint 20   boolean 5   float, BCD 24 (any double fits)
//   currency 21 (any amount fits)    decimal text: Precision + 2, or 40
//   memo and blob types: Size, or 10 when
//   Size is 0   date, time, date-time: the length of the text of a late
//   date / an afternoon time under the settings in force.
class KORVANE_API TField : public TComponent {
 public:
  // Where TFieldData keeps a text.
  static constexpr std::size_t kTextIndex = vkText;

  // Registers the field with dataSet (which must not be null and must be
  // closed); raises EDatabaseError otherwise.
  TField(TDataSet* dataSet, std::string fieldName, TFieldType dataType, int size);
  ~TField() override;

  TDataSet* DataSet() const { return FDataSet; }
  const std::string& FieldName() const { return FFieldName; }
  TFieldType DataType() const { return FDataType; }
  // Index of the field in its dataset (0-based).
  int Index() const { return FIndex; }
  // Declared size: characters for text fields, bytes for byte fields, 0 for
  // most other types.
  int Size() const { return FSize; }
  // Width in characters used for display and fixed-width output.
  int DisplayWidth() const;
  void SetDisplayWidth(int value) { FDisplayWidth = value; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value) { FReadOnly = value; }
  // A required field must hold a value when its record is posted.
  bool Required() const { return FRequired; }
  void SetRequired(bool value);
  // Marks a float or currency value as a money amount (set on ftCurrency
  // fields when they are created).
  bool Currency() const { return FCurrency; }
  void SetCurrency(bool value) { FCurrency = value; }
  // Marks a text field whose column pads every value with blanks up to its
  // Size, as PostgreSQL's character(n) does: the blanks that end a value as
  // long as Size are the column's own and come back however the value is
  // stored. Set by the dataset; false for a column that keeps its values as
  // they are given (SQLite's CHAR(n) too).
  bool FixedLength() const { return FFixedLength; }
  void SetFixedLength(bool value) { FFixedLength = value; }
  // What the column behind the field keeps, for the rules that refuse a
  // value it would not hold exactly. Scale: the decimals a column of exact
  // decimals keeps (4 for a money field, as CreateField leaves it; s of a
  // NUMERIC(p,s) column; -1 when the column declares none). Precision: the
  // significant digits of such a column (p; 0 when none is declared); on a
  // money field, those of a column that keeps its amounts as doubles (15 in
  // SQLite; 0: every amount); on a float field, 24 when the column stores
  // four-byte floats (their mantissa's bits) rather than doubles. A column
  // of negative scale, which keeps multiples of 10^-s (PostgreSQL's
  // numeric(3,-1)), has Precision -p and Scale s.
  int Scale() const { return FScale; }
  void SetScale(int value) { FScale = value; }
  int Precision() const { return FPrecision; }
  void SetPrecision(int value) { FPrecision = value; }

  bool IsNull() const { return std::holds_alternative<std::monostate>(Data()); }
  // A value a dataset could not read as the field's type (a text in a date
  // column of a database that lets a column hold anything) is kept as the
  // text the database holds: AsString, Text and AppendText give it, the
  // other As... accessors raise EConvertError naming it, and a write
  // replaces it. StoredText is that text, or nullptr for a value of the
  // field's own type. Text and blob fields hold texts as their own values.
  inline const std::string* StoredText() const;
  // Makes the value null (a write: the dataset must be in dsEdit/dsInsert).
  void Clear();
  // Gives a date, time or date-time field a value its type cannot hold
  // exactly (microseconds, a zone) as its canonical text, or a currency
  // field an amount beyond its 64 bits as plain decimal text, which then is
  // the field's StoredText: the dataset stores the text as it stands
  // (SQLite as TEXT, PostgreSQL as the column's own value). A write; raises
  // EDatabaseError for a field of another type.
  void SetValueText(std::string_view text);

  std::string AsString() const;
  void SetAsString(std::string_view value);
  // The writes of SetAsString, SetAsBoolean, SetAsCurrency, SetAsFloat and
  // SetAsDateTime for loops that store many values: the same checks,
  // conversions, results and errors, with the usual cases of the field
  // classes CreateField makes done in line instead of through calls.
  inline void WriteString(std::string_view value);
  inline void WriteBoolean(bool value);
  inline void WriteCurrency(std::int64_t value);
  inline void WriteFloat(double value);
  inline void WriteDateTime(TDateTime value);
  std::int32_t AsInteger() const;
  void SetAsInteger(std::int32_t value);
  std::int64_t AsLargeInt() const;
  void SetAsLargeInt(std::int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  // A fixed-point amount: a 64-bit count of ten-thousandths.
  std::int64_t AsCurrency() const;
  void SetAsCurrency(std::int64_t value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  // 0 when the field is null.
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime value);
  // The value as edit text (empty when null), passed through OnGetText when
  // the host has set it. AsString is never passed through OnGetText.
  std::string Text() const;
  void SetText(const std::string& value) { SetAsString(value); }
  // Appends Text() to out: the same bytes, built in place unless an
  // OnGetText handler is set. When it raises, out is as it was.
  void AppendText(std::string& out) const;
  // Writes Text() into [first, last), like std::to_chars, and returns the
  // end of the text; returns nullptr, having written nothing of use, when
  // the text may not fit, when an OnGetText handler is set (its handler is
  // not called) or when the field has no writer of this kind: AppendText
  // then gives the text. Raises like Text().
  char* TextToChars(char* first, char* last) const;
  // How the field's class makes its text (see TTextKind).
  TTextKind TextKind() const { return TextKindImpl(); }

  const TFieldGetTextEvent& OnGetText() const { return FOnGetText; }
  void SetOnGetText(TFieldGetTextEvent value) { FOnGetText = std::move(value); }

  // Raw access for datasets loading or storing a record: no state, read-only
  // or range checks, no conversion. The alternative must match the type.
  inline const TFieldData& Data() const;
  inline void SetData(TFieldData value);

  // Blob content of blob, memo and formatted-memo fields (the string
  // alternative; empty when null); used by TBlobStream.
  const std::string& BlobData() const;

  // Raises EDatabaseError unless the field may be written now.
  void CheckWritable() const;
  // Raises EConvertError, naming the text and what it is not, when the
  // record holds a StoredText.
  void CheckOwnValue(const char* what) const;
  // True when the field may be written now: the dataset is in dsEdit or
  // dsInsert and the field is not ReadOnly.
  inline bool Writable() const;

 protected:
  // Per-type conversions, called for a non-null value (reads) or after the
  // write checks (writes). The defaults raise EDatabaseError ("Cannot access
  // field 'X' as type Y") for conversions the type does not support.
  virtual std::string GetAsString() const;
  virtual void SetAsStringImpl(std::string_view value);
  virtual std::int64_t GetAsLargeInt() const;
  virtual void SetAsLargeIntImpl(std::int64_t value);
  virtual double GetAsFloat() const;
  virtual void SetAsFloatImpl(double value);
  virtual bool GetAsBoolean() const;
  virtual void SetAsBooleanImpl(bool value);
  virtual TDateTime GetAsDateTime() const;
  virtual void SetAsDateTimeImpl(TDateTime value);
  virtual std::int64_t GetAsCurrency() const;
  virtual void SetAsCurrencyImpl(std::int64_t value);
  // Edit text of a non-null value (default: GetAsString()).
  virtual std::string GetText() const;
  // Writes GetText() into [first, last) for a non-null value, as
  // TextToChars does; the default writes nothing and returns nullptr.
  virtual char* TextToCharsImpl(char* first, char* last) const;
  // Appends GetText() to out, leaving out as it was when it raises. The
  // default goes through TextToCharsImpl with a small buffer, else GetText.
  virtual void AppendTextImpl(std::string& out) const;
  // The default is tkOther.
  virtual TTextKind TextKindImpl() const;
  virtual int DefaultDisplayWidth() const;

  // Writes the current record's value (no checks), in place.
  template <typename T>
  void Store(T value) {
    TFieldData& slot = Slot();
    if constexpr (std::is_trivially_destructible_v<T>) {
      // Replacing a value that needs no destruction is a plain store; said
      // apart, the compiler does not go through a table of destructors.
      if (slot.index() != kTextIndex) {
        slot.template emplace<T>(value);
        return;
      }
    }
    slot.template emplace<T>(std::move(value));
  }
  void StoreNull() { Store(std::monostate()); }
  // Writes a string value, reusing the buffer already held when there is one.
  inline void StoreString(std::string_view value);
  [[noreturn]] void AccessError(const char* typeName) const;
  // The value a date, time or date-time field keeps of value (finite): the
  // whole days, the time of day, or all of it.
  static TDateTime DateTimeOfType(TFieldType dataType, TDateTime value) {
    if (dataType == ftDate) return std::trunc(value);
    if (dataType == ftTime) return std::fabs(value - std::trunc(value));
    return value;
  }

 private:
  friend class TDataSet;
  friend TField* CreateField(TDataSet*, const std::string&, TFieldType, int);
  inline TFieldData& Slot();
  // StoreString for the values that take a new buffer or a kept one.
  void StoreStringElse(std::string_view value);
  // SetAsStringImpl of the integer fields, called without a virtual call.
  void StoreIntegerText(std::string_view value);

  // Which of CreateField's classes the field is, for the Write* calls; a
  // field class of a host's own is skOther and takes the virtual calls.
  // Unlike TextKind, set by CreateField alone and whatever the field's
  // Currency flag: it names the class, not the way its text is made.
  enum TStoreKind : std::uint8_t {
    skOther,
    skString,
    skInteger,
    skFloat,
    skCurrency,
    skBoolean,
    skDateTime,
    skVariant,
  };

  TDataSet* FDataSet;
  std::string FFieldName;
  TFieldType FDataType;
  int FSize;
  int FIndex = -1;
  int FDisplayWidth = -1;  // -1: the type's default
  bool FReadOnly = false;
  bool FRequired = false;
  bool FCurrency = false;
  bool FFixedLength = false;  // in the room before FScale: the size stays
  int FScale = -1;
  int FPrecision = 0;
  TStoreKind FStoreKind = skOther;
  TFieldGetTextEvent FOnGetText;
};

// Creates the field class for a type code, owned by dataSet (which must be
// closed). Raises EDatabaseError for a code outside ftString..ftLargeint.
KORVANE_API TField* CreateField(TDataSet* dataSet, const std::string& fieldName,
                                TFieldType dataType, int size);

// Base of every dataset. Not thread-safe.
//
// The dataset keeps the current record as one TFieldData slot per field.
// A backend either loads the current record into its own browse buffer
// (TField::SetData in InternalFirst/InternalNext) or points the fields
// straight at a record it already holds (SetActiveBuffer), which costs no
// copying at all. Append/Edit switch the fields to a separate edit buffer,
// so Cancel puts the previous record back without copying it.
//
// Fields are added while the dataset is closed (by the backend in
// InternalOpen, or earlier for datasets that know their layout). Derived
// classes must call Close() in their destructor: the base cannot call
// their Internal* operations from its own.
class KORVANE_API TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner);
  ~TDataSet() override;

  bool Active() const { return FState != dsInactive; }
  void SetActive(bool value);
  // Opens the dataset and moves to the first record; raises EDatabaseError
  // (or the backend's error) when it cannot be opened, and stays closed.
  void Open();
  // Closes the dataset; a record being inserted or edited is discarded.
  void Close();
  // What the last Open or Post that failed raised (the backend's message,
  // which names the database file or connection and gives the database's
  // own reason); emptied by an Open that succeeds.
  const std::string& LastError() const { return FLastError; }
  TDataSetState State() const { return FState; }

  // True when records can be added.
  virtual bool CanModify() const;
  // Number of records, for progress. -1 when the dataset does not know.
  virtual int RecordCount() const;

  // Navigation posts a record being inserted or edited first (and raises,
  // staying put, if that Post is refused). Raise EDatabaseError on a closed
  // dataset.
  void First();
  // At the last record, Next sets Eof and stays on that record.
  void Next();
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  // True when the dataset holds no record (or is closed).
  bool IsEmpty() const;

  // Starts a new record in dsInsert state: fields take their initial values
  // (InternalInitRecord). Raises EDatabaseError when the dataset is closed
  // or cannot be modified; posts a record already being inserted first.
  void Append();
  // Starts changing the current record (dsEdit). Raises EDatabaseError when
  // the dataset is closed, empty or cannot be modified.
  void Edit();
  // Stores the record being inserted or edited and returns to dsBrowse, on
  // the stored record. Raises when the dataset refuses it (a Required field
  // that is null, the BeforePost handler, the backend); the dataset then
  // stays in its state: call Cancel.
  void Post();
  // Discards the record being inserted or edited; the fields show the
  // current record again. Does nothing in dsBrowse.
  void Cancel();

  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField* Fields(int index) const;
  // Every field in field order, for loops that visit each field per record.
  const std::vector<TField*>& Fields() const { return FFields; }
  // The values of the current record in field order (what each field's
  // Data() reads), for loops that read many values per record. Valid until
  // the next navigation, Append, Edit, Post, Cancel or Close.
  const TFieldData* CurrentValues() const { return FActive; }
  // The field with that name (case-insensitive); raises EDatabaseError
  // "Field 'X' not found" when there is none.
  TField* FieldByName(std::string_view name) const;
  TField* FindField(std::string_view name) const;

  // Lends the field at index a buffer for the next text written to it (by
  // SetAsString or WriteString), in place of the one the dataset kept from
  // an emptied record, which is freed. A text that fills the buffer from its
  // start (a view of the buffer's own bytes) becomes the field's value
  // where it stands, without a copy. TakeLentText gives the buffer back
  // when no write took it, and an empty string when one did (or for an
  // index out of range, which LendTextBuffer raises for). For a host
  // whose large text is needed no more once it is written.
  void LendTextBuffer(int index, std::string&& buffer);
  std::string TakeLentText(int index) noexcept;

  // Called by Post before the record is stored; raise to refuse the record.
  const TDataSetNotifyEvent& BeforePost() const { return FBeforePost; }
  void SetBeforePost(TDataSetNotifyEvent value) { FBeforePost = std::move(value); }

  // A run of appends is about to start / has ended. Database datasets group
  // their posts in transactions here; EndBulk commits. Both do nothing by
  // default. EndBulk is called once for every BeginBulk, also when the run
  // stops early.
  virtual void BeginBulk() {}
  virtual void EndBulk() {}
  // Ends a run of appends as EndBulk does, except that the group posted
  // since the last commit is rolled back instead of committed: for a run
  // broken off by input found damaged, whose last records may be damaged
  // too. Returns how many posted records were rolled back. By default (a
  // dataset that holds nothing back) it is EndBulk and returns 0.
  virtual std::int64_t AbandonBulk() {
    EndBulk();
    return 0;
  }

  // Records that Post accepted during a bulk run but the database refused
  // when it stored them later: a dataset that sends records in groups learns
  // of a refusal only when the group is stored (at the latest by EndBulk,
  // also a nested one). Count says how many; Messages holds the first few
  // reasons. While RefusedPostsWanted, Posts also names every refused
  // record by its post number (see PostCount), in the order found, with its
  // reason. TakeRefusals returns those found since the last call and
  // forgets them; datasets that refuse from Post itself have none.
  struct TRefusedPost {
    std::int64_t Post = 0;
    std::string Message;
  };
  struct TRefusals {
    std::int64_t Count = 0;
    std::vector<std::string> Messages;
    std::vector<TRefusedPost> Posts;
  };
  static constexpr std::size_t kRefusalMessagesKept = 10;
  virtual TRefusals TakeRefusals() { return {}; }
  // Asks the dataset to name each refused record in TRefusals::Posts. Off
  // initially, since a host that takes the refusals only at the end would
  // have them pile up; a host that takes them after each Post keeps them
  // few.
  bool RefusedPostsWanted() const { return FRefusedPostsWanted; }
  void SetRefusedPostsWanted(bool value) { FRefusedPostsWanted = value; }
  // The records Post has accepted since the dataset was opened: the post
  // number of the last one.
  std::int64_t PostCount() const { return FPostCount; }
  // How many of the latest posts the dataset holds without knowing yet
  // whether the database takes them: a refusal TakeRefusals has not
  // returned yet can only be one of these. 0 for a dataset that stores
  // each record in its Post.
  virtual std::int64_t HeldPosts() const { return 0; }

 protected:
  // Opens the source and creates the fields (AddField / CreateFields) unless
  // they exist. Raise to refuse the open.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  // Positions on the first record and makes it current (SetData into the
  // browse buffer, or SetActiveBuffer); false when there is none.
  virtual bool InternalFirst() = 0;
  // Moves to the next record and makes it current; false when there is none
  // (the fields then keep showing the last record).
  virtual bool InternalNext() = 0;
  // Gives the fields of a new record their initial values in the edit
  // buffer (default: null, keeping text buffers for the next values).
  virtual void InternalInitRecord();
  // Stores the record in the edit buffer (State() tells dsInsert from
  // dsEdit); raises to refuse it. A backend holding its records may move the
  // values out of EditBuffer() and SetActiveBuffer() to the stored record;
  // otherwise the base makes the posted values the current record.
  virtual void InternalPost() = 0;
  // Called after Cancel has put the previous record back (default: nothing).
  virtual void InternalCancel() {}

  TField* AddField(const std::string& name, TFieldType dataType, int size = 0);
  void CreateFields(const std::vector<TFieldDef>& defs);
  void DestroyFields();

  // The slots of the current record, one per field in field order.
  TFieldData* ActiveBuffer() const { return FActive; }
  // Points the fields at record (FieldCount() slots that stay valid until
  // the next navigation, Post or Close); nullptr selects the dataset's own
  // browse buffer.
  void SetActiveBuffer(TFieldData* record) {
    FActive = record != nullptr ? record : FBrowseBuffer.data();
  }
  // The record being inserted or edited.
  std::vector<TFieldData>& EditBuffer() { return FEditBuffer; }
  // The dataset's own browse buffer (FieldCount() slots): a backend that
  // loads records fills it and then calls SetActiveBuffer(nullptr).
  TFieldData* BrowseBuffer() { return FBrowseBuffer.data(); }

 private:
  friend class TField;
  void InsertField(TField* field);
  void RemoveField(TField* field);
  void CheckActive() const;
  void CheckBrowseMode();
  // Closes what an Open that failed after InternalOpen left open.
  void CloseFailedOpen() noexcept;

  TDataSetState FState = dsInactive;
  bool FEof = true;
  bool FBof = true;
  bool FSavedEof = true;
  bool FSavedBof = true;
  std::vector<TField*> FFields;  // owned through TComponent
  std::vector<TFieldData> FBrowseBuffer;
  std::vector<TFieldData> FEditBuffer;
  // One string buffer per field that InternalInitRecord took from a record
  // it emptied: the next text stored in that field reuses it, so a run of
  // appends does not allocate per long text and record.
  std::vector<std::string> FSpareStrings;
  TFieldData* FActive = nullptr;
  TFieldData* FSavedActive = nullptr;  // the current record during Append/Edit
  // Number of fields that are Required: Post looks for null values only
  // when there are any.
  int FRequiredCount = 0;
  std::int64_t FPostCount = 0;
  std::string FLastError;
  bool FRefusedPostsWanted = false;
  TDataSetNotifyEvent FBeforePost;
};

inline const TFieldData& TField::Data() const {
  return FDataSet->FActive[static_cast<std::size_t>(FIndex)];
}
inline TFieldData& TField::Slot() { return FDataSet->FActive[static_cast<std::size_t>(FIndex)]; }
inline const std::string* TField::StoredText() const {
  return FStoreKind > skString ? std::get_if<kTextIndex>(&Data()) : nullptr;
}
inline void TField::AppendText(std::string& out) const {
  if (FOnGetText) {
    out += Text();
  } else if (const std::string* stored = StoredText()) {
    out += *stored;
  } else if (!IsNull()) {
    AppendTextImpl(out);
  }
}
inline char* TField::TextToChars(char* first, char* last) const {
  if (FOnGetText || StoredText() != nullptr) return nullptr;
  return IsNull() ? first : TextToCharsImpl(first, last);
}
inline void TField::SetData(TFieldData value) { Slot() = std::move(value); }
static_assert(
    std::is_same_v<std::variant_alternative_t<TField::kTextIndex, TFieldData>, std::string>);
inline void TField::StoreString(std::string_view value) {
  TFieldData& slot = Slot();
  // A null value and a text short enough to live in the string itself: no
  // buffer to reuse.
  if (slot.index() == 0 && value.size() <= std::string().capacity()) {
    // Appending to the empty string cannot raise at this size, and is
    // cheaper than building a string beside the slot and moving it in.
    slot.emplace<kTextIndex>().append(value);
  } else {
    StoreStringElse(value);
  }
}
inline bool TField::Writable() const {
  const TDataSetState state = FDataSet->FState;
  return (state == dsEdit || state == dsInsert) && !FReadOnly;
}
inline void TField::WriteString(std::string_view value) {
  if (Writable()) {
    if (FStoreKind == skString) return StoreString(value);
    if (FStoreKind == skInteger) return StoreIntegerText(value);
  }
  SetAsString(value);
}
inline void TField::WriteBoolean(bool value) {
  if (FStoreKind == skBoolean && Writable()) return Store(value);
  SetAsBoolean(value);
}
inline void TField::WriteCurrency(std::int64_t value) {
  if (FStoreKind == skCurrency && Writable()) return Store(value);
  SetAsCurrency(value);
}
inline void TField::WriteFloat(double value) {
  if (FStoreKind == skFloat && Writable()) return Store(value);
  SetAsFloat(value);
}
inline void TField::WriteDateTime(TDateTime value) {
  // A value that is not finite takes the checked path, which refuses it.
  if (FStoreKind == skDateTime && Writable() && std::isfinite(value)) {
    return Store(DateTimeOfType(FDataType, value));
  }
  SetAsDateTime(value);
}

}  // namespace korvane
