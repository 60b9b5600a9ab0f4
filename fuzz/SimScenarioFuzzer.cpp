// Scenario files: any bytes parse to statements or to errors with their
// lines, and never read past a line's end.
#include <cstdint>
#include <sstream>
#include <string>

#include "scenario/Parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<gatewaysim::ParseError> errors;
    const gatewaysim::Script script = gatewaysim::ParseScenario(in, &errors);
    for (const gatewaysim::ParseError& error : errors) {
        if (error.line < 1 || error.reason.empty()) __builtin_trap();
    }
    const auto check = [&](const std::vector<gatewaysim::Statement>& statements) {
        for (const gatewaysim::Statement& statement : statements) {
            if (statement.text.empty()) __builtin_trap();
            if (statement.frame.data.value.size() != statement.frame.data.mask.size()) __builtin_trap();
            if (statement.frame.data.value.size() > 8 || statement.data.value.size() > 1785) __builtin_trap();
            if (statement.kind == gatewaysim::Statement::Kind::kCase && statement.block >= script.cases.size())
                __builtin_trap();
        }
    };
    check(script.statements);
    check(script.setup.statements);
    check(script.teardown.statements);
    for (const gatewaysim::Block& block : script.cases) check(block.statements);
    return 0;
}
