#include "cli/cli_suggest.h"

#include <algorithm>

namespace korvane::cli {

namespace {

// Edits turning a into b: inserts, deletes, replacements and swaps of two
// neighbours, each counting one.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m];
}

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

std::string NearestWord(std::string_view word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

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
