#include "datasets/memory_dataset.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace korvane {

namespace {

// Chunks start small (a dataset of a few records stays small) and double up
// to this many bytes.
constexpr std::size_t kFirstChunkBytes = std::size_t{16} << 10;
constexpr std::size_t kMaxChunkBytes = std::size_t{8} << 20;
constexpr std::size_t kFirstTextBlock = std::size_t{64} << 10;
constexpr std::size_t kMaxTextBlock = std::size_t{8} << 20;
// The longest length prefix of a stored text (seven bits per byte).
constexpr std::size_t kMaxLengthBytes = 10;

// The type byte of a packed value is the index of its alternative.
constexpr std::uint8_t kNull = 0;
constexpr std::uint8_t kInt = 1;
constexpr std::uint8_t kFloat = 2;
constexpr std::uint8_t kBool = 3;
constexpr std::uint8_t kText = 4;
static_assert(std::is_same_v<std::variant_alternative_t<kInt, TFieldData>, std::int64_t>);
static_assert(std::is_same_v<std::variant_alternative_t<kFloat, TFieldData>, double>);
static_assert(std::is_same_v<std::variant_alternative_t<kBool, TFieldData>, bool>);
static_assert(std::is_same_v<std::variant_alternative_t<kText, TFieldData>, std::string>);

std::uint64_t ReadCell(const std::byte* cell) {
  std::uint64_t bits;
  std::memcpy(&bits, cell, sizeof bits);
  return bits;
}

void WriteCell(std::byte* cell, std::uint64_t bits) { std::memcpy(cell, &bits, sizeof bits); }

const std::byte* TextAt(std::uint64_t cell) {
  return reinterpret_cast<const std::byte*>(static_cast<std::uintptr_t>(cell));
}

// Reads the length prefix of a stored text; returns where its bytes start.
const char* ReadText(const std::byte* at, std::size_t& length) {
  std::size_t n = 0;
  unsigned shift = 0;
  auto byte = std::to_integer<unsigned>(*at++);
  while (byte >= 0x80) {
    n |= std::size_t{byte & 0x7Fu} << shift;
    shift += 7;
    byte = std::to_integer<unsigned>(*at++);
  }
  length = n | std::size_t{byte} << shift;
  return reinterpret_cast<const char*>(at);
}

// Writes a text with its length prefix at at; returns the end.
std::byte* WriteText(std::byte* at, std::string_view text) {
  std::size_t n = text.size();
  while (n >= 0x80) {
    *at++ = static_cast<std::byte>(n | 0x80);
    n >>= 7;
  }
  *at++ = static_cast<std::byte>(n);
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

void TMemoryDataSet::TBlockFree::operator()(std::byte* block) const noexcept { std::free(block); }

TMemoryDataSet::TBlock TMemoryDataSet::AllocateBlock(std::size_t bytes) {
  void* memory = std::malloc(std::max<std::size_t>(bytes, 1));
  if (memory == nullptr) throw std::bad_alloc();
  return TBlock(static_cast<std::byte*>(memory));
}

TMemoryDataSet::TMemoryDataSet(TComponent* owner) : TDataSet(owner) {}

TMemoryDataSet::~TMemoryDataSet() {
  try {
    Close();
  } catch (...) {
  }
}

void TMemoryDataSet::DropRecords() noexcept {
  FChunks.clear();
  FCount = 0;
  FCapacity = 0;
  FLastChunk = 0;
  FTextBlocks.clear();
  FTextNext = nullptr;
  FTextLeft = 0;
  FTextBlockSize = 0;
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
  FStride = FWidth * 8 + RoundUp(std::max<std::size_t>(FWidth, 1), 8);
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
  FStride = FWidth * 8 + RoundUp(FWidth, 8);
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
  if (count <= FCapacity) return;
  if (FStride == 0) FStride = 8;
  const std::size_t more = count - FCapacity;
  if (more > std::numeric_limits<std::size_t>::max() / FStride) throw std::bad_alloc();
  FChunks.reserve(FChunks.size() + 1);
  FChunks.push_back(TChunk{FCapacity, more, AllocateBlock(more * FStride)});
  FCapacity = count;
}

void TMemoryDataSet::MakeRoom() {
  if (FCount < FCapacity) return;
  if (FStride == 0) FStride = 8;
  std::size_t records = FChunks.empty() ? kFirstChunkBytes / FStride : FChunks.back().Capacity * 2;
  records = std::min(records, kMaxChunkBytes / FStride);
  Reserve(FCapacity + std::max<std::size_t>(records, 1));
}

std::byte* TMemoryDataSet::FindRecord(std::size_t recNo) const {
  auto after = std::upper_bound(FChunks.begin(), FChunks.end(), recNo,
                                [](std::size_t r, const TChunk& c) { return r < c.First; });
  const auto& chunk = *(after - 1);
  FLastChunk = static_cast<std::size_t>(after - 1 - FChunks.begin());
  return chunk.Data.get() + (recNo - chunk.First) * FStride;
}

inline std::byte* TMemoryDataSet::RecordAt(std::size_t recNo) const {
  if (FLastChunk < FChunks.size()) {
    const TChunk& last = FChunks[FLastChunk];
    // One unsigned compare: a record before the chunk wraps around.
    if (recNo - last.First < last.Capacity) return last.Data.get() + (recNo - last.First) * FStride;
  }
  return FindRecord(recNo);
}

void TMemoryDataSet::GrowText(std::size_t bytes) {
  FTextBlockSize =
      FTextBlockSize == 0 ? kFirstTextBlock : std::min(FTextBlockSize * 2, kMaxTextBlock);
  const std::size_t size = std::max(bytes, FTextBlockSize);
  FTextBlocks.reserve(FTextBlocks.size() + 1);
  FTextBlocks.push_back(AllocateBlock(size));
  FTextNext = FTextBlocks.back().get();
  FTextLeft = size;
}

inline void TMemoryDataSet::ReserveText(std::size_t bytes) {
  if (bytes > FTextLeft) GrowText(bytes);
}

std::byte* TMemoryDataSet::StoreText(std::string_view text) {
  std::byte* start = FTextNext;
  std::byte* end = WriteText(start, text);
  FTextLeft -= static_cast<std::size_t>(end - start);
  FTextNext = end;
  return start;
}

void TMemoryDataSet::Pack(std::byte* record, const std::vector<TFieldData>& values, bool fresh) {
  const std::size_t given = std::min(values.size(), FWidth);
  auto* types = reinterpret_cast<std::uint8_t*>(record + FWidth * 8);
  if (!fresh) {
    // Room for every text first: from here on nothing can fail, so a stored
    // record is never left half changed. (A new record that fails half way
    // is simply not counted.)
    std::size_t textBytes = 0;
    for (std::size_t i = 0; i < given; ++i) {
      if (const auto* text = std::get_if<kText>(&values[i])) {
        textBytes += text->size() + kMaxLengthBytes;
      }
    }
    ReserveText(textBytes);
  }

  for (std::size_t i = 0; i < given; ++i) {
    std::byte* cell = record + i * 8;
    const TFieldData& value = values[i];
    std::uint64_t bits = 0;
    std::uint8_t type = kNull;
    switch (value.index()) {
      case kInt:
        type = kInt;
        bits = static_cast<std::uint64_t>(*std::get_if<kInt>(&value));
        break;
      case kFloat:
        type = kFloat;
        bits = std::bit_cast<std::uint64_t>(*std::get_if<kFloat>(&value));
        break;
      case kBool:
        type = kBool;
        bits = *std::get_if<kBool>(&value) ? 1 : 0;
        break;
      case kText: {
        type = kText;
        const std::string& text = *std::get_if<kText>(&value);
        if (!fresh && types[i] == kText) {
          // A changed text that is no longer than the stored one takes its
          // place; a longer one goes to the end of the store.
          std::byte* old = const_cast<std::byte*>(TextAt(ReadCell(cell)));
          std::size_t oldLength = 0;
          ReadText(old, oldLength);
          if (text.size() <= oldLength) {
            WriteText(old, text);
            bits = ReadCell(cell);
            break;
          }
        }
        if (fresh) ReserveText(text.size() + kMaxLengthBytes);
        bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(StoreText(text)));
        break;
      }
      default:
        break;
    }
    WriteCell(cell, bits);
    types[i] = type;
  }
  for (std::size_t i = given; i < FWidth; ++i) {
    WriteCell(record + i * 8, 0);
    types[i] = kNull;
  }
}

TFieldData TMemoryDataSet::Unpack(const std::byte* record, std::size_t width, std::size_t index) {
  const std::byte* cell = record + index * 8;
  const std::uint64_t bits = ReadCell(cell);
  switch (std::to_integer<std::uint8_t>(record[width * 8 + index])) {
    case kInt:
      return TFieldData(std::in_place_index<kInt>, static_cast<std::int64_t>(bits));
    case kFloat:
      return TFieldData(std::in_place_index<kFloat>, std::bit_cast<double>(bits));
    case kBool:
      return TFieldData(std::in_place_index<kBool>, bits != 0);
    case kText: {
      std::size_t length = 0;
      const char* text = ReadText(TextAt(bits), length);
      return TFieldData(std::in_place_index<kText>, text, length);
    }
    default:
      return TFieldData();
  }
}

void TMemoryDataSet::Load(std::size_t recNo) {
  const std::byte* record = RecordAt(recNo);
  const auto* types = reinterpret_cast<const std::uint8_t*>(record + FWidth * 8);
  TFieldData* slots = BrowseBuffer();
  for (std::size_t i = 0; i < FWidth; ++i) {
    TFieldData& slot = slots[i];
    const std::uint64_t bits = ReadCell(record + i * 8);
    // Assigning into an alternative already held keeps its text buffer.
    switch (types[i]) {
      case kInt:
        if (auto* v = std::get_if<kInt>(&slot)) {
          *v = static_cast<std::int64_t>(bits);
        } else {
          slot.emplace<kInt>(static_cast<std::int64_t>(bits));
        }
        break;
      case kFloat:
        if (auto* v = std::get_if<kFloat>(&slot)) {
          *v = std::bit_cast<double>(bits);
        } else {
          slot.emplace<kFloat>(std::bit_cast<double>(bits));
        }
        break;
      case kBool:
        if (auto* v = std::get_if<kBool>(&slot)) {
          *v = bits != 0;
        } else {
          slot.emplace<kBool>(bits != 0);
        }
        break;
      case kText: {
        std::size_t length = 0;
        const char* text = ReadText(TextAt(bits), length);
        if (auto* v = std::get_if<kText>(&slot)) {
          // Cheaper than assign, which allows for overlapping texts.
          v->clear();
          v->append(text, length);
        } else {
          slot.emplace<kText>(text, length);
        }
        break;
      }
      default:
        if (slot.index() != kNull) slot.emplace<kNull>();
        break;
    }
  }
  FRecNo = static_cast<int>(recNo);
  SetActiveBuffer(nullptr);
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

TFieldData TMemoryDataSet::FieldValue(int recNo, int fieldIndex) const {
  if (recNo < 0 || static_cast<std::size_t>(recNo) >= FCount) {
    throw EDatabaseError("Record " + IntToStr(recNo) + " does not exist");
  }
  if (fieldIndex < 0 || static_cast<std::size_t>(fieldIndex) >= FWidth) {
    throw EDatabaseError("Field index " + IntToStr(fieldIndex) + " out of range");
  }
  return Unpack(RecordAt(static_cast<std::size_t>(recNo)), FWidth,
                static_cast<std::size_t>(fieldIndex));
}

TFieldData TMemoryDataSet::FieldValue(int recNo, std::string_view fieldName) const {
  return FieldValue(recNo, FieldByName(fieldName)->Index());
}

void TMemoryDataSet::InternalOpen() {
  if (!FOpenError.empty()) throw EDatabaseError(FOpenError);
}

void TMemoryDataSet::InternalClose() { FRecNo = -1; }

bool TMemoryDataSet::InternalFirst() {
  if (FCount == 0) {
    FRecNo = -1;
    TFieldData* slots = BrowseBuffer();
    for (std::size_t i = 0; i < FWidth; ++i) slots[i].emplace<kNull>();
    SetActiveBuffer(nullptr);
    return false;
  }
  Load(0);
  return true;
}

bool TMemoryDataSet::InternalNext() {
  if (FRecNo < 0 || static_cast<std::size_t>(FRecNo) + 1 >= FCount) return false;
  Load(static_cast<std::size_t>(FRecNo) + 1);
  return true;
}

void TMemoryDataSet::InternalPost() {
  std::vector<TFieldData>& values = EditBuffer();
  if (State() == dsInsert) {
    for (std::size_t i = 0; i < FFieldDefs.size() && i < values.size(); ++i) {
      if (FFieldDefs[i].DataType != ftAutoInc) continue;
      auto& slot = values[i];
      if (auto* given = std::get_if<std::int64_t>(&slot)) {
        FLastAutoInc = std::max(FLastAutoInc, *given);
      } else {
        slot = ++FLastAutoInc;
      }
    }
    MakeRoom();
    Pack(RecordAt(FCount), values, true);
    FRecNo = static_cast<int>(FCount);
    ++FCount;
  } else {
    Pack(RecordAt(static_cast<std::size_t>(FRecNo)), values, false);
  }
  // The fields stay on the edit buffer: Post makes the posted values the
  // current record without copying them.
}

}  // namespace korvane
