#include "cli/Usage.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <utility>

#include "common/PrintableText.h"

namespace cli {
namespace {

std::string_view Stem(std::string_view word) {
    word = word.substr(0, word.find(':'));
    while (word.starts_with('-')) word.remove_prefix(1);
    return word;
}

}  // namespace

int EditDistance(std::string_view a, std::string_view b) {
    // Rows i-2, i-1 and i of the table of distances between prefixes of a and b.
    std::vector<int> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const int replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        before.swap(previous);
        previous.swap(current);
    }
    return previous[b.size()];
}

std::optional<std::string> ClosestName(const std::string& typed, const std::vector<std::string>& candidates) {
    const std::string_view word = Stem(typed);
    if (word.size() < 3) return std::nullopt;  // one letter off a word of two is a guess
    const int allowed = word.size() >= 5 ? 2 : 1;
    int best = allowed + 1;
    std::optional<std::string> closest;
    bool tie = false;
    for (const std::string& candidate : candidates) {
        const int distance = EditDistance(word, Stem(candidate));
        if (distance < best) {
            best = distance;
            closest = candidate;
            tie = false;
        } else if (distance == best && closest != candidate) {
            tie = true;
        }
    }
    if (closest && !tie) return closest;
    if (closest) return std::nullopt;
    std::optional<std::string> begun;
    for (const std::string& candidate : candidates) {
        if (!Stem(candidate).starts_with(word)) continue;
        if (begun) return std::nullopt;
        begun = candidate;
    }
    return begun;
}

std::string DidYouMean(const std::string& typed, const std::vector<std::string>& candidates) {
    const auto closest = ClosestName(typed, candidates);
    return closest ? "; did you mean '" + *closest + "'?" : "";
}

std::string UsageProblem(CLI::App& app, const std::vector<std::string>& args, const CLI::ParseError& error) {
    std::vector<std::string> commands;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        commands.push_back(command->get_name());
    // The command is the first argument that is not an option: the tool's own options take no value.
    bool commandGiven = false;
    for (std::size_t i = 1; i < args.size() && args[i] != "--" && !commandGiven; ++i) {
        if (args[i].starts_with('-') && args[i] != "-") continue;
        if (std::find(commands.begin(), commands.end(), args[i]) == commands.end())
            return "unknown command '" + args[i] + "'" + DidYouMean(args[i], commands);
        commandGiven = true;
    }
    // What the parser could not place, in the command first.
    std::vector<CLI::App*> scopes = app.get_subcommands();
    scopes.push_back(&app);
    for (CLI::App* scope : scopes) {
        for (const std::string& extra : scope->remaining()) {
            const std::string where = scope == &app ? "" : " for " + scope->get_name();
            if (!extra.starts_with('-') || extra == "-") return "unexpected argument '" + extra + "'" + where;
            std::vector<std::string> names;
            for (const CLI::Option* option : scope->get_options()) {
                for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
                for (const std::string& name : option->get_snames()) names.push_back("-" + name);
            }
            const std::string option = extra.substr(0, extra.find('='));
            return "unknown option '" + option + "'" + where + DidYouMean(option, names);
        }
    }
    if (!commandGiven) {
        std::string list;
        for (const std::string& command : commands) list += (list.empty() ? "" : ", ") + command;
        return "no command given; the commands are " + list + ".";
    }
    return error.what();
}

namespace {

bool NoLineStartsWith(const std::string& character) {
    static constexpr std::string_view closing[] = {
        "\u3001", "\u3002", "\uFF0C", "\uFF0E", "\uFF1A", "\uFF1B", "\uFF1F", "\uFF01", "\uFF09", "\uFF3D", "\u300D",
        "\u300F", "\u3011", "\u3015", "\u3009", "\u300B", "\u30FC", "\u30FB", "\u3005", "\u3041", "\u3043", "\u3045",
        "\u3047", "\u3049", "\u3063", "\u3083", "\u3085", "\u3087", "\u308E", "\u30A1", "\u30A3", "\u30A5", "\u30A7",
        "\u30A9", "\u30C3", "\u30E3", "\u30E5", "\u30E7", "\u30EE", "\u30F5", "\u30F6"};
    return std::find(std::begin(closing), std::end(closing), character) != std::end(closing);
}

// The pieces a line may be broken between, each with whether a space stood before it: its words,
// and within a word each wide character (Japanese and Chinese break between any two of them).
std::vector<std::pair<std::string, bool>> Breakable(const std::string& text) {
    std::vector<std::pair<std::string, bool>> pieces;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t stop = std::min(text.find(' ', at), text.size());
        bool spaced = true;
        std::string narrow;
        for (std::size_t i = at; i < stop;) {
            const std::size_t n = kestrune::CharacterLength(text, i);
            const std::string character = text.substr(i, n);
            i += n;
            if (kestrune::ColumnsOf(character) < 2) {
                narrow += character;
                continue;
            }
            if (!narrow.empty()) pieces.emplace_back(narrow, std::exchange(spaced, false));
            narrow.clear();
            // What never starts a line (closing punctuation, the long-vowel mark, small kana) stays
            // with what it follows.
            if (!pieces.empty() && !spaced && NoLineStartsWith(character))
                pieces.back().first += character;
            else
                pieces.emplace_back(character, std::exchange(spaced, false));
        }
        if (!narrow.empty()) pieces.emplace_back(narrow, spaced);
        at = stop + 1;
    }
    return pieces;
}

}  // namespace

std::string WrapText(const std::string& text, int columns) {
    const std::size_t width = static_cast<std::size_t>(std::max(columns, 20));
    std::string out;
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        const bool lineEnd = end < text.size();
        if (kestrune::ColumnsOf(line) <= width) {
            out += line + (lineEnd ? "\n" : "");
            continue;
        }
        const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
        // The description column: after the first run of two or more spaces past the indentation.
        std::size_t column = indent;
        const std::size_t gap = line.find("  ", indent);
        if (gap != std::string::npos) column = std::min(line.find_first_not_of(' ', gap), line.size());
        std::string head = line.substr(0, column);
        std::size_t hang = column;
        if (width < column + 20 && column > indent) {
            // Too little room beside the name: the description goes on the lines below it.
            hang = std::min(indent + 4, width / 2);
            out += head.substr(0, head.find_last_not_of(' ') + 1) + "\n";
            head = std::string(hang, ' ');
        } else if (width < column + 20) {
            hang = std::min(indent, std::size_t{6});  // as under a name of its own
            head = std::string(hang, ' ');
        }
        std::string current = head;
        bool empty = true;  // nothing beyond the head on the current line yet
        for (const auto& [word, spaced] : Breakable(line.substr(column))) {
            const std::size_t gap = spaced ? 1 : 0;
            if (!empty && kestrune::ColumnsOf(current) + gap + kestrune::ColumnsOf(word) > width) {
                out += current + "\n";
                current = std::string(hang, ' ');
                empty = true;
            }
            current += (empty || !spaced ? "" : " ") + word;
            empty = false;
        }
        out += current + (lineEnd ? "\n" : "");
    }
    return out;
}

}  // namespace cli
