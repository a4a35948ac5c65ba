#include "cli/Output.h"

#include "cli/ProgressLine.h"
#include "cli/Usage.h"

#include <algorithm>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

std::string PrintableLines(std::string_view text) {
    std::string out;
    for (std::size_t begin = 0; begin <= text.size();) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(begin, end - begin);
        if (line.ends_with('\r') && end < text.size()) line.remove_suffix(1);  // CR LF to LF
        out += PrintableText(line);
        if (end < text.size()) out += '\n';
        begin = end + 1;
    }
    return out;
}

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

std::string FitForStream(std::FILE* stream, const std::string& text) {
    return IsTerminal(stream) ? WrapText(text, TerminalColumns()) : text;
}

std::vector<std::string> AlignedRows(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::size_t width = 0;
    for (const auto& [label, value] : rows) width = std::max(width, kestrune::ColumnsOf(label));
    std::vector<std::string> lines;
    for (const auto& [label, value] : rows)
        lines.push_back(label + std::string(width + 1 - kestrune::ColumnsOf(label), ' ') + value);
    return lines;
}

void Warn(const std::string& text) {
    const std::string line = "kestrune: " + kestrune::Fill(kestrune::Tr("warning: %s"), {PrintableLines(text)});
    std::fprintf(stderr, "%s\n", FitForStream(stderr, line).c_str());
}

int Output::SayColumns() const {
    return !lines && IsTerminal(json_ ? stderr : stdout) ? TerminalColumns() : 0;
}

}  // namespace cli
