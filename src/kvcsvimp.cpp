// TCSVImport: construction, properties and the import run.
#include "src/kvcsvimp.h"

#include "platform/sysutils.h"

namespace korvane {

TCSVImport::TCSVImport(TComponent* owner) : TComponent(owner) {
  FFieldList = std::make_unique<TStringList>();
  FHeaderData = std::make_unique<TStringList>();
  FTrailerData = std::make_unique<TStringList>();
  FRecordCache = std::make_unique<TStringList>();
}

TCSVImport::~TCSVImport() {
  FFieldList.reset();
  FHeaderData.reset();
  FTrailerData.reset();
  FRecordCache.reset();
  // A progress window left by an interrupted run is owned by this component
  // and freed by TComponent's destructor. The input file is closed by its
  // handle.
}

void TCSVImport::SetFieldList(const TStrings* Value) {
  if (!FFieldList) FFieldList = std::make_unique<TStringList>();
  // The component keeps a copy, never the host's list; no list means none.
  if (Value != nullptr) {
    FFieldList->Assign(*Value);
  } else {
    FFieldList->Clear();
  }
}

// HeaderData and TrailerData are the component's own results: assigning a
// list to them changes nothing.
void TCSVImport::SetHeaderData(const TStrings* /*Value*/) {}
void TCSVImport::SetTrailerData(const TStrings* /*Value*/) {}

void TCSVImport::SetImportType(TImportType Value) { FImportType = Value; }

void TCSVImport::SetVersion(const std::string& /*Value*/) {}

}  // namespace korvane
