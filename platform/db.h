// Datasets, fields and blob streams: the interface the components work
// against. A concrete dataset (in memory, SQLite, ...) derives from TDataSet
// and implements the protected Internal* operations; everything else
// (states, navigation flags, field access, append/post/cancel) is here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/classes.h"
#include "platform/formats.h"
#include "platform/sysutils.h"

namespace korvane {

// Field type codes. 1 to 21 are fixed; the codes above 21 are further types
// that take the default branch wherever a type is tested.
enum TFieldType : std::uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftFixedChar = 22,
  ftWideString = 23,
  ftLargeint = 24,
};

enum TDataSetState : std::uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };

// The value a field holds for the current record. Which alternative a field
// uses is fixed by its type: std::string for text, memo, blob and byte
// types; std::int64_t for the integer types and for currency (a count of
// ten-thousandths); double for float, BCD, date, time and date-time; bool for
// boolean. std::monostate is null.
using TFieldData = std::variant<std::monostate, std::int64_t, double, bool, std::string>;

class TDataSet;

// A column of a dataset. Created and owned by its dataset. Reads give the
// current record's value; writes need the dataset in dsEdit or dsInsert
// state and a field that is not ReadOnly, else EDatabaseError. A value
// outside the type raises ERangeError; a text that does not convert raises
// EConvertError naming the text.
class TField : public TComponent {
 public:
  TField(TDataSet* dataSet, std::string fieldName, TFieldType dataType, int size);
  ~TField() override;

  TDataSet* DataSet() const { return FDataSet; }
  const std::string& FieldName() const { return FFieldName; }
  TFieldType DataType() const { return FDataType; }
  // Index of the field in its dataset (0-based).
  int Index() const;
  // Declared size: characters for text fields, 0 for most other types.
  int Size() const { return FSize; }
  // Width in characters used for display and fixed-width output.
  int DisplayWidth() const;
  void SetDisplayWidth(int value) { FDisplayWidth = value; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value) { FReadOnly = value; }
  bool Required() const { return FRequired; }
  void SetRequired(bool value) { FRequired = value; }
  // Marks a float or currency value as a money amount.
  bool Currency() const { return FCurrency; }
  void SetCurrency(bool value) { FCurrency = value; }

  bool IsNull() const { return std::holds_alternative<std::monostate>(FData); }
  void Clear();

  std::string AsString() const;
  void SetAsString(const std::string& value);
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
  // The value as edit text (empty when null).
  std::string Text() const;
  void SetText(const std::string& value) { SetAsString(value); }

  // Raw access for datasets loading or storing a record: no state, read-only
  // or range checks, no conversion. The alternative must match the type.
  const TFieldData& Data() const { return FData; }
  void SetData(TFieldData value) { FData = std::move(value); }

  // Blob content of blob, memo and formatted-memo fields (the string
  // alternative); used by TBlobStream.
  const std::string& BlobData() const;

 protected:
  // Per-type conversions. The defaults raise EConvertError / EDatabaseError
  // for conversions the type does not support.
  virtual std::string GetAsString() const;
  virtual void SetAsStringImpl(const std::string& value);
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
  virtual std::string GetText() const;
  virtual int DefaultDisplayWidth() const;

  // Raises unless the field may be written now.
  void CheckWritable() const;
  void Store(TFieldData value);

 private:
  TDataSet* FDataSet;
  std::string FFieldName;
  TFieldType FDataType;
  int FSize;
  int FDisplayWidth = -1;  // -1: the type's default
  bool FReadOnly = false;
  bool FRequired = false;
  bool FCurrency = false;
  TFieldData FData;
};

// Creates the field class for a type code, owned by dataSet.
TField* CreateField(TDataSet* dataSet, const std::string& fieldName, TFieldType dataType,
                    int size);

// A field definition: what a dataset builds its fields from.
struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftString;
  int Size = 0;
  bool Required = false;
  bool ReadOnly = false;
};

// Base of every dataset. Not thread-safe. Fields exist while the dataset is
// open (persistent datasets may create them earlier through InternalOpen).
class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner);
  ~TDataSet() override;

  bool Active() const { return FState != dsInactive; }
  void SetActive(bool value);
  // Opens the dataset and moves to the first record; raises EDatabaseError
  // (or the backend's error) when it cannot be opened.
  void Open();
  void Close();
  TDataSetState State() const { return FState; }

  // True when records can be added.
  virtual bool CanModify() const;
  // Number of records, for progress. -1 when the dataset does not know.
  virtual int RecordCount() const;

  void First();
  void Next();
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  // True when the dataset holds no record.
  bool IsEmpty() const;

  // Starts a new record in dsInsert state: fields take their defaults.
  void Append();
  // Stores the record being inserted and returns to dsBrowse; raises when the
  // dataset refuses it (the dataset stays in dsInsert: call Cancel).
  void Post();
  // Discards the record being inserted; the fields show the current record
  // again.
  void Cancel();

  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField* Fields(int index) const;
  // The field with that name (case-insensitive); raises EDatabaseError when
  // there is none.
  TField* FieldByName(std::string_view name) const;
  TField* FindField(std::string_view name) const;

  // A run of appends is about to start / has ended. Database datasets group
  // their posts in transactions here; EndBulk commits. Both do nothing by
  // default. EndBulk is called once for every BeginBulk, also when the run
  // stops early.
  virtual void BeginBulk() {}
  virtual void EndBulk() {}

 protected:
  // Opens the source and creates the fields (AddField / CreateFields).
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  // Positions on the first record and loads it into the fields (SetData);
  // false when there is none.
  virtual bool InternalFirst() = 0;
  // Moves to the next record and loads it; false when there is none (the
  // fields then keep the last record).
  virtual bool InternalNext() = 0;
  // Gives the fields of a new record their initial values (default: null).
  virtual void InternalInitRecord();
  // Stores the record the fields hold; raises to refuse it.
  virtual void InternalPost() = 0;
  // Reloads the current record into the fields after a Cancel (default:
  // restores the values held before Append).
  virtual void InternalCancel();

  TField* AddField(const std::string& name, TFieldType dataType, int size = 0);
  void CreateFields(const std::vector<TFieldDef>& defs);
  void DestroyFields();

 private:
  friend class TField;
  void RemoveField(TField* field);

  TDataSetState FState = dsInactive;
  bool FEof = true;
  bool FBof = true;
  std::vector<TField*> FFields;  // owned through TComponent
  std::vector<TFieldData> FSavedRecord;
};

// A stream over the content of a blob, memo or formatted-memo field of the
// current record. bmRead reads it; bmWrite starts empty; bmReadWrite starts
// with the current content. Written bytes are stored in the field when the
// stream is destroyed (the field must be writable then).
class TBlobStream {
 public:
  enum TSeekOrigin { soFromBeginning, soFromCurrent, soFromEnd };

  TBlobStream(TField* field, TBlobStreamMode mode);
  ~TBlobStream();
  TBlobStream(const TBlobStream&) = delete;
  TBlobStream& operator=(const TBlobStream&) = delete;

  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  std::int64_t Read(void* buffer, std::int64_t count);
  std::int64_t Write(const void* buffer, std::int64_t count);
  std::int64_t Size() const { return static_cast<std::int64_t>(FData.size()); }
  std::int64_t Position() const { return FPosition; }

 private:
  TField* FField;
  TBlobStreamMode FMode;
  std::string FData;
  std::int64_t FPosition = 0;
  bool FModified = false;
};

}  // namespace korvane
