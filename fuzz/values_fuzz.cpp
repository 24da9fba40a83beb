// libFuzzer target for the readers of values: numbers, money, dates, times,
// dates with times and booleans, as functions and as the fields an import
// stores into under the forgiving and the strict rules. The input's first byte chooses the format settings, the rest
// is the text. A reader either refuses the text (EConvertError or
// ERangeError) or accepts it; an accepted value must be written to a text
// that reads back: to the very same value where the format keeps all of it,
// and to a text that then stays the same where it does not (a two-digit
// year, a time without milliseconds).
//
//   cmake --build build/fuzz --target values_fuzz
//   build/fuzz/fuzz/values_fuzz -max_total_time=600 CORPUS_DIR SEEDS/values
// CORPUS_DIR starts as `fuzz/corpus.sh unpack values CORPUS_DIR`; what the run adds
// is kept with `fuzz/corpus.sh pack values CORPUS_DIR`.
// SEEDS is a folder `fuzz/make_seeds.py SEEDS` writes.
#include <cstdint>
#include <string>
#include <string_view>

#include "datasets/memory/memory_dataset.h"
#include "fuzz/fuzz_support.h"
#include "text/formats.h"
#include "core/sysutils.h"
#include "components/strict_values.h"
#include "components/kvtypes.h"

namespace {

using korvane::fuzz::Finding;

struct TVariant {
  char Decimal;
  char Thousand;
  char DateSeparator;
  const char* ShortDate;
  char TimeSeparator;
  const char* LongTime;
  bool WholeDates;  // the date format writes every part of a date
  bool WholeTimes;  // the time format writes milliseconds
};

constexpr TVariant kVariants[] = {
    {'.', ',', '/', "m/d/yyyy", ':', "hh:nn:ss.zzz", true, true},
    {',', '.', '.', "dd.mm.yyyy", ':', "hh:nn:ss", true, false},
    {'.', ',', '-', "yyyy-mm-dd", ':', "hh:nn:ss.zzz", true, true},
    {'.', ' ', '/', "dd/mm/yy", '.', "hh.nn.ss", false, false},
    {',', ' ', '/', "d. mmmm yyyy", ':', "h:nn", true, false},
    {'.', ',', '/', "yyyymmdd", ':', "hh:nn:ss.zzz", true, true},
    {'.', ',', ' ', "mmm d yyyy", ':', "h:nn:ss AM/PM", true, false},
    {'.', '\'', '/', "ddmmyy", ':', "hh:nn:ss", false, false},
};

void UseVariant(const TVariant& v) {
  korvane::ResetFormatSettings();
  korvane::TFormatSettings& s = korvane::FormatSettings();
  s.DecimalSeparator = v.Decimal;
  s.ThousandSeparator = v.Thousand;
  s.DateSeparator = v.DateSeparator;
  s.ShortDateFormat = v.ShortDate;
  s.TimeSeparator = v.TimeSeparator;
  s.LongTimeFormat = v.LongTime;
}

// Reads text with read; false when refused. Any other exception escapes,
// and is a finding.
template <typename Value, typename Read>
bool Accepts(Read read, std::string_view text, Value& value) {
  try {
    value = read(text);
    return true;
  } catch (const korvane::EConvertError&) {
  } catch (const korvane::ERangeError&) {
  }
  return false;
}

// An accepted value written by write must read back: to value itself when
// whole, else to a value that its own text gives back exactly (a format
// that leaves parts out may write that value shorter: a date and time at
// midnight is written without its time).
template <typename Value, typename Read, typename Write>
void CheckRoundTrip(const char* what, std::string_view text, Read read, Write write, bool whole) {
  Value first{};
  if (!Accepts(read, text, first)) return;
  const std::string written = write(first);
  Value second{};
  if (!Accepts(read, written, second)) {
    Finding(std::string(what) + ": '" + written + "', written for an accepted value, is refused");
  }
  if (whole) {
    if (!(second == first)) {
      Finding(std::string(what) + ": '" + written + "' reads back as another value");
    }
    return;
  }
  const std::string again = write(second);
  Value third{};
  if (!Accepts(read, again, third) || !(third == second)) {
    Finding(std::string(what) + ": '" + again + "', written for '" + written +
            "', does not read back to the same value");
  }
}

void CheckFunctions(const TVariant& variant, std::string_view text) {
  using korvane::TDateTime;
  CheckRoundTrip<double>("StrToFloat", text, korvane::StrToFloat, korvane::FloatToStr, true);
  CheckRoundTrip<std::int64_t>("StrToInt64", text, korvane::StrToInt64, korvane::IntToStr, true);
  // Money keeps only digits, '-' and '.', and reads them as a number of
  // the settings: only with a decimal point does its own text read back.
  if (variant.Decimal == '.') {
    CheckRoundTrip<std::int64_t>(
      "NumericCurrency", text, korvane::NumericCurrency,
      [](std::int64_t amount) {
        char buf[korvane::kCurrencyTextRoom];
        return std::string(buf, korvane::PutCurrencyAmount(buf, amount, '.'));
      },
      true);
  }
  CheckRoundTrip<TDateTime>("StrToDate", text, korvane::StrToDate, korvane::DateToStr,
                            variant.WholeDates);
  CheckRoundTrip<TDateTime>("StrToTime", text, korvane::StrToTime, korvane::TimeToStr,
                            variant.WholeTimes);
  CheckRoundTrip<TDateTime>("StrToDateTime", text, korvane::StrToDateTime,
                            korvane::DateTimeToStr, variant.WholeDates && variant.WholeTimes);
  double number = 0;
  Accepts(korvane::NumericFloat, text, number);
  const bool truth = korvane::StrToBoolean(text);
  if (korvane::StrToBoolean(truth ? "TRUE" : "FALSE") != truth) Finding("StrToBoolean");
}

// The fields an import stores into, under the forgiving and the strict
// rules: an accepted text gives the field a text of its own, which must
// read back to the same text through the field itself and through the rules
// that accepted the first.
void CheckFields(korvane::TMemoryDataSet& data, std::string_view text) {
  auto forgiving = [](std::string_view t, korvane::TField* field) {
    return korvane::WriteFieldData(t, field);
  };
  auto strict = [](std::string_view t, korvane::TField* field) {
    korvane::TValueFault fault;
    return korvane::WriteStrictFieldData(t, field, false, fault);
  };
  data.Append();
  for (korvane::TField* field : data.Fields()) {
    for (int rules = 0; rules < 2; ++rules) {
      auto write = [&](std::string_view t) { return rules == 0 ? forgiving(t, field) : strict(t, field); };
      const char* name = rules == 0 ? " (forgiving)" : " (strict)";
      field->Clear();
      if (!write(text) || field->IsNull()) continue;
      std::string written = field->AsString();
      field->SetAsString(written);
      // A format that leaves parts out may write the value read back
      // shorter (a date and time at midnight without its time): that text
      // must then read back to itself.
      if (field->AsString() != written && field->DataType() == korvane::ftDateTime) {
        written = field->AsString();
        field->SetAsString(written);
      }
      if (field->AsString() != written) {
        Finding(field->FieldName() + name + ": '" + written + "' reads back as '" + field->AsString() + "'");
      }
      // The forgiving money reader keeps only digits, '-' and '.': with a
      // decimal comma it cannot read the field's text.
      if (rules == 0 && field->DataType() == korvane::ftCurrency &&
          korvane::FormatSettings().DecimalSeparator != '.') {
        continue;
      }
      field->Clear();
      if (!write(written) || field->AsString() != written) {
        Finding(field->FieldName() + name + ": '" + written + "', its own text, does not read back");
      }
    }
  }
  data.Cancel();
}

korvane::TMemoryDataSet& FieldsDataSet() {
  static korvane::TMemoryDataSet data;
  if (!data.Active()) {
    data.AddFieldDef("boolean", korvane::ftBoolean);
    data.AddFieldDef("integer", korvane::ftInteger);
    data.AddFieldDef("largeint", korvane::ftLargeint);
    data.AddFieldDef("float", korvane::ftFloat);
    data.AddFieldDef("currency", korvane::ftCurrency);
    data.AddFieldDef("date", korvane::ftDate);
    data.AddFieldDef("time", korvane::ftTime);
    data.AddFieldDef("datetime", korvane::ftDateTime);
    data.Open();
  }
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvane::fuzz::TSettingsBytes settings(data, size);
  const TVariant& variant = kVariants[settings.Next() % (sizeof kVariants / sizeof kVariants[0])];
  UseVariant(variant);
  const std::string_view text = settings.Rest();
  CheckFunctions(variant, text);
  CheckFields(FieldsDataSet(), text);
  korvane::ResetFormatSettings();
  return 0;
}
