#include "scenario/Report.h"

#include <cstdio>

namespace gatewaysim {

namespace {

std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                // XML 1.0 has no place for other control characters.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    out += '?';
                } else {
                    out += c;
                }
        }
    }
    return out;
}

}  // namespace

std::string JunitXml(const std::string& suite, const std::vector<CaseResult>& cases) {
    int failures = 0;
    double seconds = 0;
    for (const CaseResult& result : cases) {
        failures += result.failed > 0 || result.stopped ? 1 : 0;
        seconds += result.seconds;
    }
    char number[32];
    std::snprintf(number, sizeof(number), "%.3f", seconds);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n  <testsuite name=\"" +
                      Escaped(suite) + "\" tests=\"" + std::to_string(cases.size()) + "\" failures=\"" +
                      std::to_string(failures) + "\" time=\"" + number + "\">\n";
    for (const CaseResult& result : cases) {
        std::snprintf(number, sizeof(number), "%.3f", result.seconds);
        xml += "    <testcase name=\"" + Escaped(result.name) + "\" classname=\"" + Escaped(suite) + "\" time=\"" +
               number + "\"";
        if (result.failed == 0 && !result.stopped) {
            xml += "/>\n";
            continue;
        }
        xml += ">\n";
        std::string body;
        for (const std::string& failure : result.failures) body += failure + "\n";
        if (result.stopped) body += "stopped before its end\n";
        const std::string message = result.failures.empty() ? "stopped before its end" : result.failures.front();
        xml += "      <failure message=\"" + Escaped(message) + "\">" + Escaped(body) + "</failure>\n";
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

}  // namespace gatewaysim
