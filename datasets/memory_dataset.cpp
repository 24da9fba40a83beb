#include "datasets/memory_dataset.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

namespace korvane {

namespace {

// Moves a value into a stored record's slot. The same as variant's move
// assignment, without its generic dispatch: this runs for every value of
// every record posted.
void MoveValue(TFieldData& to, TFieldData& from) {
  switch (from.index()) {
    case 1:
      to.emplace<1>(*std::get_if<1>(&from));
      break;
    case 2:
      to.emplace<2>(*std::get_if<2>(&from));
      break;
    case 3:
      to.emplace<3>(*std::get_if<3>(&from));
      break;
    case 4:
      if (auto* held = std::get_if<4>(&to)) {
        held->swap(*std::get_if<4>(&from));
      } else {
        to.emplace<4>(std::move(*std::get_if<4>(&from)));
      }
      break;
    default:
      to.emplace<0>();
      break;
  }
}

// Moves a value into a slot that holds none yet.
void MoveInto(TFieldData* to, TFieldData& from) noexcept {
  switch (from.index()) {
    case 1:
      std::construct_at(to, std::in_place_index<1>, *std::get_if<1>(&from));
      break;
    case 2:
      std::construct_at(to, std::in_place_index<2>, *std::get_if<2>(&from));
      break;
    case 3:
      std::construct_at(to, std::in_place_index<3>, *std::get_if<3>(&from));
      break;
    case 4:
      std::construct_at(to, std::in_place_index<4>, std::move(*std::get_if<4>(&from)));
      break;
    default:
      std::construct_at(to);
      break;
  }
}

}  // namespace

void TMemoryDataSet::TChunkFree::operator()(TFieldData* slots) const noexcept {
  ::operator delete(slots);
}

TMemoryDataSet::TMemoryDataSet(TComponent* owner) : TDataSet(owner) {}

TMemoryDataSet::~TMemoryDataSet() {
  try {
    Close();
  } catch (...) {
  }
  DropRecords();
}

void TMemoryDataSet::DropRecords() noexcept {
  for (std::size_t r = 0; r < FCount; ++r) std::destroy_n(Record(r), FWidth);
  FChunks.clear();
  FCount = 0;
}

void TMemoryDataSet::SetFieldDefs(const std::vector<TFieldDef>& defs) {
  if (Active()) throw EDatabaseError("Cannot change the fields of an open dataset");
  DestroyFields();
  DropRecords();
  FLastAutoInc = 0;
  FFieldDefs.clear();
  FWidth = 0;
  try {
    CreateFields(defs);
  } catch (...) {
    DestroyFields();
    throw;
  }
  FFieldDefs = defs;
  FWidth = defs.size();
}

void TMemoryDataSet::AddFieldDef(const std::string& name, TFieldType dataType, int size,
                                 bool required) {
  if (Active()) throw EDatabaseError("Cannot change the fields of an open dataset");
  TField* field = AddField(name, dataType, size);
  field->SetRequired(required);
  DropRecords();
  FLastAutoInc = 0;
  FFieldDefs.push_back(TFieldDef{name, dataType, size, required, false});
  FWidth = FFieldDefs.size();
}

void TMemoryDataSet::EmptyDataSet() {
  Cancel();
  DropRecords();
  FLastAutoInc = 0;
  FRecNo = -1;
  SetActiveBuffer(nullptr);
  if (Active()) First();
}

void TMemoryDataSet::Reserve(std::size_t count) {
  std::size_t chunks = (count + kChunkRecords - 1) / kChunkRecords;
  while (FChunks.size() < chunks) {
    // Raw storage: a slot is constructed when its record is appended.
    TChunk chunk(
        static_cast<TFieldData*>(::operator new(kChunkRecords* FWidth * sizeof(TFieldData))));
    FChunks.push_back(std::move(chunk));
  }
}

TFieldData* TMemoryDataSet::Record(std::size_t recNo) const {
  return FChunks[recNo / kChunkRecords].get() + (recNo % kChunkRecords) * FWidth;
}

TFieldData* TMemoryDataSet::NewRecord() {
  if (FCount % kChunkRecords == 0) Reserve(FCount + 1);
  return Record(FCount++);
}

void TMemoryDataSet::AppendRecord(const std::vector<std::string>& texts) {
  if (!Active()) Open();
  if (texts.size() > FWidth) {
    throw EDatabaseError("Record has " + IntToStr(static_cast<std::int64_t>(texts.size())) +
                         " values for " + IntToStr(FieldCount()) + " fields");
  }
  Append();
  try {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!texts[i].empty()) Fields(static_cast<int>(i))->SetAsString(texts[i]);
    }
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TMemoryDataSet::AppendData(std::vector<TFieldData> values) {
  if (!Active()) Open();
  if (values.size() > FWidth) {
    throw EDatabaseError("Record has " + IntToStr(static_cast<std::int64_t>(values.size())) +
                         " values for " + IntToStr(FieldCount()) + " fields");
  }
  Append();
  try {
    for (std::size_t i = 0; i < values.size(); ++i) {
      Fields(static_cast<int>(i))->SetData(std::move(values[i]));
    }
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

const TFieldData& TMemoryDataSet::FieldValue(int recNo, int fieldIndex) const {
  if (recNo < 0 || static_cast<std::size_t>(recNo) >= FCount) {
    throw EDatabaseError("Record " + IntToStr(recNo) + " does not exist");
  }
  if (fieldIndex < 0 || static_cast<std::size_t>(fieldIndex) >= FWidth) {
    throw EDatabaseError("Field index " + IntToStr(fieldIndex) + " out of range");
  }
  return Record(static_cast<std::size_t>(recNo))[fieldIndex];
}

const TFieldData& TMemoryDataSet::FieldValue(int recNo, std::string_view fieldName) const {
  return FieldValue(recNo, FieldByName(fieldName)->Index());
}

void TMemoryDataSet::InternalOpen() {
  if (!FOpenError.empty()) throw EDatabaseError(FOpenError);
}

void TMemoryDataSet::InternalClose() { FRecNo = -1; }

bool TMemoryDataSet::InternalFirst() {
  if (FCount == 0) {
    FRecNo = -1;
    SetActiveBuffer(nullptr);
    return false;
  }
  FRecNo = 0;
  SetActiveBuffer(Record(0));
  return true;
}

bool TMemoryDataSet::InternalNext() {
  if (FRecNo < 0 || static_cast<std::size_t>(FRecNo) + 1 >= FCount) return false;
  ++FRecNo;
  SetActiveBuffer(Record(static_cast<std::size_t>(FRecNo)));
  return true;
}

void TMemoryDataSet::InternalPost() {
  std::vector<TFieldData>& values = EditBuffer();
  if (State() == dsInsert) {
    for (std::size_t i = 0; i < FFieldDefs.size(); ++i) {
      if (FFieldDefs[i].DataType != ftAutoInc) continue;
      auto& slot = values[i];
      if (auto* given = std::get_if<std::int64_t>(&slot)) {
        FLastAutoInc = std::max(FLastAutoInc, *given);
      } else {
        slot = ++FLastAutoInc;
      }
    }
  }
  const std::size_t given = std::min(values.size(), FWidth);
  TFieldData* record = nullptr;
  if (State() == dsInsert) {
    record = NewRecord();
    FRecNo = static_cast<int>(FCount) - 1;
    // Every slot of a stored record holds a value, null where none is given.
    for (std::size_t i = 0; i < given; ++i) MoveInto(record + i, values[i]);
    std::uninitialized_value_construct(record + given, record + FWidth);
  } else {
    record = Record(static_cast<std::size_t>(FRecNo));
    for (std::size_t i = 0; i < given; ++i) MoveValue(record[i], values[i]);
  }
  SetActiveBuffer(record);
}

}  // namespace korvane
