#include "cli/cli_suggest.h"

#include <algorithm>

namespace korvane::cli {

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The option names app knows ("--columns", "-s"), its parents' included.
std::vector<std::string> OptionNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (; app != nullptr; app = app->get_parent()) {
    for (const CLI::Option* option : app->get_options()) {
      for (const std::string& l : option->get_lnames()) names.push_back("--" + l);
      for (const std::string& s : option->get_snames()) names.push_back("-" + s);
    }
  }
  return names;
}

}  // namespace

std::optional<std::string> UnknownWordMessage(const CLI::App& app, int argc, char** argv,
                                              std::string_view error) {
  std::vector<std::string> commands;
  const CLI::App* chosen = nullptr;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands.push_back(sub->get_name());
    if (sub->parsed()) chosen = sub;
  }
  if (chosen == nullptr) {
    // The first word that is no option names the command.
    for (int i = 1; i < argc; ++i) {
      const std::string_view word = argv[i];
      if (word.starts_with("-")) continue;
      std::string message =
          "'" + std::string(word) + "' is not a korvane command (" + Join(commands) + ")";
      const std::string nearest = NearestWord(word, commands);
      if (!nearest.empty()) message += ": did you mean " + nearest + "?";
      return message;
    }
    return std::nullopt;
  }
  const std::vector<std::string> names = OptionNames(chosen);
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (!word.starts_with("-") || word == "-" || word == "--") continue;
    word = word.substr(0, word.find('='));
    if (std::find(names.begin(), names.end(), word) != names.end()) continue;
    // Only a word the parser itself did not take.
    if (error.find(word) == std::string_view::npos) continue;
    std::string message = "unknown option " + std::string(word);
    const std::string nearest = NearestWord(word, names);
    if (!nearest.empty()) message += ": did you mean " + nearest + "?";
    return message;
  }
  return std::nullopt;
}

}  // namespace korvane::cli
