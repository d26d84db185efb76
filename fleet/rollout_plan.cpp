#include "fleet/rollout_plan.h"

// toml++ as a header-only library with its error results instead of
// exceptions: the core reports results, never throws. Only this file sees it.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <system_error>

#include "fleet/line_identity.h"
#include "fleet/node_list.h"
#include "fleet/sha256.h"
#include "operations/dialog_inputs.h"
#include "operations/file_access.h"
#include "operations/module_writer.h"
#include "platform/utf8_prefix.h"
#include "protocol/message_catalogue.h"

namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// Collects the first problem met; everything after it is not looked at.
class Checker {
  public:
    Checker(const std::string& name, PlanProblem& problem) : name_(name), problem_(problem) {}

    bool Fail(std::uint32_t line, const std::string& text, ResultCode result = kErrBadPlan) {
        problem_.result = result;
        problem_.message = name_ + ":" + std::to_string(line) + ": " + text;
        return false;
    }
    bool Fail(const toml::node& node, const std::string& text) {
        return Fail(node.source().begin.line, text);
    }

  private:
    const std::string& name_;
    PlanProblem& problem_;
};

// The keys a table may hold; any other is refused, so that a mistyped
// setting is not silently dropped.
bool OnlyKeys(const toml::table& table, std::initializer_list<std::string_view> known,
              const char* where, Checker& check) {
    for (auto&& [key, value] : table) {
        if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
            std::string text = "unknown key " + Quoted(key.str());
            if (where[0] != '\0') text += std::string(" in ") + where;
            return check.Fail(
                key.source().begin.line != 0 ? key.source().begin.line : value.source().begin.line,
                text);
        }
    }
    return true;
}

bool ReadText(const toml::table& table, std::string_view key, const char* where, bool required,
              std::string& out, Checker& check) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        if (!required) return true;
        return check.Fail(table.source().begin.line,
                          std::string(where) + " without " + std::string(key));
    }
    const auto text = node->value<std::string>();
    if (!node->is_string() || !text) return check.Fail(*node, std::string(key) + " is text");
    out = *text;
    return true;
}

bool ReadCount(const toml::table& table, std::string_view key, int lowest, int& out,
               Checker& check) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return true;
    const auto number = node->value_exact<std::int64_t>();
    if (!number || *number < lowest || *number > 65535) {
        return check.Fail(*node, std::string(key) + " is a whole number from " +
                                     std::to_string(lowest) + " to 65535");
    }
    out = static_cast<int>(*number);
    return true;
}

bool IsHexDigest(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

std::string Lowercase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Every element of the array under `key` as a table; an absent key is an
// empty list.
bool TablesOf(const toml::table& root, std::string_view key,
              std::vector<const toml::table*>& tables, Checker& check) {
    const toml::node* node = root.get(key);
    if (node == nullptr) return true;
    const toml::array* array = node->as_array();
    if (array == nullptr)
        return check.Fail(*node,
                          Quoted(key) + " is a list of tables: [[" + std::string(key) + "]]");
    for (const toml::node& element : *array) {
        const toml::table* table = element.as_table();
        if (table == nullptr)
            return check.Fail(
                element, "each " + std::string(key) + " is a table: [[" + std::string(key) + "]]");
        tables.push_back(table);
    }
    return true;
}

// The length of the UTF-8 sequence at `i` and its code point; 0 when the
// bytes there are not one.
std::size_t Utf8Sequence(std::string_view text, std::size_t i, std::uint32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
    code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// The plan's text as toml++ is given it: ASCII only, with the same meaning.
// Text that is not ASCII goes in one-line double-quoted strings, where it
// becomes \u escapes, or in comments, where it is dropped; anywhere else
// (TOML has it nowhere else but in multi-line and single-quoted text, which
// a plan does not need) it is refused with its line. This is also a guard:
// toml++ 3.3 reaches an unreachable branch (undefined behaviour) when it asks
// whether some such characters, Cyrillic letters among them, are
// whitespace, which it does outside quoted text, in multi-line text and
// while it reads a malformed value. A key typed in the wrong keyboard
// layout must be refused, not parsed.
bool AsciiPlanText(std::string_view text, std::string& ascii, std::uint32_t& badLine) {
    ascii.clear();
    ascii.reserve(text.size());
    std::uint32_t line = 1;
    char previous = '\n';  // the last byte outside quoted text that is not a blank
    bool inString = false;
    bool inComment = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            inComment = false;
            if (inString) inString = false;  // unterminated: the parser says so
            previous = c;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            std::uint32_t code = 0;
            const std::size_t length = Utf8Sequence(text, i, code);
            if (inComment) {
                ascii += '?';
                i += length == 0 ? 1 : length;
                continue;
            }
            if (!inString || length == 0) {
                badLine = line;
                return false;
            }
            char escape[16];
            std::snprintf(escape, sizeof escape, code > 0xFFFF ? "\\U%08X" : "\\u%04X", code);
            ascii += escape;
            i += length;
            continue;
        }
        ascii += c;
        ++i;
        if (inComment || c == '\n') continue;
        if (inString) {
            if (c == '\\' && i < text.size() && text[i] != '\n' &&
                static_cast<unsigned char>(text[i]) < 0x80) {
                ascii += text[i];
                ++i;
            } else if (c == '"') {
                inString = false;
                previous = c;
            }
            continue;
        }
        const bool tokenStart = previous == '\n' || previous == '=' || previous == '[' ||
                                previous == ',' || previous == '{' || previous == '.';
        if (c == '#') {
            inComment = true;
        } else if (c == '"' && tokenStart && text.substr(i, 2) != "\"\"") {
            inString = true;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            previous = c;
        }
    }
    return true;
}

bool ReadModule(const toml::table& table, PlanModule& module, Checker& check) {
    module.planLine = static_cast<int>(table.source().begin.line);
    if (!OnlyKeys(table, {"type", "file", "version", "sha256"}, "[[module]]", check)) return false;
    if (!ReadText(table, "type", "[[module]]", true, module.type, check) ||
        !ReadText(table, "file", "[[module]]", true, module.file, check) ||
        !ReadText(table, "version", "[[module]]", true, module.version, check) ||
        !ReadText(table, "sha256", "[[module]]", false, module.sha256, check))
        return false;
    const toml::node& type = *table.get("type");
    if (module.type.empty() || Utf8Width(module.type) > 4)
        return check.Fail(type, "type " + Quoted(module.type) + ": one to four characters");
    const toml::node& file = *table.get("file");
    if (module.file.empty()) return check.Fail(file, "file is empty");
    if (Utf8Width(module.file) > static_cast<std::size_t>(kPathLimit))
        return check.Fail(file, "file: at most " + std::to_string(kPathLimit) + " characters");
    if (!IsVersionText(module.version)) {
        return check.Fail(*table.get("version"),
                          "version " + Quoted(module.version) +
                              ": write it as the device's information shows it, for "
                              "example \"01.06\"");
    }
    if (table.get("sha256") != nullptr) {
        if (!IsHexDigest(module.sha256))
            return check.Fail(*table.get("sha256"), "sha256 is 64 hexadecimal digits");
        module.sha256 = Lowercase(module.sha256);
    }
    return true;
}

bool ReadLine(const toml::table& table, PlanLine& line, Checker& check) {
    line.planLine = static_cast<int>(table.source().begin.line);
    if (!OnlyKeys(table, {"port", "nodes", "rs485"}, "[[line]]", check)) return false;
    std::string nodes;
    if (!ReadText(table, "port", "[[line]]", true, line.port, check) ||
        !ReadText(table, "nodes", "[[line]]", true, nodes, check))
        return false;
    // As the channel will read it, so that a mistyped name on the last line
    // is not found once the first lines have been written.
    std::string problem;
    if (!CheckPortName(line.port, problem))
        return check.Fail(*table.get("port"), "port " + Quoted(line.port) + ": " + problem);
    if (!ParseNodeList(nodes, line.nodes, problem))
        return check.Fail(*table.get("nodes"), "nodes " + Quoted(nodes) + ": " + problem);
    if (const toml::node* rs485 = table.get("rs485")) {
        if (!rs485->is_boolean()) return check.Fail(*rs485, "rs485 is true or false");
        line.rs485.enabled = *rs485->value<bool>();
        const char* refusal = Rs485Refusal(line.port);
        if (line.rs485.enabled && refusal != nullptr)
            return check.Fail(*rs485, std::string("rs485: ") + refusal);
    }
    return true;
}

}  // namespace

const PlanModule* RolloutPlan::ModuleFor(std::string_view type) const {
    for (const PlanModule& module : modules)
        if (module.type == type) return &module;
    return nullptr;
}

bool IsVersionText(std::string_view text) {
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return text.size() == 5 && hex(text[0]) && hex(text[1]) && text[2] == '.' && hex(text[3]) &&
           hex(text[4]);
}

bool ReportsVersion(std::string_view appVersionField, std::string_view version) {
    return appVersionField.substr(0, version.size()) == version &&
           (appVersionField.size() == version.size() || appVersionField[version.size()] == ' ');
}

bool ParsePlanText(std::string_view text, const std::string& name, RolloutPlan& plan,
                   PlanProblem& problem) {
    plan = RolloutPlan{};
    Checker check(name, problem);
    std::string ascii;
    std::uint32_t badLine = 0;
    if (!AsciiPlanText(text, ascii, badLine)) {
        return check.Fail(badLine,
                          "a character that is not ASCII outside double quotes (keys, numbers "
                          "and true/false are ASCII; text goes in \"...\"), or not UTF-8");
    }
    const toml::parse_result parsed = toml::parse(ascii);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        return check.Fail(error.source().begin.line, std::string(error.description()));
    }
    const toml::table& root = parsed.table();
    if (!OnlyKeys(root, {"activate", "max-failures", "canary", "module", "line"}, "", check))
        return false;
    if (const toml::node* activate = root.get("activate")) {
        if (!activate->is_boolean()) return check.Fail(*activate, "activate is true or false");
        plan.activate = *activate->value<bool>();
    }
    if (!ReadCount(root, "max-failures", 1, plan.maxFailures, check) ||
        !ReadCount(root, "canary", 0, plan.canary, check))
        return false;

    std::vector<const toml::table*> modules;
    std::vector<const toml::table*> lines;
    if (!TablesOf(root, "module", modules, check) || !TablesOf(root, "line", lines, check))
        return false;
    if (modules.empty()) return check.Fail(1, "the plan has no [[module]]");
    if (lines.empty()) return check.Fail(1, "the plan has no [[line]]");

    for (const toml::table* table : modules) {
        PlanModule module;
        if (!ReadModule(*table, module, check)) return false;
        if (plan.ModuleFor(module.type) != nullptr)
            return check.Fail(*table->get("type"),
                              "type " + Quoted(module.type) + " has a [[module]] already");
        plan.modules.push_back(std::move(module));
    }
    // Each line once, however its port is spelt: two threads driving one
    // bus would talk over each other.
    std::map<std::string, std::string> ports;  // line identity -> the port as first named
    for (const toml::table* table : lines) {
        PlanLine line;
        if (!ReadLine(*table, line, check)) return false;
        const auto [known, added] = ports.emplace(LineIdentity(line.port), line.port);
        if (!added) {
            std::string twice = "port " + Quoted(line.port) + " has a [[line]] already";
            if (known->second != line.port) twice += " (as " + Quoted(known->second) + ")";
            return check.Fail(*table->get("port"), twice);
        }
        plan.lines.push_back(std::move(line));
    }
    return true;
}

bool LoadPlanModules(const std::string& name, const std::string& folder, RolloutPlan& plan,
                     PlanProblem& problem) {
    Checker check(name, problem);
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kModuleBufferSize]);
    if (!buffer) return check.Fail(1, std::string(MessageOf(kErrUnknown)), kErrUnknown);
    for (PlanModule& module : plan.modules) {
        const fs::path file = PathOf(module.file);
        if (file.is_absolute() || folder.empty()) {
            module.path = module.file;
        } else {
            const std::u8string joined = (PathOf(folder) / file).u8string();
            module.path.assign(joined.begin(), joined.end());
        }
        const auto fail = [&](const std::string& text, ResultCode result = kErrNotModule) {
            return check.Fail(static_cast<std::uint32_t>(module.planLine), text, result);
        };
        char reason[256] = {};
        std::size_t bytes = 0;
        const ResultCode read = ReadModuleFile(module.path.c_str(), buffer.get(), kModuleBufferSize,
                                               bytes, reason, sizeof reason);
        if (read == kErrNotModule || (read == kResultOk && ModuleRecordCount(bytes) < 0)) {
            std::error_code error;
            const auto size = fs::file_size(PathOf(module.path), error);
            return fail(module.path + ": " +
                        (error ? std::string("not a module")
                               : std::to_string(size) + " bytes, not a whole number of " +
                                     std::to_string(kBlockRecordSize) +
                                     "-byte block records (at most " +
                                     std::to_string(kModuleRecordLimit) + ")"));
        }
        if (read != kResultOk)
            return fail(reason[0] != '\0' ? std::string(reason)
                                          : module.path + ": " + std::string(MessageOf(read)),
                        read);
        module.recordCount = ModuleRecordCount(bytes);
        module.records.assign(buffer.get(), buffer.get() + bytes);
        if (!module.sha256.empty()) {
            Sha256 digest;
            digest.Update(module.records.data(), module.records.size());
            const std::string actual = digest.HexDigest();
            if (actual != module.sha256)
                return fail(module.path + ": sha256 is " + actual + ", the plan expects " +
                            module.sha256);
        }
    }
    return true;
}

bool ReadRolloutPlan(const std::string& path, RolloutPlan& plan, PlanProblem& problem) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::error_code error;
    if (!in || fs::is_directory(PathOf(path), error)) {
        problem.result = kErrBadPlan;
        problem.message = path + ": cannot read the plan";
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) {
        problem.result = kErrBadPlan;
        problem.message = path + ": cannot read the plan";
        return false;
    }
    if (!ParsePlanText(text, path, plan, problem)) return false;
    const std::u8string folder = PathOf(path).parent_path().u8string();
    return LoadPlanModules(path, std::string(folder.begin(), folder.end()), plan, problem);
}
