// Shared definitions of both components: enumerations and events, the field
// filter and the conversion of text values into typed fields.
#pragma once

#include <string>
#include <string_view>

#include "platform/classes.h"
#include "platform/db.h"
#include "src/kveditors.h"
#include "src/kvenums.h"
#include "src/kvprogress.h"

namespace korvane {

// The quote character a FieldDelimiter stands for: "'" for fdlSingle, the
// double quotation mark for fdlDouble, empty otherwise.
std::string FieldDelimiterChar(TFieldDelimiter delimiter);

// The separator a FieldSeparator stands for; fspCustom and fspNone (and any
// other value) take the component's CustomSeparator, empty or one character.
std::string FieldSeparatorChar(TFieldSeparator separator, const std::string& customSeparator);

// What a CustomSeparator setter keeps of a value: the first character of the
// trimmed text, or empty. Blanks and control characters can never separate.
std::string NormaliseCustomSeparator(std::string_view value);

// True when the field named fieldName takes part in a run, given the
// component's FieldListAction and FieldList (which may be absent).
bool FieldInFieldList(TFieldListAction action, const TStrings* list, std::string_view fieldName);

// The digits, '-' and '.' of text, in order; empty for a blank text.
std::string NumericOnly(std::string_view text);

// True when the trimmed, upper-cased text is a non-empty piece of
// "|TRUE|1|YES|".
bool StrToBoolean(std::string_view text);

// Stores one text value into a field, converted by the field's type. True
// when stored or when the text is empty; false when converting or storing
// raised.
bool WriteFieldData(std::string_view text, TField* field);

}  // namespace korvane
