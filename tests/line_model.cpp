#include "line_model.h"

namespace line_shuffler::testing {

std::vector<std::string> model_lines(const std::string& input) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t newline; (newline = input.find('\n', start)) != std::string::npos; start = newline + 1) {
        lines.push_back(input.substr(start, newline + 1 - start));
    }
    lines.push_back(input.substr(start));
    return lines;
}

std::string model_output(const std::string& input, const std::vector<std::uint32_t>& order) {
    const std::vector<std::string> lines = model_lines(input);
    const bool crlf = lines.size() > 1 && lines[0].size() >= 2 && lines[0][lines[0].size() - 2] == '\r';
    std::string output;
    for (const std::uint32_t line : order) {
        output += lines.at(line - 1);
        if (line == lines.size()) {
            output += crlf ? "\r\n" : "\n";
        }
    }
    return output;
}

}  // namespace line_shuffler::testing
