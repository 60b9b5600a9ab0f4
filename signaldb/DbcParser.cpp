// The DBC reader: a cursor over the text that tracks line and column, one
// function per section read, and a skip for every other section.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <algorithm>

#include "SignalDatabase.h"

namespace signaldb {

class DbcParser {
  public:
    DbcParser(std::string_view text, std::string_view fileName, Database* db, ParseError* error)
        : text_(text), db_(db), error_(error) {
        error_->file = std::string(fileName);
        db_->fileName_ = std::string(fileName);
    }

    bool Run();

  private:
    struct Failure {};

    // --- The cursor -------------------------------------------------------
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    void Advance() {
        if (text_[pos_] == '\n') {
            ++line_;
            lineStart_ = pos_ + 1;
        }
        ++pos_;
    }
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
    static bool IsIdentChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(Peek())) Advance();
    }
    void SkipSpace() {
        while (!AtEnd() && (IsBlank(Peek()) || Peek() == '\n')) Advance();
    }
    struct Mark {
        std::size_t pos, line, lineStart;
    };
    Mark Here() const { return Mark{pos_, line_, lineStart_}; }
    [[noreturn]] void FailAt(const Mark& mark, const std::string& expected) {
        pos_ = mark.pos, line_ = mark.line, lineStart_ = mark.lineStart;
        Fail(expected);
    }
    [[noreturn]] void Fail(const std::string& expected) {
        error_->line = static_cast<int>(line_);
        error_->column = static_cast<int>(pos_ - lineStart_ + 1);
        std::string found;
        if (AtEnd()) {
            found = "the end of the file";
        } else if (Peek() == '\n') {
            found = "the end of the line";
        } else {
            found = "'" + std::string(1, Peek()) + "'";
        }
        error_->message = "expected " + expected + ", found " + found;
        throw Failure{};
    }

    std::string_view Identifier(const char* what) {
        SkipSpace();
        const std::size_t start = pos_;
        while (!AtEnd() && IsIdentChar(Peek())) Advance();
        if (pos_ == start) Fail(what);
        return text_.substr(start, pos_ - start);
    }
    void Expect(char c) {
        SkipSpace();
        if (Peek() != c) Fail(std::string("'") + c + "'");
        Advance();
    }
    bool Accept(char c) {
        SkipSpace();
        if (Peek() != c) return false;
        Advance();
        return true;
    }
    std::string_view NumberText() {
        SkipSpace();
        const std::size_t start = pos_;
        if (Peek() == '-' || Peek() == '+') Advance();
        while (!AtEnd()) {
            const char c = Peek();
            if ((c >= '0' && c <= '9') || c == '.') {
                Advance();
            } else if ((c == 'e' || c == 'E') && pos_ > start) {
                Advance();
                if (Peek() == '-' || Peek() == '+') Advance();
            } else {
                break;
            }
        }
        return text_.substr(start, pos_ - start);
    }
    double Real(const char* what) {
        const std::size_t start = pos_;
        const std::size_t line = line_, lineStart = lineStart_;
        std::string_view digits = NumberText();
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        double value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
            pos_ = start, line_ = line, lineStart_ = lineStart;
            SkipSpace();
            Fail(what);
        }
        return value;
    }
    std::int64_t Integer(const char* what) {
        SkipSpace();
        const std::size_t start = pos_;
        const std::size_t line = line_, lineStart = lineStart_;
        std::string_view digits = NumberText();
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec == std::errc() && end == digits.data() + digits.size()) return value;
        // Unsigned values above the signed range (64-bit raw values).
        std::uint64_t unsignedValue = 0;
        const auto [uend, uec] = std::from_chars(digits.data(), digits.data() + digits.size(), unsignedValue);
        if (!digits.empty() && uec == std::errc() && uend == digits.data() + digits.size()) {
            return static_cast<std::int64_t>(unsignedValue);
        }
        pos_ = start, line_ = line, lineStart_ = lineStart;
        Fail(what);
    }
    std::uint32_t Unsigned32(const char* what) {
        SkipSpace();
        const std::size_t start = pos_;
        const std::size_t line = line_, lineStart = lineStart_;
        const std::int64_t value = Integer(what);
        if (value < 0 || value > 0xFFFFFFFFLL) {
            pos_ = start, line_ = line, lineStart_ = lineStart;
            Fail(what);
        }
        return static_cast<std::uint32_t>(value);
    }
    std::string String(const char* what) {
        SkipSpace();
        if (Peek() != '"') Fail(what);
        Advance();
        std::string value;
        while (true) {
            if (AtEnd()) Fail("'\"' closing the string");
            const char c = Peek();
            if (c == '"') {
                Advance();
                return value;
            }
            if (c == '\\' && pos_ + 1 < text_.size()) {
                Advance();
            }
            value.push_back(Peek());
            Advance();
        }
    }
    // Whether the line that starts at `at` begins with a section keyword.
    bool KeywordLine(std::size_t at) const {
        static constexpr std::string_view kKeywords[] = {
            "VERSION", "NS_", "BS_", "BU_", "BO_", "SG_", "CM_", "BA_DEF_", "BA_DEF_DEF_", "BA_", "VAL_",
            "VAL_TABLE_", "SIG_VALTYPE_", "EV_", "BO_TX_BU_", "SIG_GROUP_", "SG_MUL_VAL_", "ENVVAR_DATA_",
            "SGTYPE_", "BA_DEF_REL_", "BA_REL_", "BA_DEF_DEF_REL_", "BU_SG_REL_", "BU_EV_REL_", "BU_BO_REL_"};
        while (at < text_.size() && IsBlank(text_[at])) ++at;
        std::size_t end = at;
        while (end < text_.size() && IsIdentChar(text_[end])) ++end;
        const std::string_view word = text_.substr(at, end - at);
        for (const auto keyword : kKeywords) {
            if (word == keyword) return true;
        }
        return false;
    }
    // Skips to the end of the statement: past the next ';' outside strings,
    // or to the end of its line when the next line starts another section
    // (sections without ';' are lines of their own).
    void SkipStatement() {
        bool inString = false;
        while (!AtEnd()) {
            const char c = Peek();
            if (inString && c == '\\' && pos_ + 1 < text_.size()) {
                Advance();
            } else if (c == '"') {
                inString = !inString;
            } else if (c == ';' && !inString) {
                Advance();
                return;
            } else if (c == '\n' && !inString && KeywordLine(pos_ + 1)) {
                return;
            }
            Advance();
        }
    }
    void SkipLine() {
        while (!AtEnd() && Peek() != '\n') Advance();
    }
    void EndOfStatement() {
        SkipSpace();
        if (!Accept(';')) Fail("';'");
    }

    // --- Sections ---------------------------------------------------------
    void Nodes();
    void MessageLine();
    void SignalLine();
    void Comment();
    void ValueTable();
    void Values();
    void ValueType();
    void AttributeDefinition();
    void AttributeDefault();
    void Attribute();
    void SkipNamespaceList();
    Message* MessageById(std::uint32_t fileId, bool required);
    Signal* SignalOf(Message* message, std::string_view name);
    void Finish();

    std::string_view text_;
    Database* db_;
    ParseError* error_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t lineStart_ = 0;

    std::map<std::uint32_t, std::size_t> byFileId_;  // BO_ identifier as written -> message index
    std::map<std::string, std::vector<NamedValue>, std::less<>> tables_;
    Message* current_ = nullptr;  // the BO_ whose SG_ lines follow
    // Enumerations of attribute definitions, and attribute defaults, by name.
    std::map<std::string, std::vector<std::string>, std::less<>> enums_;
    std::map<std::string, std::string, std::less<>> defaults_;
    std::vector<std::pair<std::size_t, std::string>> frameFormats_;  // message index, VFrameFormat value
    std::vector<bool> hasCycleTime_;
};

bool DbcParser::Run() {
    try {
        while (true) {
            SkipSpace();
            if (AtEnd()) break;
            if (Peek() == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                SkipLine();
                continue;
            }
            if (!IsIdentChar(Peek())) {
                // Not a keyword: a stray line of a section we do not read.
                SkipLine();
                continue;
            }
            const std::string_view keyword = Identifier("a keyword");
            if (keyword == "BU_") {
                Nodes();
            } else if (keyword == "BO_") {
                MessageLine();
            } else if (keyword == "SG_") {
                SignalLine();
            } else if (keyword == "CM_") {
                Comment();
            } else if (keyword == "VAL_TABLE_") {
                ValueTable();
            } else if (keyword == "VAL_") {
                Values();
            } else if (keyword == "SIG_VALTYPE_") {
                ValueType();
            } else if (keyword == "BA_DEF_") {
                AttributeDefinition();
            } else if (keyword == "BA_DEF_DEF_") {
                AttributeDefault();
            } else if (keyword == "BA_") {
                Attribute();
            } else if (keyword == "NS_") {
                SkipNamespaceList();
            } else if (keyword == "VERSION" || keyword == "BS_") {
                SkipLine();
            } else {
                current_ = nullptr;
                SkipStatement();
            }
        }
        Finish();
        return true;
    } catch (const Failure&) {
        *db_ = Database();
        return false;
    }
}

void DbcParser::SkipNamespaceList() {
    // "NS_ :" and then its keywords, one an indented line.
    SkipLine();
    while (!AtEnd()) {
        Advance();  // the line end
        if (AtEnd() || !(IsBlank(Peek()) || Peek() == '\n')) break;
        SkipLine();
    }
}

void DbcParser::Nodes() {
    current_ = nullptr;
    SkipBlanks();
    if (Peek() != ':') Fail("':'");
    Advance();
    while (true) {
        SkipBlanks();
        if (AtEnd() || Peek() == '\n') break;
        if (!IsIdentChar(Peek())) Fail("a node name");
        const std::size_t start = pos_;
        while (!AtEnd() && IsIdentChar(Peek())) Advance();
        db_->nodes_.push_back(Node{std::string(text_.substr(start, pos_ - start)), {}});
    }
}

void DbcParser::MessageLine() {
    const std::uint32_t fileId = Unsigned32("a message identifier");
    Message m;
    m.extended = (fileId & 0x80000000u) != 0;
    m.id = fileId & 0x7FFFFFFFu;
    if (m.extended ? m.id > 0x1FFFFFFF : m.id > 0x7FF) {
        // VECTOR__INDEPENDENT_SIG_MSG and similar pseudo-messages: kept out
        // of lookup, their signals skipped.
        Identifier("a message name");
        Expect(':');
        Unsigned32("the message length");
        SkipLine();
        current_ = nullptr;
        return;
    }
    m.name = std::string(Identifier("a message name"));
    Expect(':');
    SkipBlanks();
    const Mark lengthMark = Here();
    m.length = Unsigned32("the message length");
    // Encoding builds a payload of the message's length.
    if (m.length > Message::kMaxLength) {
        FailAt(lengthMark, "a message length of 0 to " + std::to_string(Message::kMaxLength) + " bytes");
    }
    SkipBlanks();
    if (!AtEnd() && Peek() != '\n') {
        const std::string_view transmitter = Identifier("the transmitting node");
        if (transmitter != "Vector__XXX") m.transmitter = std::string(transmitter);
    }
    if (byFileId_.count(fileId)) Fail("a message identifier not used before");
    byFileId_[fileId] = db_->messages_.size();
    db_->messages_.push_back(std::move(m));
    current_ = &db_->messages_.back();
}

void DbcParser::SignalLine() {
    if (current_ == nullptr) {
        // A signal of a message we do not keep.
        SkipLine();
        return;
    }
    Signal s;
    s.name = std::string(Identifier("a signal name"));
    SkipBlanks();
    if (Peek() == 'M' || Peek() == 'm') {
        const std::string_view indicator = Identifier("a multiplexer indicator");
        if (indicator == "M") {
            s.mux = Signal::Mux::kMultiplexor;
        } else if (indicator.size() >= 2 && indicator[0] == 'm') {
            std::string_view digits = indicator.substr(1);
            if (digits.back() == 'M') digits.remove_suffix(1);  // nested multiplexing: read as multiplexed
            std::uint64_t value = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
                Fail("a multiplexer indicator (M or mN)");
            }
            s.mux = Signal::Mux::kMultiplexed;
            s.muxValue = value;
        } else {
            Fail("a multiplexer indicator (M or mN) or ':'");
        }
    }
    Expect(':');
    s.startBit = Unsigned32("the start bit");
    Expect('|');
    SkipSpace();
    const Mark lengthMark = Here();
    s.length = Unsigned32("the signal length");
    if (s.length < 1 || s.length > 64) FailAt(lengthMark, "a signal length of 1 to 64 bits");
    Expect('@');
    SkipSpace();
    if (Peek() == '1') {
        s.byteOrder = ByteOrder::kIntel;
    } else if (Peek() == '0') {
        s.byteOrder = ByteOrder::kMotorola;
    } else {
        Fail("the byte order 0 or 1");
    }
    Advance();
    if (Peek() == '+') {
        s.isSigned = false;
    } else if (Peek() == '-') {
        s.isSigned = true;
    } else {
        Fail("'+' or '-'");
    }
    Advance();
    Expect('(');
    s.factor = Real("the factor");
    Expect(',');
    s.offset = Real("the offset");
    Expect(')');
    Expect('[');
    s.minimum = Real("the minimum");
    Expect('|');
    s.maximum = Real("the maximum");
    Expect(']');
    s.unit = String("the unit in quotes");
    while (true) {
        SkipBlanks();
        if (AtEnd() || Peek() == '\n') break;
        if (Peek() == ',') {
            Advance();
            continue;
        }
        if (!IsIdentChar(Peek())) Fail("a receiving node");
        const std::size_t start = pos_;
        while (!AtEnd() && IsIdentChar(Peek())) Advance();
        const std::string_view receiver = text_.substr(start, pos_ - start);
        if (receiver != "Vector__XXX") s.receivers.emplace_back(receiver);
    }
    // A signal must lie within the message's bytes when counted from a
    // Motorola start bit; Prepare computes the bytes, checked at the end.
    if (s.byteOrder == ByteOrder::kIntel && std::uint64_t{s.startBit} + s.length > 64u * 8 * 1024) {
        Fail("a start bit within the message");
    }
    s.Prepare();
    if (s.mux == Signal::Mux::kMultiplexor) {
        if (current_->multiplexor >= 0) Fail("one multiplexor signal per message");
        current_->multiplexor = static_cast<int>(current_->signals.size());
    }
    current_->signals.push_back(std::move(s));
}

Message* DbcParser::MessageById(std::uint32_t fileId, bool required) {
    const auto it = byFileId_.find(fileId);
    if (it == byFileId_.end()) {
        if (required) Fail("the identifier of a message defined by BO_");
        return nullptr;
    }
    return &db_->messages_[it->second];
}

Signal* DbcParser::SignalOf(Message* message, std::string_view name) {
    if (message == nullptr) return nullptr;
    for (auto& s : message->signals) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

void DbcParser::Comment() {
    current_ = nullptr;
    SkipSpace();
    if (Peek() == '"') {
        String("a comment");  // the file's own comment
        EndOfStatement();
        return;
    }
    const std::string_view kind = Identifier("BU_, BO_, SG_, EV_ or a comment in quotes");
    if (kind == "BU_") {
        const std::string name(Identifier("a node name"));
        std::string text = String("a comment in quotes");
        for (auto& n : db_->nodes_) {
            if (n.name == name) n.comment = std::move(text);
        }
    } else if (kind == "BO_") {
        const std::uint32_t id = Unsigned32("a message identifier");
        std::string text = String("a comment in quotes");
        if (Message* m = MessageById(id, false)) m->comment = std::move(text);
    } else if (kind == "SG_") {
        const std::uint32_t id = Unsigned32("a message identifier");
        const std::string_view name = Identifier("a signal name");
        std::string text = String("a comment in quotes");
        if (Signal* s = SignalOf(MessageById(id, false), name)) s->comment = std::move(text);
    } else {
        SkipStatement();
        return;
    }
    EndOfStatement();
}

void DbcParser::ValueTable() {
    current_ = nullptr;
    const std::string name(Identifier("a value table name"));
    std::vector<NamedValue> values;
    while (!Accept(';')) {
        NamedValue v;
        v.raw = Integer("a value or ';'");
        v.name = String("a value's name in quotes");
        values.push_back(std::move(v));
    }
    tables_[name] = std::move(values);
}

void DbcParser::Values() {
    current_ = nullptr;
    SkipSpace();
    if (!(Peek() >= '0' && Peek() <= '9')) {
        SkipStatement();  // the values of an environment variable
        return;
    }
    const std::uint32_t id = Unsigned32("a message identifier");
    const std::string_view name = Identifier("a signal name");
    std::vector<NamedValue> values;
    SkipSpace();
    if (IsIdentChar(Peek()) && !(Peek() >= '0' && Peek() <= '9')) {
        // A reference to a VAL_TABLE_.
        const std::string_view table = Identifier("a value table name");
        const auto it = tables_.find(table);
        if (it != tables_.end()) values = it->second;
        EndOfStatement();
    } else {
        while (!Accept(';')) {
            NamedValue v;
            v.raw = Integer("a value or ';'");
            v.name = String("a value's name in quotes");
            values.push_back(std::move(v));
        }
    }
    if (Signal* s = SignalOf(MessageById(id, false), name)) {
        std::stable_sort(values.begin(), values.end(),
                         [](const NamedValue& a, const NamedValue& b) { return a.raw < b.raw; });
        s->valueNames = std::move(values);
    }
}

void DbcParser::ValueType() {
    current_ = nullptr;
    const std::uint32_t id = Unsigned32("a message identifier");
    const std::string_view name = Identifier("a signal name");
    Expect(':');
    const std::int64_t type = Integer("the value type 0, 1 or 2");
    if (type < 0 || type > 2) Fail("the value type 0, 1 or 2");
    EndOfStatement();
    if (Signal* s = SignalOf(MessageById(id, false), name)) {
        s->valueType = type == 1 ? ValueType::kFloat : type == 2 ? ValueType::kDouble : ValueType::kInteger;
        s->Prepare();
    }
}

void DbcParser::AttributeDefinition() {
    current_ = nullptr;
    SkipSpace();
    if (Peek() != '"') Identifier("an object type or an attribute name");  // BU_, BO_, SG_, EV_
    const std::string name = String("an attribute name in quotes");
    const std::string_view type = Identifier("an attribute type");
    if (type == "ENUM") {
        std::vector<std::string> values;
        SkipSpace();
        while (Peek() == '"') {
            values.push_back(String("an enumeration value in quotes"));
            if (!Accept(',')) break;
            SkipSpace();
        }
        EndOfStatement();
        enums_[name] = std::move(values);
        return;
    }
    SkipStatement();
}

void DbcParser::AttributeDefault() {
    current_ = nullptr;
    const std::string name = String("an attribute name in quotes");
    SkipSpace();
    std::string value;
    if (Peek() == '"') {
        value = String("a value");
    } else {
        value = std::string(NumberText());
        if (value.empty()) Fail("a value");
    }
    EndOfStatement();
    defaults_[name] = value;
}

void DbcParser::Attribute() {
    current_ = nullptr;
    const std::string name = String("an attribute name in quotes");
    const bool wanted = name == "GenMsgCycleTime" || name == "GenSigStartValue" || name == "VFrameFormat";
    if (!wanted) {
        SkipStatement();
        return;
    }
    SkipSpace();
    if (!IsIdentChar(Peek()) || (Peek() >= '0' && Peek() <= '9')) {
        SkipStatement();  // the network's own value
        return;
    }
    const std::string_view kind = Identifier("BO_ or SG_");
    if (kind == "BO_" && name != "GenSigStartValue") {
        const std::uint32_t id = Unsigned32("a message identifier");
        SkipSpace();
        std::string value;
        if (Peek() == '"') {
            value = String("a value");
        } else {
            value = std::string(NumberText());
            if (value.empty()) Fail("a value");
        }
        EndOfStatement();
        Message* m = MessageById(id, false);
        if (m == nullptr) return;
        const std::size_t index = static_cast<std::size_t>(m - db_->messages_.data());
        if (name == "GenMsgCycleTime") {
            double ms = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
            (void)end;
            if (ec == std::errc() && ms > 0 && ms < 4294967296.0) m->cycleTimeMs = static_cast<std::uint32_t>(ms);
            if (hasCycleTime_.size() <= index) hasCycleTime_.resize(index + 1);
            hasCycleTime_[index] = true;
        } else {
            frameFormats_.emplace_back(index, value);
        }
    } else if (kind == "SG_" && name == "GenSigStartValue") {
        const std::uint32_t id = Unsigned32("a message identifier");
        const std::string_view signal = Identifier("a signal name");
        const double value = Real("a value");
        EndOfStatement();
        if (Signal* s = SignalOf(MessageById(id, false), signal)) s->startRaw = value;
    } else {
        SkipStatement();
    }
}

void DbcParser::Finish() {
    // VFrameFormat: an enumeration index, or (as some files write it) the name.
    const auto formatName = [this](const std::string& value) -> std::string {
        const auto it = enums_.find("VFrameFormat");
        std::int64_t index = -1;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), index);
        if (ec == std::errc() && end == value.data() + value.size()) {
            if (it != enums_.end() && index >= 0 && static_cast<std::size_t>(index) < it->second.size()) {
                return it->second[static_cast<std::size_t>(index)];
            }
            return {};
        }
        return value;
    };
    std::vector<bool> explicitFormat(db_->messages_.size(), false);
    for (const auto& [index, value] : frameFormats_) {
        db_->messages_[index].j1939 = formatName(value) == "J1939PG";
        explicitFormat[index] = true;
    }
    const auto format = defaults_.find("VFrameFormat");
    const bool j1939ByDefault = format != defaults_.end() && formatName(format->second) == "J1939PG";
    const auto cycle = defaults_.find("GenMsgCycleTime");
    double defaultCycle = 0;
    if (cycle != defaults_.end()) {
        std::from_chars(cycle->second.data(), cycle->second.data() + cycle->second.size(), defaultCycle);
    }
    const auto start = defaults_.find("GenSigStartValue");
    std::optional<double> defaultStart;
    if (start != defaults_.end()) {
        double v = 0;
        const auto [end, ec] = std::from_chars(start->second.data(), start->second.data() + start->second.size(), v);
        (void)end;
        if (ec == std::errc()) defaultStart = v;
    }
    hasCycleTime_.resize(db_->messages_.size());
    for (std::size_t i = 0; i < db_->messages_.size(); ++i) {
        Message& m = db_->messages_[i];
        if (!explicitFormat[i] && j1939ByDefault) m.j1939 = true;
        if (!m.extended) m.j1939 = false;
        if (!hasCycleTime_[i] && defaultCycle > 0 && defaultCycle < 4294967296.0) {
            m.cycleTimeMs = static_cast<std::uint32_t>(defaultCycle);
        }
        for (auto& s : m.signals) {
            if (!s.startRaw && defaultStart) s.startRaw = defaultStart;
        }
    }
    db_->Index();
}

bool ParseDbc(std::string_view text, std::string_view fileName, Database* db, ParseError* error) {
    *db = Database();
    *error = ParseError();
    DbcParser parser(text, fileName, db, error);
    return parser.Run();
}

bool LoadDbcFile(const std::string& path, Database* db, ParseError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = ParseError();
        error->file = path;
        error->message = std::string("cannot read the file: ") + std::strerror(errno);
        return false;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return ParseDbc(contents.str(), path, db, error);
}

}  // namespace signaldb
