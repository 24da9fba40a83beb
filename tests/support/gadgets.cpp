#include "support/gadgets.h"

namespace korvane {

using gadgets::TGadget;
using gadgets::TGadgetSource;

template <>
TComponentClass ComponentClass<TGadget>() {
  static const TClassInfo info =
      TClassBuilder<TGadget>("TGadget")
          .String("Caption", &TGadget::Caption, &TGadget::SetCaption)
          .Integer("Count", &TGadget::Count, &TGadget::SetCount)
          .Integer("Level", &TGadget::Level, &TGadget::SetLevel)
          .Boolean("Enabled", &TGadget::Enabled, &TGadget::SetEnabled)
          .Enumeration<TRecordSeparator>("Ending", EnumTraits<TRecordSeparator>::TypeName,
                                         EnumTraits<TRecordSeparator>::Names, &TGadget::Ending,
                                         &TGadget::SetEnding)
          .StringList("Items", &TGadget::Items)
          .Reference<TGadgetSource>("Source", "TGadgetSource", &TGadget::Source,
                                    &TGadget::SetSource)
          .Integer("Hits", &TGadget::Hits)
          .Event("OnChange", "TNotifyEvent")
          .String("Version", &TGadget::Version, &TGadget::SetVersion)
          .Build();
  return &info;
}

template <>
TComponentClass ComponentClass<TGadgetSource>() {
  static const TClassInfo info = TClassBuilder<TGadgetSource>("TGadgetSource")
                                     .String("Path", &TGadgetSource::Path, &TGadgetSource::SetPath)
                                     .Build();
  return &info;
}

namespace gadgets {

TGadgetClasses::TGadgetClasses() {
  RegisterClass(ComponentClass<TGadget>());
  RegisterClass(ComponentClass<TGadgetSource>());
}

TGadgetClasses::~TGadgetClasses() {
  UnregisterClass(ComponentClass<TGadget>());
  UnregisterClass(ComponentClass<TGadgetSource>());
}

}  // namespace gadgets
}  // namespace korvane
