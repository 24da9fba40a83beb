// Two small component classes with one published property of every kind,
// for tests of the published-property description, settings files and the
// designer without the package's own components.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/classes.h"
#include "core/published.h"
#include "components/kvenums.h"

namespace korvane::gadgets {

// What a TGadget's Source may refer to.
class TGadgetSource : public TComponent {
 public:
  using TComponent::TComponent;
  const std::string& Path() const { return FPath; }
  void SetPath(std::string value) { FPath = std::move(value); }

 private:
  std::string FPath;
};

// A gadget source of a more special kind (descends from TGadgetSource).
class TFancySource : public TGadgetSource {
 public:
  using TGadgetSource::TGadgetSource;
};

class TGadget : public TComponent {
 public:
  explicit TGadget(TComponent* owner) : TComponent(owner), FItems(new TStringList) {}

  const std::string& Caption() const { return FCaption; }
  void SetCaption(const std::string& value) { FCaption = value; }
  std::int32_t Count() const { return FCount; }
  void SetCount(std::int32_t value) { FCount = value; }
  std::int16_t Level() const { return FLevel; }
  void SetLevel(std::int16_t value) { FLevel = value; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value) { FEnabled = value; }
  TRecordSeparator Ending() const { return FEnding; }
  void SetEnding(TRecordSeparator value) { FEnding = value; }
  TStrings* Items() const { return FItems.get(); }
  TGadgetSource* Source() const { return FSource; }
  void SetSource(TGadgetSource* value) { FSource = value; }
  std::int32_t Hits() const { return FHits; }
  void SetHitsForTest(std::int32_t value) { FHits = value; }
  std::string Version() const { return "9.9"; }
  void SetVersion(const std::string&) {}  // ignored, as version texts are

 private:
  std::string FCaption;
  std::int32_t FCount = 0;
  std::int16_t FLevel = 0;
  bool FEnabled = false;
  TRecordSeparator FEnding = rsCRLF;
  std::unique_ptr<TStringList> FItems;
  TGadgetSource* FSource = nullptr;
  std::int32_t FHits = 0;
};

// A component class nobody describes.
class TUndescribed : public TComponent {
 public:
  using TComponent::TComponent;
};

// Registers TGadget and TGadgetSource for the lifetime of the object.
class TGadgetClasses {
 public:
  TGadgetClasses();
  ~TGadgetClasses();
  TGadgetClasses(const TGadgetClasses&) = delete;
  TGadgetClasses& operator=(const TGadgetClasses&) = delete;
};

}  // namespace korvane::gadgets

namespace korvane {
template <>
TComponentClass ComponentClass<gadgets::TGadget>();
template <>
TComponentClass ComponentClass<gadgets::TGadgetSource>();
}  // namespace korvane
