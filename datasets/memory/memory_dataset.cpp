#include "datasets/memory/memory_dataset.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "core/sysutils.h"

namespace korvane {

namespace {

// The type byte in front of every packed value: how it is packed, finer
// than how it is held (TValueKind).
enum TPacked : std::uint8_t {
  pkNull,
  pkInt32,     // an integer that fits in 32 bits: four bytes
  pkInt64,     // eight bytes
  pkWhole,     // a double holding a 32-bit integer (a date, a round
               // amount): four bytes
  pkDouble,    // eight bytes
  pkFalse,     // no bytes
  pkTrue,      // no bytes
  pkText,      // the length (seven bits per byte, low first), the bytes
  pkLargeText  // eight bytes: the index of a text kept apart
};


// The longest length prefix of a text below the large-text size.
constexpr std::size_t kMaxLengthBytes = 3;

template <typename T>
T Read(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename T>
std::byte* Write(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof value);
  return at + sizeof value;
}

const std::byte* ReadLength(const std::byte* at, std::size_t& length) {
  std::size_t n = 0;
  unsigned shift = 0;
  auto byte = std::to_integer<unsigned>(*at++);
  while (byte >= 0x80) {
    n |= std::size_t{byte & 0x7Fu} << shift;
    shift += 7;
    byte = std::to_integer<unsigned>(*at++);
  }
  length = n | std::size_t{byte} << shift;
  return at;
}

// The position after the bytes of a value of type at at.
const std::byte* SkipPayload(std::uint8_t type, const std::byte* at) {
  switch (type) {
    case pkInt32:
    case pkWhole:
      return at + 4;
    case pkInt64:
    case pkDouble:
    case pkLargeText:
      return at + 8;
    case pkText: {
      std::size_t length = 0;
      at = ReadLength(at, length);
      return at + length;
    }
    default:
      return at;
  }
}

std::uint8_t TypeAt(const std::byte* record, std::size_t index) {
  return std::to_integer<std::uint8_t>(record[index]);
}

// Stores value as alternative I of slot, in place when slot holds it.
template <std::size_t I, typename T>
void Assign(TFieldData& slot, T value) {
  if (auto* held = std::get_if<I>(&slot)) {
    *held = value;
  } else {
    slot.emplace<I>(value);
  }
}

// True when value is a 32-bit integer that converts back to the same
// double (minus zero does not).
bool IsWhole(double value, std::int32_t& whole) {
  if (!(value >= -2147483648.0 && value < 2147483648.0)) return false;
  whole = static_cast<std::int32_t>(value);
  return static_cast<double>(whole) == value && (whole != 0 || !std::signbit(value));
}

}  // namespace

void TMemoryDataSet::TBytesFree::operator()(std::byte* bytes) const noexcept { std::free(bytes); }

TMemoryDataSet::TMemoryDataSet(TComponent* owner) : TDataSet(owner) {}

TMemoryDataSet::~TMemoryDataSet() {
  try {
    Close();
  } catch (...) {
    // A no-throw boundary: closing this dataset only drops its records,
    // which its destruction drops anyway; nothing it holds is lost.
  }
}

void TMemoryDataSet::DropRecords() noexcept {
  FChunks.clear();
  FCount = 0;
  FLargeTexts.clear();
  FFreeLargeTexts.clear();
}

void TMemoryDataSet::SetFieldDefs(const std::vector<TFieldDef>& defs) {
  if (Active()) throw EDatabaseError("Cannot change the fields of an open dataset");
  DestroyFields();
  DropRecords();
  FLastAutoInc = 0;
  FFieldDefs.clear();
  FWidth = 0;
  FHasAutoInc = false;
  try {
    CreateFields(defs);
  } catch (...) {
    DestroyFields();
    throw;
  }
  FFieldDefs = defs;
  FWidth = defs.size();
  FHasAutoInc = std::any_of(defs.begin(), defs.end(),
                            [](const TFieldDef& def) { return def.DataType == ftAutoInc; });
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
  FHasAutoInc = FHasAutoInc || dataType == ftAutoInc;
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
  FChunks.reserve((count + kChunkRecords - 1) / kChunkRecords);
}

inline const std::byte* TMemoryDataSet::RecordAt(std::size_t recNo) const {
  const TChunk& chunk = FChunks[recNo >> kChunkShift];
  return chunk.Data.get() + chunk.Offsets[recNo & (kChunkRecords - 1)];
}

inline void TMemoryDataSet::Grow(TChunk& chunk, std::size_t bytes) {
  if (chunk.Capacity - chunk.Used < bytes) Enlarge(chunk, bytes);
}

void TMemoryDataSet::Enlarge(TChunk& chunk, std::size_t bytes) {
  // Offsets are 32-bit: a chunk of records that large is refused.
  if (bytes > std::numeric_limits<std::uint32_t>::max() - chunk.Used) {
    throw EDatabaseError("Records too large to keep in memory");
  }
  const std::size_t capacity = std::max({chunk.Capacity * 2, chunk.Used + bytes, std::size_t{256}});
  void* data = std::realloc(chunk.Data.get(), capacity);
  if (data == nullptr) throw std::bad_alloc();
  chunk.Data.release();
  chunk.Data.reset(static_cast<std::byte*>(data));
  chunk.Capacity = capacity;
}

std::uint64_t TMemoryDataSet::KeepLargeText(const std::string& text) {
  // The free list can take back every slot without growing, so releasing a
  // slot later never fails.
  FFreeLargeTexts.reserve(FLargeTexts.size() + 1);
  if (FFreeLargeTexts.empty()) {
    FLargeTexts.push_back(text);
    return FLargeTexts.size() - 1;
  }
  const std::uint64_t slot = FFreeLargeTexts.back();
  FLargeTexts[slot] = text;
  FFreeLargeTexts.pop_back();
  return slot;
}

std::size_t TMemoryDataSet::PackBehind(TChunk& chunk, const std::vector<TFieldData>& values) {
  const std::size_t given = std::min(values.size(), FWidth);
  const std::size_t start = chunk.Used;
  // Room for the type bytes and eight bytes per value; a text that needs
  // more asks for it when it comes.
  Grow(chunk, FWidth * 9);
  std::byte* base = chunk.Data.get() + start;
  // The type bytes come first, so that reading a record does not wait for
  // one value to find the type of the next.
  std::byte* out = base + FWidth;
  for (std::size_t i = 0; i < given; ++i) {
    const TFieldData& value = values[i];
    std::byte& type = base[i];
    switch (ValueKind(value)) {
      case vkInteger: {
        const std::int64_t v = *std::get_if<vkInteger>(&value);
        if (v >= std::numeric_limits<std::int32_t>::min() &&
            v <= std::numeric_limits<std::int32_t>::max()) {
          type = std::byte{pkInt32};
          out = Write(out, static_cast<std::int32_t>(v));
        } else {
          type = std::byte{pkInt64};
          out = Write(out, v);
        }
        break;
      }
      case vkFloat: {
        const double v = *std::get_if<vkFloat>(&value);
        std::int32_t whole = 0;
        if (IsWhole(v, whole)) {
          type = std::byte{pkWhole};
          out = Write(out, whole);
        } else {
          type = std::byte{pkDouble};
          out = Write(out, v);
        }
        break;
      }
      case vkBoolean:
        type = std::byte{*std::get_if<vkBoolean>(&value) ? pkTrue : pkFalse};
        break;
      case vkText: {
        const std::string& text = *std::get_if<vkText>(&value);
        if (text.size() >= kLargeText) {
          type = std::byte{pkLargeText};
          out = Write(out, KeepLargeText(text));
          break;
        }
        const auto packed = static_cast<std::size_t>(out - base);
        const std::size_t need = packed + kMaxLengthBytes + text.size() + 8 * (FWidth - i - 1);
        if (need > chunk.Capacity - start) {
          Enlarge(chunk, need);
          base = chunk.Data.get() + start;
          out = base + packed;
        }
        base[i] = std::byte{pkText};
        std::size_t n = text.size();
        while (n >= 0x80) {
          *out++ = static_cast<std::byte>(n | 0x80);
          n >>= 7;
        }
        *out++ = static_cast<std::byte>(n);
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out += text.size();
        break;
      }
      default:
        type = std::byte{pkNull};
        break;
    }
  }
  for (std::size_t i = given; i < FWidth; ++i) base[i] = std::byte{pkNull};
  return static_cast<std::size_t>(out - base);
}

void TMemoryDataSet::ReleaseLargeTexts(const std::byte* record) {
  const std::byte* at = record + FWidth;
  for (std::size_t i = 0; i < FWidth; ++i) {
    const std::uint8_t type = TypeAt(record, i);
    if (type == pkLargeText) {
      const auto slot = Read<std::uint64_t>(at);
      std::string().swap(FLargeTexts[slot]);
      FFreeLargeTexts.push_back(slot);  // has room: see Pack
    }
    at = SkipPayload(type, at);
  }
}

void TMemoryDataSet::Load(std::size_t recNo) {
  const std::byte* types = RecordAt(recNo);
  const std::size_t width = FWidth;
  const std::byte* at = types + width;
  TFieldData* slot = BrowseBuffer();
  // Assigning into an alternative already held keeps its text buffer.
  auto setText = [](TFieldData& to, const char* text, std::size_t length) {
    auto* held = std::get_if<vkText>(&to);
    if (held == nullptr) {
      to.emplace<vkText>(text, length);
    } else if (length <= 16 && length <= held->size()) {
      // A short text no longer than the one before: copied over it and the
      // rest cut off, without a call into the library.
      std::copy_n(text, length, held->data());
      held->erase(length);
    } else {
      // Cheaper than assign, which allows for overlapping texts.
      held->clear();
      held->append(text, length);
    }
  };
  for (const std::byte* const end = types + width; types != end; ++types, ++slot) {
    const auto type = std::to_integer<std::uint8_t>(*types);
    // The common types first, each by a branch of its own: a column keeps its
    // type from record to record, which each branch learns on its own.
    if (type == pkText) {
      std::size_t length = std::to_integer<std::size_t>(*at);
      if (length < 0x80) {
        ++at;
      } else {
        at = ReadLength(at, length);
      }
      setText(*slot, reinterpret_cast<const char*>(at), length);
      at += length;
      continue;
    }
    if (type == pkInt32) {
      Assign<1>(*slot, Read<std::int32_t>(at));
      at += 4;
      continue;
    }
    if (type == pkWhole) {
      Assign<2>(*slot, Read<std::int32_t>(at));
      at += 4;
      continue;
    }
    switch (type) {
      case pkInt64:
        Assign<1>(*slot, Read<std::int64_t>(at));
        at += 8;
        break;
      case pkDouble:
        Assign<2>(*slot, Read<double>(at));
        at += 8;
        break;
      case pkFalse:
        Assign<3>(*slot, false);
        break;
      case pkTrue:
        Assign<3>(*slot, true);
        break;
      case pkLargeText: {
        const std::string& text = FLargeTexts[Read<std::uint64_t>(at)];
        setText(*slot, text.data(), text.size());
        at += 8;
        break;
      }
      default:
        if (!IsNull(*slot)) slot->emplace<vkNull>();
        break;
    }
  }
  FRecNo = static_cast<int>(recNo);
  SetActiveBuffer(nullptr);
}

template <class SetValue>
void TMemoryDataSet::AppendValues(std::size_t count, SetValue&& setValue) {
  if (!Active()) Open();
  if (count > FWidth) {
    throw EDatabaseError("Record has " + IntToStr(static_cast<std::int64_t>(count)) +
                         " values for " + IntToStr(FieldCount()) + " fields");
  }
  Append();
  try {
    for (std::size_t i = 0; i < count; ++i) setValue(i);
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TMemoryDataSet::AppendRecord(const std::vector<std::string>& texts) {
  AppendValues(texts.size(), [&](std::size_t i) {
    if (!texts[i].empty()) Fields(static_cast<int>(i))->SetAsString(texts[i]);
  });
}

void TMemoryDataSet::AppendData(std::vector<TFieldData> values) {
  AppendValues(values.size(), [&](std::size_t i) {
    Fields(static_cast<int>(i))->SetData(std::move(values[i]));
  });
}

TFieldData TMemoryDataSet::FieldValue(int recNo, int fieldIndex) const {
  if (recNo < 0 || static_cast<std::size_t>(recNo) >= FCount) {
    throw EDatabaseError("Record " + IntToStr(recNo) + " does not exist");
  }
  if (fieldIndex < 0 || static_cast<std::size_t>(fieldIndex) >= FWidth) {
    throw EDatabaseError("Field index " + IntToStr(fieldIndex) + " out of range");
  }
  const std::byte* record = RecordAt(static_cast<std::size_t>(recNo));
  const std::byte* at = record + FWidth;
  const auto index = static_cast<std::size_t>(fieldIndex);
  for (std::size_t i = 0; i < index; ++i) at = SkipPayload(TypeAt(record, i), at);
  const std::uint8_t type = TypeAt(record, index);
  switch (type) {
    case pkInt32:
      return TFieldData(std::in_place_index<1>, Read<std::int32_t>(at));
    case pkInt64:
      return TFieldData(std::in_place_index<1>, Read<std::int64_t>(at));
    case pkWhole:
      return TFieldData(std::in_place_index<2>, Read<std::int32_t>(at));
    case pkDouble:
      return TFieldData(std::in_place_index<2>, Read<double>(at));
    case pkFalse:
    case pkTrue:
      return TFieldData(std::in_place_index<3>, type == pkTrue);
    case pkText: {
      std::size_t length = 0;
      at = ReadLength(at, length);
      return TFieldData(std::in_place_index<vkText>, reinterpret_cast<const char*>(at), length);
    }
    case pkLargeText:
      return TFieldData(std::in_place_index<vkText>, FLargeTexts[Read<std::uint64_t>(at)]);
    default:
      return TFieldData();
  }
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
    for (std::size_t i = 0; i < FWidth; ++i) slots[i].emplace<0>();
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
  if (State() == dsInsert && FHasAutoInc) {
    for (std::size_t i = 0; i < FFieldDefs.size() && i < values.size(); ++i) {
      if (FFieldDefs[i].DataType != ftAutoInc) continue;
      auto& slot = values[i];
      if (auto* given = std::get_if<std::int64_t>(&slot)) {
        FLastAutoInc = std::max(FLastAutoInc, *given);
      } else {
        slot = ++FLastAutoInc;
      }
    }
  }
  if (State() == dsInsert) {
    const std::size_t index = FCount >> kChunkShift;
    if (index == FChunks.size()) {
      // Records of one dataset tend to be alike: size the new chunk for as
      // many bytes as the last one took, and a little more.
      TChunk chunk;
      chunk.Offsets = std::make_unique<std::uint32_t[]>(kChunkRecords);
      FChunks.push_back(std::move(chunk));
      if (FChunks.size() > 1) {
        const std::size_t used = FChunks[FChunks.size() - 2].Used;
        Grow(FChunks.back(), used + used / 8);
      }
    }
    TChunk& chunk = FChunks[index];
    // Nothing is counted before the record is complete: a failure half way
    // leaves its bytes unused.
    const std::size_t size = PackBehind(chunk, values);
    chunk.Offsets[FCount & (kChunkRecords - 1)] = static_cast<std::uint32_t>(chunk.Used);
    chunk.Used += size;
    FRecNo = static_cast<int>(FCount);
    ++FCount;
  } else {
    const auto recNo = static_cast<std::size_t>(FRecNo);
    TChunk& chunk = FChunks[recNo >> kChunkShift];
    // The new values are packed behind the chunk's records first, so that a
    // failure leaves the stored record as it was.
    const std::size_t size = PackBehind(chunk, values);
    const std::byte* start = chunk.Data.get() + chunk.Used;
    std::uint32_t& offset = chunk.Offsets[recNo & (kChunkRecords - 1)];
    std::byte* old = chunk.Data.get() + offset;
    const std::byte* oldEnd = old + FWidth;
    for (std::size_t i = 0; i < FWidth; ++i) oldEnd = SkipPayload(TypeAt(old, i), oldEnd);
    ReleaseLargeTexts(old);
    if (size <= static_cast<std::size_t>(oldEnd - old)) {
      std::memmove(old, start, size);
    } else {
      offset = static_cast<std::uint32_t>(chunk.Used);
      chunk.Used += size;
    }
  }
  // The fields stay on the edit buffer: Post makes the posted values the
  // current record without copying them.
}

}  // namespace korvane
