#include "ui/options.h"

#include <atomic>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "common/safe_file.h"
#include "ui/hex_digit.h"

namespace kivo {

namespace {

// An option's stored value as a u32, for plain members and atomic ones alike.
template <typename T>
u32 LoadOption(const T& field) {
    return static_cast<u32>(field);
}
template <typename T>
u32 LoadOption(const std::atomic<T>& field) {
    return static_cast<u32>(field.load(std::memory_order_relaxed));
}

template <typename T>
void StoreOption(T& field, u32 value) {
    field = static_cast<T>(value);
}
template <typename T>
void StoreOption(std::atomic<T>& field, u32 value) {
    field.store(static_cast<T>(value), std::memory_order_relaxed);
}

template <typename T>
struct OptionValue {
    using type = T;
};
template <typename T>
struct OptionValue<std::atomic<T>> {
    using type = T;
};

// A default-made option set: the defaults of the table below.
const GbOptions& Defaults() {
    static const GbOptions defaults{};
    return defaults;
}

// The table entry of one option member (a u32 or a bool, plain or atomic). Its default is the
// member's value in a default-made GbOptions.
template <auto Member>
OptionDef Option(const char* key) {
    using Field = std::remove_cvref_t<decltype(std::declval<GbOptions&>().*Member)>;
    constexpr bool kIsBool = std::is_same_v<typename OptionValue<Field>::type, bool>;
    static_assert(kIsBool || std::is_same_v<typename OptionValue<Field>::type, u32>);
    const auto get = [](const GbOptions& o) { return LoadOption(o.*Member); };
    const auto set = [](GbOptions& o, u32 value) {
        StoreOption(o.*Member, kIsBool ? (value != 0 ? 1u : 0u) : value);
    };
    return {key, kIsBool, LoadOption(Defaults().*Member), get, set};
}

template <int N>
OptionDef KeyOption(const char* key) {
    const auto get = [](const GbOptions& o) { return o.JoyPad_Keys[N]; };
    const auto set = [](GbOptions& o, u32 value) { o.JoyPad_Keys[N] = value; };
    return {key, false, Defaults().JoyPad_Keys[N], get, set};
}

// Largest INI file INIWrite will rewrite; anything bigger is not ours to truncate.
constexpr std::size_t kMaxIniBytes = 16u << 20;
// GetPrivateProfileString's buffer of 2048 bytes holds at most 2047 characters.
constexpr std::size_t kMaxValueLength = 2047;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

struct IniLine {
    std::string_view text;  // without its line ending
    std::string_view eol;   // "\r\n", "\n" or empty for a last line without one
};

std::vector<IniLine> SplitLines(const std::string& contents) {
    std::vector<IniLine> lines;
    std::string_view rest(contents);
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back({rest, {}});
            break;
        }
        std::size_t end = nl;
        if (end > 0 && rest[end - 1] == '\r') --end;
        lines.push_back({rest.substr(0, end), rest.substr(end, nl + 1 - end)});
        rest.remove_prefix(nl + 1);
    }
    return lines;
}

enum class LineKind { kOther, kSection, kEntry };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // entry value, trimmed
};

ParsedLine ParseLine(std::string_view text) {
    const std::string_view line = Trim(text);
    if (line.empty()) return {};
    if (line.front() == '[') {
        const std::size_t close = line.find(']');
        const std::string_view name =
            close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1);
        return {LineKind::kSection, Trim(name), {}};
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return {};
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) return {};
    return {LineKind::kEntry, key, Trim(line.substr(eq + 1))};
}

// The line range [begin, end) of the first section called `section`, header included; begin is
// lines.size() when there is none.
std::pair<std::size_t, std::size_t> FindSection(const std::vector<IniLine>& lines,
                                                std::string_view section) {
    std::size_t begin = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine p = ParseLine(lines[i].text);
        if (p.kind != LineKind::kSection) continue;
        if (begin != lines.size()) return {begin, i};
        if (EqualNoCase(p.name, section)) begin = i;
    }
    return {begin, lines.size()};
}

bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

const std::vector<OptionDef>& Options() {
    static const std::vector<OptionDef> options = {
        Option<&GbOptions::system_type>("system_type"),
        Option<&GbOptions::system_force_cgbmode>("system_force_cgbmode"),
        Option<&GbOptions::system_thread_priority>("system_thread_priority"),
        Option<&GbOptions::system_pause_when_inactive_app>("system_pause_when_inactive_app"),
        Option<&GbOptions::system_show_performances>("system_show_performances"),
        Option<&GbOptions::system_speed_restriction>("system_speed_restriction"),
        Option<&GbOptions::sound_enable>("sound_enable"),
        Option<&GbOptions::sound_select_CH1>("sound_select_CH1"),
        Option<&GbOptions::sound_select_CH2>("sound_select_CH2"),
        Option<&GbOptions::sound_select_CH3>("sound_select_CH3"),
        Option<&GbOptions::sound_select_CH4>("sound_select_CH4"),
        Option<&GbOptions::Screen_refresh_ratio_index>("Screen_refresh_ratio_index"),
        Option<&GbOptions::screen_size>("screen_size"),
        Option<&GbOptions::screen_enable>("screen_enable"),
        Option<&GbOptions::screen_layer_bg>("screen_layer_bg"),
        Option<&GbOptions::screen_layer_win>("screen_layer_win"),
        Option<&GbOptions::screen_layer_sprites>("screen_layer_sprites"),
        Option<&GbOptions::screen_filter>("screen_filter"),
        Option<&GbOptions::screen_ClientColor>("screen_ClientColor"),
        KeyOption<0>("JoyPad_Keys_0"),
        KeyOption<1>("JoyPad_Keys_1"),
        KeyOption<2>("JoyPad_Keys_2"),
        KeyOption<3>("JoyPad_Keys_3"),
        KeyOption<4>("JoyPad_Keys_4"),
        KeyOption<5>("JoyPad_Keys_5"),
        KeyOption<6>("JoyPad_Keys_6"),
        KeyOption<7>("JoyPad_Keys_7"),
        // Written after the 27 keys of the options dialog; a file without it reads 0.
        Option<&GbOptions::system_exact_hardware>("system_exact_hardware"),
    };
    return options;
}

bool ParseIniInteger(const std::string& input, i32* value) {
    std::string_view text(input);
    bool hex = false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        hex = true;
    } else if (!text.empty() && text[0] == '$') {
        text.remove_prefix(1);
        hex = true;
    }

    if (hex) {
        if (text.empty() || text.size() > 8) return false;
        u32 v = 0;
        for (char c : text) {
            const int d = HexDigitValue(c);
            if (d < 0) return false;
            v = (v << 4) | static_cast<u32>(d);
        }
        *value = static_cast<i32>(v);
        return true;
    }

    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    // Accumulate in 64 bits and stop as soon as the value leaves the 32-bit range.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long v = 0;
    for (char c : text) {
        if (!IsAsciiDigit(c)) return false;
        v = v * 10 + (c - '0');
        if (v > limit) return false;
    }
    *value = static_cast<i32>(negative ? -v : v);
    return true;
}

bool IniLookup(const std::string& contents, const std::string& section, const std::string& key,
               std::string* value) {
    const std::vector<IniLine> lines = SplitLines(contents);
    const auto [begin, end] = FindSection(lines, section);
    for (std::size_t i = begin + 1; i < end; ++i) {
        const ParsedLine p = ParseLine(lines[i].text);
        if (p.kind != LineKind::kEntry || !EqualNoCase(p.name, key)) continue;
        std::string_view v = p.value;
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        *value = std::string(v.substr(0, kMaxValueLength));
        return true;
    }
    return false;
}

std::string IniUpdate(const std::string& contents, const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<IniLine> lines = SplitLines(contents);
    std::string_view eol = "\n";
    for (const IniLine& line : lines) {
        if (!line.eol.empty()) {
            eol = line.eol;
            break;
        }
    }

    // New texts for replaced lines, and the lines to add to the section.
    std::vector<std::string> replaced(lines.size());
    std::vector<bool> is_replaced(lines.size(), false);
    std::vector<std::string> added;

    auto [begin, end] = FindSection(lines, section);
    const bool has_section = begin < lines.size();
    for (const auto& [key, value] : entries) {
        bool found = false;
        if (has_section) {
            for (std::size_t i = begin + 1; i < end; ++i) {
                const ParsedLine p = ParseLine(lines[i].text);
                if (p.kind == LineKind::kEntry && EqualNoCase(p.name, key)) {
                    replaced[i] = key + "=" + value;
                    is_replaced[i] = true;
                    found = true;
                    break;
                }
            }
        }
        if (!found) added.push_back(key + "=" + value);
    }

    // New entries go after the section's last non-blank line, so that blank lines separating it
    // from the next section stay where they are.
    std::size_t insert_after = lines.size();  // index of the line the additions follow
    if (has_section) {
        insert_after = begin;
        for (std::size_t i = begin + 1; i < end; ++i) {
            if (!Trim(lines[i].text).empty()) insert_after = i;
        }
    }

    std::string out;
    out.reserve(contents.size() + added.size() * 32 + 16);
    auto emit_added = [&] {
        for (const std::string& line : added) {
            out += line;
            out += eol;
        }
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += is_replaced[i] ? std::string_view(replaced[i]) : lines[i].text;
        if (i == insert_after && !added.empty()) {
            out += lines[i].eol.empty() ? eol : lines[i].eol;
            emit_added();
        } else {
            out += lines[i].eol;
        }
    }
    if (!has_section && !added.empty()) {
        if (!lines.empty()) {
            if (lines.back().eol.empty()) out += eol;
            if (!Trim(lines.back().text).empty()) out += eol;
        }
        out += "[";
        out += section;
        out += "]";
        out += eol;
        emit_added();
    }
    return out;
}

void INIRead(TGBSYSF& gb, const std::string& ini_path) {
    std::vector<u8> bytes;
    std::string contents;
    if (ReadFileUpTo(ini_path, kMaxIniBytes, &bytes, nullptr)) {
        contents.assign(bytes.begin(), bytes.end());
    }
    for (const OptionDef& option : Options()) {
        std::string text;
        i32 value = static_cast<i32>(option.default_value);
        if (IniLookup(contents, kIniSection, option.key, &text) && !ParseIniInteger(text, &value)) {
            value = static_cast<i32>(option.default_value);
        }
        option.set(gb, option.is_bool ? (value != 0 ? 1u : 0u) : static_cast<u32>(value));
    }
}

bool INIWrite(const TGBSYSF& gb, const std::string& ini_path, std::string* error) {
    const std::string message = "Impossible d'écrire dans " + ini_path;
    std::string contents;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::status(ini_path, ec))) {
        // An existing file that cannot be read is left alone rather than replaced by our keys
        // alone: its other sections belong to the user.
        std::vector<u8> bytes;
        if (!ReadFileUpTo(ini_path, kMaxIniBytes + 1, &bytes, nullptr) ||
            bytes.size() > kMaxIniBytes) {
            if (error) *error = message;
            return false;
        }
        contents.assign(bytes.begin(), bytes.end());
    }

    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(Options().size());
    for (const OptionDef& option : Options()) {
        const u32 v = option.get(gb);
        const i32 stored = option.is_bool ? (v != 0 ? 1 : 0) : static_cast<i32>(v);
        entries.emplace_back(option.key, std::to_string(stored));
    }
    const std::string updated = IniUpdate(contents, kIniSection, entries);
    if (!WriteFileSafely(ini_path, updated.data(), updated.size(), nullptr)) {
        if (error) *error = message;
        return false;
    }
    return true;
}

std::string IniPathForExecutable(const std::string& exe_path) {
    return std::filesystem::path(exe_path).replace_extension(".INI").string();
}

}  // namespace kivo
