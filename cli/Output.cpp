#include "cli/Output.h"

#include "cli/ProgressLine.h"
#include "cli/Usage.h"

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

std::string FitForStream(std::FILE* stream, const std::string& text) {
#if defined(_WIN32)
    const bool terminal = _isatty(_fileno(stream)) != 0;
#else
    const bool terminal = ::isatty(::fileno(stream)) != 0;
#endif
    return terminal ? WrapText(text, TerminalColumns()) : text;
}

}  // namespace cli
