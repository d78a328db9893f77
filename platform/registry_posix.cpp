#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/codepage.h"

namespace platform {
namespace {

const char* const Header5 = "Windows Registry Editor Version 5.00";
const char* const Header4 = "REGEDIT4";

enum class EntryKind { Blank, Comment, Section, Value, Other };

// One logical line of the file; raw keeps its physical lines for rewriting.
struct Entry {
    EntryKind kind = EntryKind::Other;
    std::string raw;
    std::string key;   // Section: upper-cased key name
    std::string name;  // Value: value name ("" for the default value)
    std::string data;  // Value: text after '=', continuations joined
    bool open = false; // Value: its last line asks for a continuation the file lacks
};

struct Document {
    std::vector<Entry> entries;
};

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// The key as written in a section header: the root spelt out in full, the
// rest as given.
std::string full_key_name(const std::string& key)
{
    std::string k = trim(key);
    while (!k.empty() && k.front() == '\\') k.erase(0, 1);
    while (!k.empty() && k.back() == '\\') k.pop_back();
    std::string u = upper(k);
    if (u.rfind("HKCU\\", 0) == 0) return "HKEY_CURRENT_USER\\" + k.substr(5);
    if (u.rfind("HKEY_", 0) != 0) return "HKEY_CURRENT_USER\\" + k;
    return k;
}

// Keys compare without regard to case, as the registry's do.
std::string normalize_key(const std::string& key) { return upper(full_key_name(key)); }


// Parses a quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool parse_quoted(const std::string& s, size_t& pos, std::string& out)
{
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < s.size()) {
            char n = s[pos++];
            if (n == '\\' || n == '"') {
                out += n;
            } else {
                out += '\\';
                out += n;
            }
        } else {
            out += c;
        }
    }
    return false;
}

std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex_bytes(const std::string& s, std::vector<uint8_t>& out)
{
    out.clear();
    std::string t = trim(s);
    if (t.empty()) return true;
    size_t pos = 0;
    for (;;) {
        size_t comma = t.find(',', pos);
        std::string item = trim(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (item.size() == 0 && comma == std::string::npos) return true;  // trailing comma
        if (item.size() != 1 && item.size() != 2) return false;
        int value = 0;
        for (char c : item) {
            int d = hex_digit(c);
            if (d < 0) return false;
            value = value * 16 + d;
        }
        out.push_back(uint8_t(value));
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// The value written after '='; nothing for a deletion or anything unreadable.
std::optional<RegValue> parse_data(const std::string& data)
{
    std::string d = trim(data);
    RegValue v;
    if (!d.empty() && d[0] == '"') {
        size_t pos = 0;
        std::string text;
        if (!parse_quoted(d, pos, text) || !trim(d.substr(pos)).empty()) return std::nullopt;
        v.type = Reg_sz;
        v.data.assign(text.begin(), text.end());
        return v;
    }
    std::string lower = d;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (lower.rfind("dword:", 0) == 0) {
        std::string digits = trim(d.substr(6));
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t n = 0;
        for (char c : digits) {
            int h = hex_digit(c);
            if (h < 0) return std::nullopt;
            n = n * 16 + uint32_t(h);
        }
        v.type = Reg_dword;
        v.data = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
        return v;
    }
    if (lower.rfind("hex:", 0) == 0) {
        v.type = Reg_binary;
        if (!parse_hex_bytes(d.substr(4), v.data)) return std::nullopt;
        return v;
    }
    if (lower.rfind("hex(", 0) == 0) {
        size_t close = lower.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return std::nullopt;
        uint32_t type = 0;
        for (size_t i = 4; i < close; ++i) {
            int h = hex_digit(lower[i]);
            if (h < 0) return std::nullopt;
            type = type * 16 + uint32_t(h);
        }
        v.type = type;
        if (!parse_hex_bytes(d.substr(close + 2), v.data)) return std::nullopt;
        return v;
    }
    return std::nullopt;
}

// Splits "name"=data or @=data; false for anything else.
bool split_value_line(const std::string& line, std::string& name, std::string& data)
{
    size_t pos = 0;
    if (line.empty()) return false;
    if (line[0] == '@') {
        name.clear();
        pos = 1;
    } else if (!parse_quoted(line, pos, name)) {
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    data = line.substr(pos + 1);
    return true;
}

bool ends_with_backslash(const std::string& s)
{
    size_t e = s.find_last_not_of(" \t");
    return e != std::string::npos && s[e] == '\\';
}

// Reads the file as UTF-8 text. exists is false for a missing file; the
// result is false for a file that exists but cannot be read.
bool load_text(const std::string& path, std::string& text, bool& exists)
{
    text.clear();
    exists = false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return errno == ENOENT;
    exists = true;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) return false;
    if (text.size() >= 2 && uint8_t(text[0]) == 0xFF && uint8_t(text[1]) == 0xFE) {
        text = utf16le_to_utf8(text.substr(2));
    } else if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    return true;
}

// Parses text into entries after the header; false when the header is not
// one of regedit's. An empty text is an empty document.
bool parse(std::string text, Document& doc)
{
    doc.entries.clear();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    size_t i = 0;
    while (i < lines.size() && trim(lines[i]).empty()) ++i;
    if (i == lines.size()) return true;
    std::string header = trim(lines[i]);
    if (header == Header4) {
        // REGEDIT4 files are in the ANSI code page; a hand-written UTF-8 one is left alone.
        if (!is_valid_utf8(text)) {
            std::vector<std::string> converted;
            for (size_t k = 0; k < lines.size(); ++k) converted.push_back(cp1250_to_utf8(lines[k]));
            lines.swap(converted);
        }
    } else if (header != Header5) {
        return false;
    }
    for (++i; i < lines.size(); ++i) {
        Entry e;
        e.raw = lines[i];
        std::string t = trim(lines[i]);
        if (t.empty()) {
            e.kind = EntryKind::Blank;
        } else if (t[0] == ';') {
            e.kind = EntryKind::Comment;
        } else if (t[0] == '[') {
            e.kind = EntryKind::Section;
            size_t close = t.rfind(']');
            std::string inner = t.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            // A "[-key]" deletion section never matches a real key.
            e.key = inner.empty() || inner[0] == '-' ? std::string("-") : normalize_key(inner);
        } else if (split_value_line(t, e.name, e.data)) {
            e.kind = EntryKind::Value;
            if (trim(e.data).rfind('"', 0) != 0) {
                while (ends_with_backslash(e.data)) {
                    if (i + 1 == lines.size()) {
                        e.open = true;
                        break;
                    }
                    e.data.erase(e.data.find_last_not_of(" \t"));
                    ++i;
                    e.raw += '\n';
                    e.raw += lines[i];
                    e.data += trim(lines[i]);
                }
            }
        }
        doc.entries.push_back(std::move(e));
    }
    return true;
}

std::string format_value(const std::string& name, const RegValue& v)
{
    std::string line = name.empty() ? std::string("@=") : "\"" + escape(name) + "\"=";
    if (v.type == Reg_sz) {
        std::string text(v.data.begin(), v.data.end());
        if (text.find_first_of(std::string("\0\n\r", 3)) == std::string::npos && is_valid_utf8(text))
            return line + "\"" + escape(text) + "\"";
    }
    if (v.type == Reg_dword && v.data.size() == 4) {
        char buf[16];
        uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                     uint32_t(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return line + buf;
    }
    char prefix[24];
    if (v.type == Reg_binary)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
    line += prefix;
    // Wrapped like regedit: lines of about 80 columns, continued by a backslash.
    size_t column = line.size();
    for (size_t k = 0; k < v.data.size(); ++k) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", v.data[k]);
        line += byte;
        column += 2;
        if (k + 1 < v.data.size()) {
            line += ',';
            ++column;
            if (column > 76) {
                line += "\\\n  ";
                column = 2;
            }
        }
    }
    return line;
}

bool write_all(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Writes the whole file aside, syncs it and renames it over the old one.
bool replace_file(const std::string& path, const std::string& content)
{
    std::filesystem::path p(path);
    std::error_code ec;
    if (p.has_parent_path()) {
        std::filesystem::create_directories(p.parent_path(), ec);
        if (ec) return false;
    }
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    bool ok = write_all(fd, content);
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here no longer risks the data.
    std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

std::string render(const Document& doc)
{
    std::string out = Header5;
    out += '\n';
    for (const Entry& e : doc.entries) {
        out += e.raw;
        out += '\n';
    }
    return out;
}

bool load_document(const std::string& path, Document& doc)
{
    std::string text;
    bool exists = false;
    if (!load_text(path, text, exists)) return false;
    return parse(std::move(text), doc);
}

Entry make_section(const std::string& key)
{
    Entry e;
    e.kind = EntryKind::Section;
    e.key = normalize_key(key);
    e.raw = "[" + full_key_name(key) + "]";
    return e;
}

// Adds an empty section for the key at the end of the document.
void append_section(Document& doc, const std::string& key)
{
    if (doc.entries.empty() || doc.entries.back().kind != EntryKind::Blank) doc.entries.push_back(Entry{EntryKind::Blank, "", "", "", ""});
    doc.entries.push_back(make_section(key));
}

bool has_section(const Document& doc, const std::string& nkey)
{
    for (const Entry& e : doc.entries)
        if (e.kind == EntryKind::Section && e.key == nkey) return true;
    return false;
}

std::optional<RegValue> find_value(const Document& doc, const std::string& key, const std::string& name,
                                   bool* unreadable)
{
    std::string nkey = normalize_key(key);
    std::string nname = upper(name);
    bool in_key = false;
    std::optional<RegValue> found;
    // Later lines win, as when regedit imports the file.
    for (const Entry& e : doc.entries) {
        if (e.kind == EntryKind::Section) in_key = e.key == nkey;
        else if (in_key && e.kind == EntryKind::Value && upper(e.name) == nname) {
            found = parse_data(e.data);
            if (unreadable) *unreadable = !found && trim(e.data) != "-";  // "=-" deletes it
        }
    }
    return found;
}

}  // namespace


std::string default_registry_path()
{
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd* pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/stravon/user.reg";
}

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

bool RegistryStore::open_key(const std::string& key, bool create)
{
    Document doc;
    if (!load_document(path_, doc)) return false;
    if (has_section(doc, normalize_key(key))) return true;
    if (!create) return false;
    append_section(doc, key);
    // A key name that cannot stand in a section line would not be found again.
    std::string content = render(doc);
    Document check;
    if (!parse(content, check) || !has_section(check, normalize_key(key))) return false;
    return replace_file(path_, content);
}

std::optional<RegValue> RegistryStore::read(const std::string& key, const std::string& name, bool* unreadable) const
{
    if (unreadable) *unreadable = false;
    Document doc;
    if (!load_document(path_, doc)) return std::nullopt;
    return find_value(doc, key, name, unreadable);
}

bool RegistryStore::damaged() const
{
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return false;
    Document doc;
    return !load_document(path_, doc);
}

bool RegistryStore::write(const std::string& key, const std::string& name, const RegValue& value)
{
    Document doc;
    if (!load_document(path_, doc)) return false;
    std::string nkey = normalize_key(key);
    std::string nname = upper(name);
    std::string line = format_value(name, value);

    bool replaced = false;
    bool in_key = false;
    size_t insert_at = std::string::npos;
    for (size_t k = 0; k < doc.entries.size(); ++k) {
        Entry& e = doc.entries[k];
        if (e.kind == EntryKind::Section) {
            in_key = e.key == nkey;
            if (in_key) insert_at = k + 1;
        } else if (in_key && e.kind != EntryKind::Blank) {
            // A new line after a cut-off continuation would be read as part of it.
            insert_at = e.open ? k : k + 1;
            if (e.kind == EntryKind::Value && upper(e.name) == nname) {
                e.raw = line;
                replaced = true;
            }
        }
    }
    if (!replaced) {
        Entry e;
        e.kind = EntryKind::Value;
        e.name = name;
        e.raw = line;
        if (insert_at == std::string::npos) {
            append_section(doc, key);
            doc.entries.push_back(std::move(e));
        } else {
            doc.entries.insert(doc.entries.begin() + std::ptrdiff_t(insert_at), std::move(e));
        }
    }
    // What cannot be read back the same (a name with a line break, a key that
    // cannot be matched) is not written at all.
    std::string content = render(doc);
    Document check;
    if (!parse(content, check) || find_value(check, key, name, nullptr) != value) return false;
    return replace_file(path_, content);
}

}  // namespace platform
