// An in-memory dataset for hosts and tests: records kept in append order,
// with switches that make every failure path of a run reachable (a refused
// record, a read-only dataset, an open that fails).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db.h"

namespace korvane {

// Holds its records itself, packed: eight bytes and a type byte per value,
// with texts in a separate store, so a record of a few numbers and short
// texts takes well under a hundred bytes. Navigation unpacks the current
// record into the fields' buffer, reusing its text buffers. The data
// survives Close and Open; EmptyDataSet or new field definitions drop it.
// Not thread-safe.
//
// Auto-increment fields left null get the next number when a record is
// inserted.
//
// Refusing records: SetBeforePost (inherited) installs a handler that runs
// before every Post and raises to refuse the record; the record is then not
// stored and the dataset stays in dsInsert until Cancel.
class TMemoryDataSet : public TDataSet {
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
  // Makes room for count records in total.
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
  // A block of raw memory.
  struct TBlockFree {
    void operator()(std::byte* block) const noexcept;
  };
  using TBlock = std::unique_ptr<std::byte, TBlockFree>;
  static TBlock AllocateBlock(std::size_t bytes);

  // Records [First, First + Capacity) live in Data, Stride bytes each.
  struct TChunk {
    std::size_t First = 0;
    std::size_t Capacity = 0;
    TBlock Data;
  };

  std::byte* RecordAt(std::size_t recNo) const;
  std::byte* FindRecord(std::size_t recNo) const;
  // Room for one more record (the chunk is allocated when needed).
  void MakeRoom();
  // Packs the edit buffer into record (texts go to the text store).
  void Pack(std::byte* record, const std::vector<TFieldData>& values, bool fresh);
  // Unpacks record into the fields' buffer and makes it the current one.
  void Load(std::size_t recNo);
  static TFieldData Unpack(const std::byte* record, std::size_t width, std::size_t index);
  // Stores a text and returns where it starts.
  std::byte* StoreText(std::string_view text);
  // Makes sure that the text store holds bytes more without a new block.
  void ReserveText(std::size_t bytes);
  void GrowText(std::size_t bytes);
  void DropRecords() noexcept;

  std::vector<TFieldDef> FFieldDefs;
  std::size_t FWidth = 0;   // values per record
  std::size_t FStride = 0;  // bytes per record: the values, then the type bytes
  std::vector<TChunk> FChunks;
  std::size_t FCount = 0;
  std::size_t FCapacity = 0;           // records the chunks hold in all
  mutable std::size_t FLastChunk = 0;  // where the last lookup ended
  // The text store: blocks filled front to back; each text is its length
  // (seven bits per byte) followed by its bytes.
  std::vector<TBlock> FTextBlocks;
  std::byte* FTextNext = nullptr;
  std::size_t FTextLeft = 0;
  std::size_t FTextBlockSize = 0;
  int FRecNo = -1;
  std::int64_t FLastAutoInc = 0;
  bool FReadOnly = false;
  std::string FOpenError;
};

}  // namespace korvane
