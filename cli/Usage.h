#pragma once
// Help for a command line that went wrong: the name the user most likely meant, usage errors in
// the tool's own words, and help text wrapped for the terminal.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace cli {

// Edits that turn a into b: a letter inserted, removed, replaced, or two neighbouring letters
// swapped ("falsh" is one edit from "flash").
int EditDistance(std::string_view a, std::string_view b);

// The candidate the typed word (three letters or more) most likely meant: the closest one within
// one edit (two for words of five letters or more), or else the only one that the word begins.
// Nothing when none is that close or two are equally close. Leading dashes and anything from a ':'
// on are not compared ("--yess" meant "--yes", "bsy:3" meant "busy:PID").
std::optional<std::string> ClosestName(const std::string& typed, const std::vector<std::string>& candidates);

// "; did you mean 'NAME'?" when there is a close name, else nothing.
std::string DidYouMean(const std::string& typed, const std::vector<std::string>& candidates);

// What is wrong with a command line the parser refused, for "kestrune: ...": an unknown command
// or option (with the closest name), an unexpected argument, or the parser's own message.
std::string UsageProblem(CLI::App& app, const std::vector<std::string>& args, const CLI::ParseError& error);

// The text with every line longer than `columns` broken at spaces. A broken line goes on under
// the start of its description (the text after its first run of two or more spaces, as in the
// option lists of a help text) or, when that leaves less than 20 columns, on the lines below its
// name, indented by at most six columns. A word longer than a line stays whole.
std::string WrapText(const std::string& text, int columns);

}  // namespace cli
