#include "cli/Output.h"

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

}  // namespace cli
