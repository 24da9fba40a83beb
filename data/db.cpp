#include "data/db.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace korvane {

namespace {

constexpr std::size_t kTextIndex = TField::kTextIndex;

}  // namespace

// ---------------------------------------------------------------------------
// TDataSet

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
  // The fields are owned through TComponent, whose destructor runs after
  // this one; they call back into the dataset when destroyed, so they go
  // now while the dataset is still whole.
  FState = dsInactive;
  DestroyFields();
}

void TDataSet::SetActive(bool value) {
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TDataSet::Open() {
  if (Active()) return;
  try {
    InternalOpen();  // a raise leaves the dataset closed
  } catch (const std::exception& e) {
    FLastError = e.what();
    throw;
  }
  FLastError.clear();
  FState = dsBrowse;
  FPostCount = 0;
  FActive = FBrowseBuffer.data();
  try {
    FBof = true;
    FEof = !InternalFirst();
  } catch (const std::exception& e) {
    FLastError = e.what();
    CloseFailedOpen();
    throw;
  } catch (...) {
    CloseFailedOpen();
    throw;
  }
}

void TDataSet::CloseFailedOpen() noexcept {
  try {
    InternalClose();
  } catch (const std::exception&) {
    // The first failure is the one Open raises again and shows; closing
    // what it left half open can add nothing the host could act on.
  }
  FState = dsInactive;
}

void TDataSet::Close() {
  if (!Active()) return;
  if (FState == dsInsert || FState == dsEdit) Cancel();
  FState = dsInactive;
  FEof = FBof = true;
  FActive = FBrowseBuffer.data();
  std::fill(FBrowseBuffer.begin(), FBrowseBuffer.end(), TFieldData{});
  for (std::string& spare : FSpareStrings) std::string().swap(spare);
  InternalClose();
}

bool TDataSet::CanModify() const { return true; }

int TDataSet::RecordCount() const { return -1; }

void TDataSet::CheckActive() const {
  if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (FState == dsInsert || FState == dsEdit) Post();
}

void TDataSet::First() {
  CheckBrowseMode();
  FBof = true;
  FEof = !InternalFirst();
}

void TDataSet::Next() {
  CheckBrowseMode();
  if (FEof) return;
  if (InternalNext()) {
    FBof = false;
  } else {
    FEof = true;
  }
}

bool TDataSet::IsEmpty() const {
  if (!Active()) return true;
  if (FState != dsBrowse) return false;
  return FBof && FEof;
}

void TDataSet::InternalInitRecord() {
  TFieldData* slot = FEditBuffer.data();
  TFieldData* const end = slot + FEditBuffer.size();
  std::string* spare = FSpareStrings.data();
  for (; slot != end; ++slot, ++spare) {
    if (auto* text = std::get_if<kTextIndex>(slot)) {
      // Keep the larger buffer for the field's next text.
      if (text->capacity() > spare->capacity()) spare->swap(*text);
      slot->emplace<0>();
    } else {
      // Known not to be a text, the old value goes without a destructor.
      slot->emplace<0>();
    }
  }
}

void TDataSet::Append() {
  // In dsBrowse there is nothing to check or post first.
  if (FState != dsBrowse) CheckBrowseMode();
  if (!CanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  FSavedActive = FActive;
  FSavedEof = FEof;
  FSavedBof = FBof;
  FActive = FEditBuffer.data();
  FState = dsInsert;
  try {
    InternalInitRecord();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TDataSet::Edit() {
  CheckActive();
  if (FState == dsInsert || FState == dsEdit) return;
  if (IsEmpty()) throw EDatabaseError("Cannot edit an empty dataset");
  if (!CanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  std::copy(FActive, FActive + FFields.size(), FEditBuffer.begin());
  FSavedActive = FActive;
  FSavedEof = FEof;
  FSavedBof = FBof;
  FActive = FEditBuffer.data();
  FState = dsEdit;
}

void TDataSet::Post() {
  if (FState != dsInsert && FState != dsEdit) {
    CheckActive();
    throw EDatabaseError("Dataset not in edit or insert mode");
  }
  if (FRequiredCount > 0) {
    for (TField* field : FFields) {
      if (field->Required() && field->IsNull()) {
        throw EDatabaseError("Field '" + field->FieldName() + "' must have a value");
      }
    }
  }
  try {
    if (FBeforePost) FBeforePost(this);
    InternalPost();
  } catch (const std::exception& e) {
    FLastError = e.what();
    throw;
  }
  ++FPostCount;
  FState = dsBrowse;
  if (FActive == FEditBuffer.data()) {
    // The backend did not point us at its stored copy: the posted values
    // become the current record.
    std::swap(FBrowseBuffer, FEditBuffer);
    FActive = FBrowseBuffer.data();
  }
  FSavedActive = nullptr;
  FEof = FBof = false;
}

void TDataSet::Cancel() {
  if (FState != dsInsert && FState != dsEdit) return;
  FActive = FSavedActive != nullptr ? FSavedActive : FBrowseBuffer.data();
  FSavedActive = nullptr;
  FEof = FSavedEof;
  FBof = FSavedBof;
  FState = dsBrowse;
  InternalCancel();
}

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void RaiseFieldIndex(int index) {
  throw EListError("Field index out of range (" + IntToStr(index) + ")");
}

}  // namespace

TField* TDataSet::Fields(int index) const {
  // One unsigned compare for both ends; the message is built out of line.
  if (static_cast<std::size_t>(static_cast<unsigned>(index)) >= FFields.size()) {
    RaiseFieldIndex(index);
  }
  return FFields[static_cast<std::size_t>(index)];
}

TField* TDataSet::FindField(std::string_view name) const {
  for (TField* field : FFields) {
    if (SameText(field->FieldName(), name)) return field;
  }
  return nullptr;
}

void TDataSet::LendTextBuffer(int index, std::string&& buffer) {
  Fields(index);  // raises for an index out of range
  FSpareStrings[static_cast<std::size_t>(index)] = std::move(buffer);
}

std::string TDataSet::TakeLentText(int index) noexcept {
  const auto i = static_cast<std::size_t>(index);
  return i < FSpareStrings.size() ? std::move(FSpareStrings[i]) : std::string();
}

TField* TDataSet::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (field == nullptr) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return field;
}

TField* TDataSet::AddField(const std::string& name, TFieldType dataType, int size) {
  return CreateField(this, name, dataType, size);
}

void TDataSet::CreateFields(const std::vector<TFieldDef>& defs) {
  for (const TFieldDef& def : defs) {
    TField* field = AddField(def.Name, def.DataType, def.Size);
    field->SetRequired(def.Required);
    field->SetReadOnly(def.ReadOnly);
    field->SetPrecision(def.Precision);
    if (def.Scale >= 0 || def.Precision < 0) field->SetScale(def.Scale);
  }
}

void TDataSet::DestroyFields() {
  while (!FFields.empty()) delete FFields.back();
}

void TDataSet::InsertField(TField* field) {
  if (Active())
    throw EDatabaseError("Cannot add field '" + field->FieldName() + "' to an open dataset");
  if (FindField(field->FieldName()) != nullptr) {
    throw EDatabaseError("Duplicate field name '" + field->FieldName() + "'");
  }
  FFields.push_back(field);
  field->FIndex = static_cast<int>(FFields.size()) - 1;
  FBrowseBuffer.emplace_back();
  FEditBuffer.emplace_back();
  FSpareStrings.emplace_back();
  FActive = FBrowseBuffer.data();
}

void TDataSet::RemoveField(TField* field) {
  auto it = std::find(FFields.begin(), FFields.end(), field);
  if (it == FFields.end()) return;
  auto index = static_cast<std::size_t>(it - FFields.begin());
  if (field->FRequired) --FRequiredCount;
  FFields.erase(it);
  for (std::size_t i = index; i < FFields.size(); ++i) FFields[i]->FIndex = static_cast<int>(i);
  FBrowseBuffer.erase(FBrowseBuffer.begin() + static_cast<std::ptrdiff_t>(index));
  FEditBuffer.erase(FEditBuffer.begin() + static_cast<std::ptrdiff_t>(index));
  FSpareStrings.erase(FSpareStrings.begin() + static_cast<std::ptrdiff_t>(index));
  // A backend's record no longer matches the field layout.
  FActive = FBrowseBuffer.data();
  FSavedActive = nullptr;
}

// ---------------------------------------------------------------------------
// TBlobStream

TBlobStream::TBlobStream(TField* field, TBlobStreamMode mode) : FField(field), FMode(mode) {
  if (field == nullptr) throw EDatabaseError("Blob stream needs a field");
  if (!IsBlobType(field->DataType())) {
    throw EDatabaseError("Field '" + field->FieldName() + "' is not a blob field");
  }
  if (mode != bmRead) field->CheckWritable();
  if (mode == bmWrite) {
    FModified = true;  // opening for writing empties the content
  } else {
    FData = field->BlobData();
  }
}

TBlobStream::~TBlobStream() {
  if (!FModified) return;
  try {
    Commit();
  } catch (...) {
    // A no-throw boundary: a destructor cannot report. Callers that need
    // the bytes stored call Commit first, which raises the reason
    // (AppendFieldBlob does).
  }
}

std::int64_t TBlobStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
    case soFromBeginning:
      base = 0;
      break;
    case soFromCurrent:
      base = FPosition;
      break;
    case soFromEnd:
      base = Size();
      break;
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) {
    throw EDatabaseError("Invalid blob stream position");
  }
  FPosition = target;
  return FPosition;
}

std::int64_t TBlobStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition >= Size()) return 0;
  std::int64_t n = std::min(count, Size() - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TBlobStream::Write(const void* buffer, std::int64_t count) {
  if (FMode == bmRead) throw EDatabaseError("Cannot write to a read-only blob stream");
  if (count <= 0) return 0;
  auto pos = static_cast<std::size_t>(FPosition);
  auto n = static_cast<std::size_t>(count);
  if (pos > FData.max_size() - n) throw EDatabaseError("Blob stream too large");
  if (pos + n > FData.size()) FData.resize(pos + n, '\0');
  std::memcpy(FData.data() + pos, buffer, n);
  FPosition += count;
  FModified = true;
  return count;
}

void TBlobStream::Commit() {
  if (!FModified) return;
  FField->CheckWritable();
  FField->SetData(FData);
  FModified = false;
}

}  // namespace korvane
