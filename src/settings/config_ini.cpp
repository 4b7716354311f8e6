#include "settings/config_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// A "[name]" line gives the section name; the name runs to the "]" or, without one, to the
// end of the line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    if (close != std::string_view::npos)
        line = line.substr(0, close);
    return Trim(line);
}

struct KeyValue {
    std::string_view key;
    std::string_view value;
};

// A "key=value" line. Comment lines (";" or "#") and lines without "=" or without a key name
// are kept in the file but are not keys.
std::optional<KeyValue> ParseKeyLine(std::string_view line) {
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[')
        return std::nullopt;
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    const std::string_view key = Trim(t.substr(0, eq));
    if (key.empty())
        return std::nullopt;
    return KeyValue{key, Trim(t.substr(eq + 1))};
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        return v.substr(1, v.size() - 2);
    return v;
}

// Values that reading would change (surrounding blanks, surrounding quotes) are written in
// quotes so that they come back exactly. A line break would end the line and let the rest
// of the value pose as keys or sections of its own, so a value is cut at its first one.
std::string EncodeValue(std::string_view value) {
    const size_t lineEnd = value.find_first_of("\r\n");
    if (lineEnd != std::string_view::npos)
        value = value.substr(0, lineEnd);
    const bool needsQuotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                                (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
    if (needsQuotes)
        return "\"" + std::string(value) + "\"";
    return std::string(value);
}

// Cuts UTF-8 text to at most `maxChars` code points, never inside a sequence.
std::string CutToChars(std::string_view s, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) {
            if (chars == maxChars)
                return std::string(s.substr(0, i));
            ++chars;
        }
    }
    return std::string(s);
}

}  // namespace

int32_t ProfileIntFromText(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            value = static_cast<int64_t>(INT32_MAX) + 1;  // saturate; keeps the product in range
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

ConfigIni ConfigIni::Parse(std::string_view text) {
    ConfigIni ini;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        // "\r\n" ends a line as "\n" does; stray carriage returns before it go too, so a
        // written file reads back line for line.
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ini.lines_.push_back(Line{std::string(line)});
        start = last ? text.size() : end + 1;
    }
    return ini;
}

std::string ConfigIni::Serialize() const {
    std::string out;
    for (const Line& l : lines_) {
        out += l.text;
        out += '\n';
    }
    return out;
}

std::optional<ConfigIni::Range> ConfigIni::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const auto name = SectionName(lines_[i].text);
        if (!name || !SameName(*name, Trim(section)))
            continue;
        size_t end = i + 1;
        while (end < lines_.size() && !SectionName(lines_[end].text))
            ++end;
        return Range{i, end};
    }
    return std::nullopt;
}

std::optional<size_t> ConfigIni::FindKey(const Range& r, std::string_view key) const {
    for (size_t i = r.begin + 1; i < r.end; ++i) {
        const auto kv = ParseKeyLine(lines_[i].text);
        if (kv && SameName(kv->key, Trim(key)))
            return i;
    }
    return std::nullopt;
}

std::optional<std::string> ConfigIni::Value(std::string_view section, std::string_view key) const {
    const auto range = FindSection(section);
    if (!range)
        return std::nullopt;
    const auto at = FindKey(*range, key);
    if (!at)
        return std::nullopt;
    return std::string(Unquote(ParseKeyLine(lines_[*at].text)->value));
}

std::string ConfigIni::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
    const auto v = Value(section, key);
    return CutToChars(v ? std::string_view(*v) : fallback, kMaxProfileStringChars);
}

int32_t ConfigIni::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
    const auto v = Value(section, key);
    return v ? ProfileIntFromText(*v) : fallback;
}

void ConfigIni::SetString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string encoded = EncodeValue(value);
    const auto range = FindSection(section);
    if (!range) {
        lines_.push_back(Line{"[" + std::string(Trim(section)) + "]"});
        lines_.push_back(Line{std::string(Trim(key)) + "=" + encoded});
        return;
    }
    if (const auto at = FindKey(*range, key)) {
        // Keep the key as it is spelled in the file; only the value changes.
        const auto kv = ParseKeyLine(lines_[*at].text);
        lines_[*at].text = std::string(kv->key) + "=" + encoded;
        return;
    }
    // After the last non-blank line of the section, so blank separator lines stay between
    // this section and the next.
    size_t insertAt = range->begin + 1;
    for (size_t i = range->begin + 1; i < range->end; ++i)
        if (!Trim(lines_[i].text).empty())
            insertAt = i + 1;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt),
                  Line{std::string(Trim(key)) + "=" + encoded});
}

void ConfigIni::SetInt(std::string_view section, std::string_view key, int32_t value) {
    SetString(section, key, std::to_string(value));
}

std::optional<ConfigIni> LoadConfigIni(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ConfigIni{};
        if (error)
            *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ConfigIni::Parse(text);
}

bool SaveConfigIni(const std::string& path, const ConfigIni& ini, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error)
            *error = what + ": " + std::strerror(errno);
        return false;
    };
    // Keep the permissions of the file being replaced; a new file gets the usual ones.
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;

    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return fail(path);
    const std::string text = ini.Serialize();
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int saved = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = saved;
            return fail(path);
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        const int saved = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        errno = saved;
        return fail(path);
    }
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return fail(path);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return fail(path);
    }
    return true;
}

}  // namespace velmora
