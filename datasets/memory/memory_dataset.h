// An in-memory dataset for hosts and tests: records kept in append order,
// with switches that make every failure path of a run reachable (a refused
// record, a read-only dataset, an open that fails).
#pragma once

#include "core/api.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/db.h"

namespace korvane {

// Holds its records itself, packed: per value a type byte and only the
// bytes the value needs, so a record of a few numbers and short texts takes a
// few dozen bytes. Navigation unpacks the current record into the fields'
// buffer, reusing its text buffers. The data survives Close and Open;
// EmptyDataSet or new field definitions drop it.
// Not thread-safe.
//
// Auto-increment fields left null get the next number when a record is
// inserted.
//
// Refusing records: SetBeforePost (inherited) installs a handler that runs
// before every Post and raises to refuse the record; the record is then not
// stored and the dataset stays in dsInsert until Cancel.
class KORVANE_API TMemoryDataSet : public TDataSet {
 public:
  explicit TMemoryDataSet(TComponent* owner = nullptr);
  ~TMemoryDataSet() override;

  // Defines the fields (the dataset must be closed). Replacing the
  // definitions drops the stored records. The fields exist from here on.
  void SetFieldDefs(const std::vector<TFieldDef>& defs);
  void AddFieldDef(const std::string& name, TFieldType dataType, int size = 0,
                   bool required = false);
  const std::vector<TFieldDef>& FieldDefs() const { return FFieldDefs; }

  // A read-only dataset opens and can be walked, but CanModify is false and
  // Append/Edit raise EDatabaseError.
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value) { FReadOnly = value; }

  // When not empty, Open raises EDatabaseError with this message.
  const std::string& OpenError() const { return FOpenError; }
  void SetOpenError(std::string message) { FOpenError = std::move(message); }

  bool CanModify() const override { return Active() && !FReadOnly; }
  int RecordCount() const override { return static_cast<int>(FCount); }

  // Removes every record (the dataset may be open; it is then empty).
  void EmptyDataSet();
  // Prepares for count records in total (memory for them is taken as they
  // come, since their size is not known).
  void Reserve(std::size_t count);

  // Appends one record and posts it, setting each field from the text at the
  // same position through the field's own conversion (AsString); the empty
  // text leaves the field null. Opens the dataset when it is closed. Fewer
  // texts than fields leave the rest null; more raise EDatabaseError. On a
  // raise the record is cancelled and the exception passes on.
  void AppendRecord(const std::vector<std::string>& texts);
  // The same with raw values (alternatives must match the field types).
  void AppendData(std::vector<TFieldData> values);

  // A stored record's value, by record number (0-based, append order) and
  // field index or name; raises EDatabaseError when out of range.
  TFieldData FieldValue(int recNo, int fieldIndex) const;
  TFieldData FieldValue(int recNo, std::string_view fieldName) const;
  // Number of the current record (0-based), -1 when there is none.
  int RecNo() const { return FRecNo; }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  bool InternalFirst() override;
  bool InternalNext() override;
  void InternalPost() override;

 private:
  // Records are kept in chunks of kChunkRecords, each chunk a byte buffer
  // that records are appended to. A record is one type byte per value, then
  // what each value needs: nothing for null and booleans, four bytes for an
  // integer or a whole double that fits in 32 bits, eight otherwise, a text
  // as its length and bytes. Texts of kLargeText bytes and more are kept
  // apart so that records stay small.
  static constexpr unsigned kChunkShift = 12;
  static constexpr std::size_t kChunkRecords = std::size_t{1} << kChunkShift;
  static constexpr std::size_t kLargeText = 16384;

  struct TBytesFree {
    void operator()(std::byte* bytes) const noexcept;
  };
  struct TChunk {
    std::unique_ptr<std::byte, TBytesFree> Data;
    std::size_t Used = 0;
    std::size_t Capacity = 0;
    // Where each record of the chunk starts in Data.
    std::unique_ptr<std::uint32_t[]> Offsets;
  };

  const std::byte* RecordAt(std::size_t recNo) const;
  // Packs values behind the records of chunk (growing it as needed, but
  // not counting the bytes in Used) and returns their size.
  std::size_t PackBehind(TChunk& chunk, const std::vector<TFieldData>& values);
  // Makes room in chunk for bytes more (the chunk may move).
  static void Grow(TChunk& chunk, std::size_t bytes);
  static void Enlarge(TChunk& chunk, std::size_t bytes);
  // Unpacks a record into the fields' buffer and makes it the current one.
  void Load(std::size_t recNo);
  // Keeps a text of kLargeText bytes or more apart and returns its slot.
  std::uint64_t KeepLargeText(const std::string& text);
  // Frees the large texts that a stored record refers to.
  void ReleaseLargeTexts(const std::byte* record);
  void DropRecords() noexcept;
  // AppendRecord and AppendData: one record of count values, setValue(i)
  // putting value i into its field.
  template <class SetValue>
  void AppendValues(std::size_t count, SetValue&& setValue);

  std::vector<TFieldDef> FFieldDefs;
  std::size_t FWidth = 0;  // values per record
  bool FHasAutoInc = false;
  std::vector<TChunk> FChunks;
  std::size_t FCount = 0;
  // Texts of kLargeText bytes and more; a record holds the index. A slot
  // freed by an edit is reused.
  std::vector<std::string> FLargeTexts;
  std::vector<std::uint64_t> FFreeLargeTexts;
  int FRecNo = -1;
  std::int64_t FLastAutoInc = 0;
  bool FReadOnly = false;
  std::string FOpenError;
};

}  // namespace korvane
