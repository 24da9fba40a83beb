#include "datasets/sql_dataset.h"

namespace korvane {

TSQLDataSet::TSQLDataSet(TComponent* owner)
    : TDataSet(owner), FColumns(std::make_unique<TStringList>()) {}

TSQLDataSet::~TSQLDataSet() = default;

void TSQLDataSet::CheckInactive(const char* property) const {
  if (Active()) {
    throw EDatabaseError(std::string("Cannot change ") + property + " while the dataset is open");
  }
}

void TSQLDataSet::CheckSource() const {
  if (FTableName.empty() == FQuery.empty()) {
    throw EDatabaseError(FTableName.empty() ? "Neither TableName nor Query is set"
                                            : "Set either TableName or Query, not both");
  }
}

void TSQLDataSet::SetTableName(const std::string& value) {
  CheckInactive("TableName");
  FTableName = value;
}

void TSQLDataSet::SetQuery(const std::string& value) {
  CheckInactive("Query");
  FQuery = value;
}

void TSQLDataSet::SetReadOnly(bool value) {
  CheckInactive("ReadOnly");
  FReadOnly = value;
  ReadOnlyChanged();
}

void TSQLDataSet::SetCreateTable(bool value) {
  CheckInactive("CreateTable");
  FCreateTable = value;
}

void TSQLDataSet::SetColumns(const TStrings* value) {
  if (value) {
    FColumns->Assign(*value);
  } else {
    FColumns->Clear();
  }
}

bool TSQLDataSet::CanModify() const { return !FReadOnly && FQuery.empty(); }

}  // namespace korvane
