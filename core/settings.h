// Settings files: components stored as text by class, name and published
// property (docs/settings-format.md describes the format). Writing stores
// every property a class describes as stored; reading checks the whole file
// before it touches or creates any component, so a refused file changes
// nothing.
#pragma once

#include "core/api.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/classes.h"
#include "core/published.h"
#include "core/sysutils.h"

namespace korvane {

// A settings file that cannot be read (the message starts with "line N: "
// and names the problem) or components that cannot be written.
class KORVANE_API ESettingsError : public Exception {
 public:
  ESettingsError(const std::string& message, int line = 0) : Exception(message), Line(line) {}
  // The 1-based line the problem is on; 0 when it is not about a line.
  int Line;
};

// The text of a settings file holding the components, in the order given.
// Every component's class must be registered; a component reference is
// written as the referenced component's name, which must not be empty.
// Raises ESettingsError when a component cannot be stored (unregistered
// class, unnamed referenced component, two components of the same name, an
// enumeration ordinal without identifier).
KORVANE_API std::string WriteSettings(std::span<TComponent* const> components);

// Creates the components a settings file stores, in file order, each named
// as stored and set up from its stored properties. A component reference
// names a component of the same file or, failing that, one that lookup
// finds. Raises ESettingsError and creates nothing when the text is not a
// valid settings file.
KORVANE_API std::vector<std::unique_ptr<TComponent>> LoadComponents(
    std::string_view text, const TComponentLookup& lookup = {});

// Reads stored settings into existing components. Each stored component goes
// to the target of the same class and name (names ignore case); when there is
// a single target and the file stores a single component of its class, the
// two go together whatever their names. Names of targets are not changed.
// Properties not in the file keep their values. A component reference names
// a stored component (meaning its target), a target, or a component that
// lookup finds. Raises ESettingsError and changes nothing when the text is
// not a valid settings file or a stored component has no target.
KORVANE_API void ReadSettings(std::string_view text, std::span<TComponent* const> targets,
                              const TComponentLookup& lookup = {});

// The same for files. Errors name the file: "PATH: line N: ...". Writing
// goes to a temporary file in the same folder that then replaces the file,
// so an existing file is never left half-written.
KORVANE_API void WriteSettingsFile(const std::string& path,
                                   std::span<TComponent* const> components);
KORVANE_API std::vector<std::unique_ptr<TComponent>> LoadComponentsFromFile(
    const std::string& path, const TComponentLookup& lookup = {});
KORVANE_API void ReadSettingsFile(const std::string& path, std::span<TComponent* const> targets,
                                  const TComponentLookup& lookup = {});

// A string as it is written in a settings file: in double quotes, with
// \\, \", \t, \r, \n and \xHH escapes for every byte outside printable ASCII.
KORVANE_API std::string QuoteSettingsString(std::string_view text);

}  // namespace korvane
