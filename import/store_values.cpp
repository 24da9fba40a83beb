// TCSVImport's run: a record's values into the dataset's fields, under
// lenient or strict values, by position or as the columns were matched.
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/sysutils.h"
#include "import/kvcsvimp.h"
#include "import/read_ahead.h"
#include "import/import_run.h"
#include "components/strict_values.h"

namespace korvane {

namespace {

// The index of the last non-empty value after the first `fields`, plus one;
// 0 when there is none.
template <typename Value>
int ValuesInUse(const Value* values, int count, int fields) {
  for (int i = count; i > fields; --i) {
    if (!std::string_view(values[i - 1]).empty()) return i;
  }
  return 0;
}

}  // namespace

namespace {

// Forgiving values with dsISO8601: an ISO text goes into a date, time or
// date-time field as WriteIsoFieldData stores it; false leaves the value to
// the format settings' reading (which also meets a field that refuses
// writes, and keeps to its own rule for it).
// While it lives, a field's own layout (ColumnFormats) is the format
// settings' ShortDateFormat (the run's own copy, see Execute). Each change
// costs the date reader a look at the layout, which only imports with such
// layouts pay.
// A value of a field without a layout of its own (every value, in most
// runs) costs one test: the saved layout is made only for a field with one.
class TScopedDateLayout {
 public:
  explicit TScopedDateLayout(const std::string* layout) {
    if (layout != nullptr) [[unlikely]] {
      FSaved = std::make_unique<std::string>(*layout);
      FormatSettings().ShortDateFormat.swap(*FSaved);
    }
  }
  ~TScopedDateLayout() {
    if (FSaved) [[unlikely]] FormatSettings().ShortDateFormat.swap(*FSaved);
  }
  TScopedDateLayout(const TScopedDateLayout&) = delete;
  TScopedDateLayout& operator=(const TScopedDateLayout&) = delete;
  bool Given() const { return FSaved != nullptr; }

 private:
  std::unique_ptr<std::string> FSaved;
};

bool StoreIsoLeniently(std::string_view text, TField* field, bool utc, bool wide) {
  const TFieldType type = field->DataType();
  if (type != ftDate && type != ftTime && type != ftDateTime) return false;
  try {
    return WriteIsoFieldData(text, field, utc, wide) == TIsoFault::None;
  } catch (const EDatabaseError&) {
    return false;
  }
}

}  // namespace

template <typename Value>
bool TImportRun::AddRecordValues(const Value* values, int count, std::int64_t inUsePast) {
  if (count <= 0 || FProps.FDataSet == nullptr) {
    NoteFailure(rerNoValues, -1, {}, "no values");
    return false;
  }
  if (FProps.FValueErrors == veStrict) {
    // Matched by name, a value has a place only where a name stood.
    const int fieldCount = FValueFields.empty() ? FProps.FDataSet->FieldCount()
                                                : static_cast<int>(FValueFields.size());
    if (const std::int64_t used =
            inUsePast > 0 ? inUsePast : ValuesInUse(values, count, fieldCount);
        used > 0) {
      NoteFailure(rerTooManyValues, -1, {},
                  std::to_string(used) + " values for " + std::to_string(fieldCount) +
                      (fieldCount == 1 ? " field" : " fields"));
      return false;
    }
    if (FCutValue >= 0) {
      // A value that lost the bytes of a character its column cut is not
      // the value the file holds.
      const auto v = static_cast<std::size_t>(std::exchange(FCutValue, -1));
      const int field = FValueFields.empty()      ? static_cast<int>(v)
                        : v < FValueFields.size() ? FValueFields[v]
                                                  : -1;
      NoteFailure(
          rerInvalidText, field,
          v < static_cast<std::size_t>(count) ? std::string_view(values[v]) : std::string_view(),
          "the column of value " + std::to_string(v + 1) +
              " ends inside a character of several bytes: its width counts bytes");
      return false;
    }
    TValueFault fault;
    return StoreRecordValues(values, count, [&](const Value& value, TField* field, int i) {
      const TScopedDateLayout layout(LayoutOf(field));
      if (WriteStrictFieldData(value, field, FProps.FWholeValues, fault,
                               layout.Given() ? dsFormatSettings : FProps.FDateTimeStyle,
                               FProps.FUtcTimes, FProps.FWideDates, FProps.FWideMoney)) {
        return true;
      }
      CancelFailedRecord();
      NoteFailure(fault.Reason, i, value, std::move(fault.Message));
      return false;
    });
  }
  // A value that does not convert leaves its field as it was and does not
  // fail the record; values beyond the last field are dropped. Both are
  // counted, as is a value cut inside a character, for the host to say.
  if (FCutValue >= 0) {
    FCutValue = -1;
    ++FCutValues;
  }
  if (const int fieldCount = FValueFields.empty() ? FProps.FDataSet->FieldCount()
                                                  : static_cast<int>(FValueFields.size());
      count > fieldCount && (inUsePast > 0 || ValuesInUse(values, count, fieldCount) > 0)) {
    ++FExtraValueRecords;
  }
  return StoreRecordValues(values, count, [this](const Value& value, TField* field, int) {
    const TScopedDateLayout layout(LayoutOf(field));
    // Under ISO 8601, a date or time the format settings would not read.
    if (FProps.FDateTimeStyle == dsISO8601 && !layout.Given() &&
        StoreIsoLeniently(value, field, FProps.FUtcTimes, FProps.FWideDates)) {
      return true;
    }
    const bool stored =
        FProps.FWholeValues ? WriteWholeFieldData(value, field) : WriteFieldData(value, field);
    if (!stored && FProps.FWideMoney && field->DataType() == ftCurrency && field->Currency()) {
      // An amount beyond a currency field, which the forgiving reader
      // leaves out, is kept whole where the column reaches further; what
      // the strict reader refuses too is left out as before.
      TValueFault unstored;
      if (!WriteStrictFieldData(value, field, false, unstored, dsFormatSettings, false, false,
                                true)) {
        ++FUnconvertedValues;
      }
      return true;
    }
    if (!stored) ++FUnconvertedValues;
    // Values the column keeps rounded are counted.
    if (stored && MayRoundValues(field) && RoundsValue(value, field)) ++FRoundedValues;
    return true;
  });
}

template <typename Value>
bool TImportRun::PostValues(const Value* values) {
  if constexpr (std::is_same_v<Value, std::string_view>) {
    // The fields hold their values now: a large record's text goes
    // before the dataset makes its own copy, so that at most two copies
    // of it are held at once (unless it is the text OnRecordError would
    // report, which then is the only other copy).
    if (values == FValues.Data() && FReportFrom != TReportFrom::Values) FValues.ReleaseLarge();
  }
  return PostAppended();
}

std::string_view TImportRun::LendLargeValue(const std::string_view* values, int i, TField* field,
                                           TLentText& lent) {
  const std::string_view value = values[i];
  std::string& text = FValues.FText;
  // Only a value of the run's own text, when nothing reports that text.
  const std::less_equal<const char*> notAfter;
  if (values != FValues.Data() || FReportFrom == TReportFrom::Values ||
      !notAfter(text.data(), value.data()) ||
      !notAfter(value.data() + value.size(), text.data() + text.size())) {
    return value;
  }
  text.erase(0, static_cast<std::size_t>(value.data() - text.data()));
  text.resize(value.size());
  const std::string_view moved = text;  // the buffer's bytes, wherever it goes
  FProps.FDataSet->LendTextBuffer(field->Index(), std::move(text));
  lent.FRun = this;
  lent.FField = field->Index();
  return moved;
}

void TImportRun::TakeBackText(int field) noexcept {
  FValues.FText = FProps.FDataSet->TakeLentText(field);
  if (FValues.FText.empty()) FValues.Clear();  // the values' views went with the buffer
}

template <typename Value, typename Store>
bool TImportRun::StoreRecordValues(const Value* values, int count, Store&& store) {
  try {
    FProps.FDataSet->Append();
    const std::vector<TField*>& fields = FProps.FDataSet->Fields();
    // The record's text, when a large last value is written from it.
    TLentText lent;
    // Value i into field (fieldIndex names it in a failure): a quoted empty
    // value stores the empty text in a text field, whatever the value rules.
    // last is the index of the last value the loop stores.
    const auto storeValue = [&](int i, int last, TField* field, int fieldIndex) {
      if constexpr (std::is_same_v<Value, std::string_view>) {
        std::string_view value = values[i];
        if (IsQuotedEmpty(value)) {
          StoreEmptyText(field);
          return true;
        }
        if (value.size() >= TRecordReadAhead::kLargeRecord && i == last) [[unlikely]] {
          value = LendLargeValue(values, i, field, lent);
        }
        return store(value, field, fieldIndex);
      } else {
        return store(values[i], field, fieldIndex);
      }
    };
    if (!FValueFields.empty()) {
      // Each value to the field ColumnMatching gave it (-1: none).
      const int n = std::min(count, static_cast<int>(FValueFields.size()));
      for (int i = 0; i < n; ++i) {
        const int f = FValueFields[static_cast<std::size_t>(i)];
        if (f < 0) continue;
        if (!storeValue(i, n - 1, fields[static_cast<std::size_t>(f)], f)) return false;
      }
      lent.TakeBack();
      return PostValues(values);
    }
    // Values go to fields by position.
    const int n = std::min(count, static_cast<int>(fields.size()));
    // Without an include or exclude action every field takes part.
    const TFieldListAction action = FProps.FFieldListAction;
    const bool everyField = action != flaInclude && action != flaExclude;
    for (int i = 0; i < n; ++i) {
      TField* field = fields[static_cast<std::size_t>(i)];
      if (!everyField && !FieldInFieldList(action, FProps.FFieldList.get(), field->FieldName())) {
        continue;
      }
      if (!storeValue(i, n - 1, field, i)) return false;
    }
    lent.TakeBack();
    return PostValues(values);
  } catch (...) {
    RefuseFailedRecord();  // sorts what was raised: see there
    return false;
  }
}


// The values a run splits, and those a host posts through AddRecord.
template bool TImportRun::AddRecordValues(const std::string_view* values, int count,
                                          std::int64_t inUsePast);
template bool TImportRun::AddRecordValues(const std::string* values, int count,
                                          std::int64_t inUsePast);

}  // namespace korvane
