#include "seed_format.h"

#include <optional>
#include <utility>
#include <vector>

#include "quoting.h"

namespace nisplusd {

namespace {

struct Token {
  std::string key;  // empty: no key
  std::string value;
  bool quoted = false;
  bool bareNull = false;  // the word `null` in value position
  std::optional<uint32_t> flags;
};

bool parseNumber(std::string_view s, uint32_t& out) {
  if (s.empty()) return false;
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xffffffffu) return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool tokenize(std::string_view line, std::vector<Token>& out, std::string& error) {
  size_t i = 0, n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= n || line[i] == '#') return true;
    Token t;
    size_t j = i;
    while (j < n && isWordChar(line[j])) ++j;
    if (j > i && j < n && line[j] == '=') {
      t.key.assign(line.substr(i, j - i));
      i = j + 1;
    }
    if (i < n && line[i] == '"') {
      t.quoted = true;
      ++i;
      while (true) {
        if (i >= n) {
          error = "unterminated string";
          return false;
        }
        char c = line[i];
        if (c == '"') {
          ++i;
          break;
        }
        if (c != '\\') {
          t.value.push_back(c);
          ++i;
          continue;
        }
        if (i + 1 >= n) {
          error = "unterminated string";
          return false;
        }
        char e = line[i + 1];
        i += 2;
        switch (e) {
          case '\\':
            t.value.push_back('\\');
            break;
          case '"':
            t.value.push_back('"');
            break;
          case 'n':
            t.value.push_back('\n');
            break;
          case 't':
            t.value.push_back('\t');
            break;
          case 'r':
            t.value.push_back('\r');
            break;
          case '0':
            t.value.push_back('\0');
            break;
          case 'x': {
            int hi = i < n ? hexDigit(line[i]) : -1;
            int lo = i + 1 < n ? hexDigit(line[i + 1]) : -1;
            if (hi < 0 || lo < 0) {
              error = "bad \\x escape";
              return false;
            }
            t.value.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            break;
          }
          default:
            error = std::string("bad escape \\") + e;
            return false;
        }
      }
    } else {
      size_t s = i;
      while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '/' &&
             line[i] != '#') {
        ++i;
      }
      t.value.assign(line.substr(s, i - s));
      t.bareNull = t.key.empty() && t.value == "null";
      if (t.value.empty() && t.key.empty()) {
        error = "unexpected character";
        return false;
      }
    }
    if (i < n && line[i] == '/') {
      size_t s = ++i;
      while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      uint32_t f;
      if (!parseNumber(line.substr(s, i - s), f)) {
        error = "bad value flags";
        return false;
      }
      t.flags = f;
    }
    if (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
      error = "missing blank after a value";
      return false;
    }
    out.push_back(std::move(t));
  }
}

// Reads key=value attributes of a line into the given fields.
class Attributes {
 public:
  Attributes(const std::vector<Token>& toks, size_t from, std::string& error)
      : toks_(toks), from_(from), error_(error) {}

  bool str(const char* key, std::string& field) {
    const Token* t = find(key);
    if (t) field = t->value;
    return true;
  }
  bool num(const char* key, uint32_t& field) {
    const Token* t = find(key);
    if (!t) return true;
    if (t->quoted || !parseNumber(t->value, field)) {
      error_ = std::string("bad number for ") + key;
      return false;
    }
    return true;
  }
  bool has(const char* key) { return find(key) != nullptr; }
  // Every key=value must be one of the allowed keys.
  bool only(std::initializer_list<const char*> keys) {
    for (size_t i = from_; i < toks_.size(); ++i) {
      const Token& t = toks_[i];
      if (t.key.empty()) continue;
      bool known = false;
      for (const char* k : keys) known = known || t.key == k;
      if (!known) {
        error_ = "unknown attribute " + t.key;
        return false;
      }
    }
    return true;
  }

 private:
  const Token* find(const char* key) {
    for (size_t i = from_; i < toks_.size(); ++i) {
      if (toks_[i].key == key) return &toks_[i];
    }
    return nullptr;
  }
  const std::vector<Token>& toks_;
  size_t from_;
  std::string& error_;
};

class Loader {
 public:
  explicit Loader(Namespace& ns) : ns_(ns) {}

  bool line(const std::vector<Token>& toks, std::string& error) {
    const Token& kind = toks[0];
    if (!kind.key.empty() || kind.quoted) {
      error = "expected directory, table, column, entry or group";
      return false;
    }
    if (kind.value != "column") finishTable();
    if (toks.size() < 2 || !toks[1].key.empty() || toks[1].bareNull) {
      error = "missing name";
      return false;
    }
    const std::string& name = toks[1].value;
    Attributes at(toks, 2, error);
    if (kind.value == "directory") return directory(name, toks, at, error);
    if (kind.value == "table") return table(name, toks, at, error);
    if (kind.value == "column") return column(name, toks, at, error);
    if (kind.value == "entry") return entry(name, toks, at, error);
    if (kind.value == "group") return group(name, toks, at, error);
    error = "unknown line kind " + kind.value;
    return false;
  }

  void finishTable() {
    if (!table_) return;
    if (!maxcolGiven_) table_->maxcol = static_cast<int32_t>(table_->columns.size());
    *ns_.findTable(table_->name) = std::move(*table_);
    table_.reset();
  }

 private:
  static bool noValues(const std::vector<Token>& toks, std::string& error) {
    for (size_t i = 2; i < toks.size(); ++i) {
      if (toks[i].key.empty()) {
        error = "unexpected value";
        return false;
      }
    }
    return true;
  }

  bool directory(const std::string& name, const std::vector<Token>& toks, Attributes& at,
                 std::string& error) {
    if (!noValues(toks, error) || !at.only({"owner", "group", "access", "ttl"})) return false;
    Directory* d = ns_.findDir(name);
    Directory fresh;
    if (!d) {
      if (ns_.findTable(name) || ns_.findGroup(name)) {
        error = ns_.findTable(name) ? "a table has that name" : "a group has that name";
        return false;
      }
      const Directory* parent = ns_.findDir(parentOf(name));
      if (!parent || labelOf(name).empty()) {
        error = "parent directory of " + name + " is not served";
        return false;
      }
      fresh = *parent;
      fresh.name = name;
      fresh.oid.ctime = fresh.oid.mtime = now();
      d = &fresh;
    }
    if (!at.str("owner", d->owner) || !at.str("group", d->group) || !at.num("access", d->access) ||
        !at.num("ttl", d->ttl)) {
      return false;
    }
    if (d == &fresh) ns_.dirs().push_back(std::move(fresh));
    return true;
  }

  bool table(const std::string& name, const std::vector<Token>& toks, Attributes& at,
             std::string& error) {
    if (!noValues(toks, error) ||
        !at.only({"type", "sep", "owner", "group", "access", "ttl", "path", "maxcol"})) {
      return false;
    }
    if (ns_.findDir(name) || ns_.findGroup(name)) {
      error = ns_.findDir(name) ? "a directory has that name" : "a group has that name";
      return false;
    }
    const Directory* dir = ns_.findDir(parentOf(name));
    if (!dir || labelOf(name).empty()) {
      error = "directory of " + name + " is not served";
      return false;
    }
    Table t;
    t.name = name;
    t.owner = dir->owner;
    t.group = dir->group;
    t.access = dir->access;
    t.ttl = dir->ttl;
    uint32_t sep = ' ', maxcol = 0;
    if (!at.str("type", t.type) || !at.num("sep", sep) || !at.str("owner", t.owner) ||
        !at.str("group", t.group) || !at.num("access", t.access) || !at.num("ttl", t.ttl) ||
        !at.str("path", t.path) || !at.num("maxcol", maxcol)) {
      return false;
    }
    if (sep > 0xff) {
      error = "sep must be one byte";
      return false;
    }
    t.sep = static_cast<uint8_t>(sep);
    t.maxcol = static_cast<int32_t>(maxcol);
    maxcolGiven_ = at.has("maxcol");
    t.oid.ctime = t.oid.mtime = now();
    if (Table* old = ns_.findTable(name)) {
      *old = t;
    } else {
      ns_.tables().push_back(t);
    }
    table_ = std::move(t);
    return true;
  }

  bool column(const std::string& name, const std::vector<Token>& toks, Attributes& at,
              std::string& error) {
    if (!table_) {
      error = "column outside a table";
      return false;
    }
    if (!noValues(toks, error) || !at.only({"flags", "rights"})) return false;
    Column c;
    c.name = name;
    if (!at.num("flags", c.flags) || !at.num("rights", c.rights)) return false;
    table_->columns.push_back(std::move(c));
    return true;
  }

  bool entry(const std::string& name, const std::vector<Token>& toks, Attributes& at,
             std::string& error) {
    if (!at.only({"type", "owner", "group", "access", "ttl"})) return false;
    Table* t = ns_.findTable(name);
    if (!t) {
      error = "no table " + name;
      return false;
    }
    Entry e;
    e.type = t->type;
    e.owner = t->owner;
    e.group = t->group;
    e.access = t->access;
    e.ttl = t->ttl;
    if (!at.str("type", e.type) || !at.str("owner", e.owner) || !at.str("group", e.group) ||
        !at.num("access", e.access) || !at.num("ttl", e.ttl)) {
      return false;
    }
    for (size_t i = 2; i < toks.size(); ++i) {
      const Token& v = toks[i];
      if (!v.key.empty()) {
        if (!e.values.empty()) {
          error = "attribute after values";
          return false;
        }
        continue;
      }
      if (!v.quoted && !v.bareNull) {
        error = "values must be quoted strings or null";
        return false;
      }
      e.values.push_back(Value{v.bareNull ? std::string() : v.value, v.flags.value_or(0)});
    }
    e.oid.ctime = e.oid.mtime = now();
    t->entries.push_back(std::move(e));
    return true;
  }

  // A group object: attributes, then its members as names or strings. A
  // group named again is replaced.
  bool group(const std::string& name, const std::vector<Token>& toks, Attributes& at,
             std::string& error) {
    if (!at.only({"owner", "group", "access", "ttl", "flags"})) return false;
    if (ns_.findDir(name) || ns_.findTable(name)) {
      error = ns_.findDir(name) ? "a directory has that name" : "a table has that name";
      return false;
    }
    const Directory* dir = ns_.findDir(parentOf(name));
    if (!dir || labelOf(name).empty()) {
      error = "directory of " + name + " is not served";
      return false;
    }
    Group g;
    g.name = name;
    g.owner = dir->owner;
    g.group = dir->group;
    g.access = dir->access;
    g.ttl = dir->ttl;
    if (!at.str("owner", g.owner) || !at.str("group", g.group) || !at.num("access", g.access) ||
        !at.num("ttl", g.ttl) || !at.num("flags", g.flags)) {
      return false;
    }
    for (size_t i = 2; i < toks.size(); ++i) {
      const Token& m = toks[i];
      if (!m.key.empty()) {
        if (!g.members.empty()) {
          error = "attribute after members";
          return false;
        }
        continue;
      }
      if (m.bareNull || m.flags || m.value.empty()) {
        error = "members must be names";
        return false;
      }
      g.members.push_back(m.value);
    }
    g.oid.ctime = g.oid.mtime = now();
    if (Group* old = ns_.findGroup(name)) {
      *old = std::move(g);
    } else {
      ns_.groups().push_back(std::move(g));
    }
    return true;
  }

  Namespace& ns_;
  std::optional<Table> table_;  // the table whose column lines are being read
  bool maxcolGiven_ = false;
};

}  // namespace

bool loadSeed(std::string_view text, Namespace& ns, std::string& error) {
  Namespace work = ns;
  Loader loader(work);
  size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::vector<Token> toks;
    std::string err;
    if (!tokenize(line, toks, err) || (!toks.empty() && !loader.line(toks, err))) {
      error = "line " + std::to_string(lineNo) + ": " + err;
      return false;
    }
  }
  loader.finishTable();
  ns = std::move(work);
  return true;
}

namespace {

void dumpTable(const Table& t, std::string& out) {
  out += "table " + nameToken(t.name) + " type=" + quote(t.type) + " sep=" + hexNumber(t.sep) +
         " owner=" + quote(t.owner) + " group=" + quote(t.group) +
         " access=" + hexNumber(t.access, 8) + " ttl=" + std::to_string(t.ttl) +
         " path=" + quote(t.path) + " maxcol=" + std::to_string(t.maxcol) + "\n";
  for (const Column& c : t.columns) {
    out += "column " + nameToken(c.name) + " flags=" + hexNumber(c.flags) +
           " rights=" + hexNumber(c.rights, 8) + "\n";
  }
  for (const Entry& e : t.entries) {
    out += "entry " + nameToken(t.name) + " type=" + quote(e.type) + " owner=" + quote(e.owner) +
           " group=" + quote(e.group) + " access=" + hexNumber(e.access, 8) +
           " ttl=" + std::to_string(e.ttl);
    for (const Value& v : e.values) {
      out += " " + quote(v.bytes);
      if (v.flags) out += "/" + hexNumber(v.flags);
    }
    out += "\n";
  }
}

void dumpGroup(const Group& g, std::string& out) {
  out += "group " + nameToken(g.name) + " owner=" + quote(g.owner) + " group=" + quote(g.group) +
         " access=" + hexNumber(g.access, 8) + " ttl=" + std::to_string(g.ttl) +
         " flags=" + hexNumber(g.flags);
  for (const std::string& m : g.members) out += " " + quote(m);
  out += "\n";
}

}  // namespace

bool dumpNamespace(const Namespace& ns, std::string_view name, std::string& out) {
  out.clear();
  if (const Table* t = ns.findTable(name); t && !name.empty()) {
    dumpTable(*t, out);
    return true;
  }
  if (const Group* g = ns.findGroup(name); g && !name.empty()) {
    dumpGroup(*g, out);
    return true;
  }
  std::string_view top = name.empty() ? std::string_view(ns.root()) : name;
  if (!ns.findDir(top)) return false;
  for (const Directory& d : ns.dirs()) {
    if (!isWithin(d.name, top)) continue;
    out += "directory " + nameToken(d.name) + " owner=" + quote(d.owner) +
           " group=" + quote(d.group) + " access=" + hexNumber(d.access, 8) +
           " ttl=" + std::to_string(d.ttl) + "\n";
  }
  for (const Group& g : ns.groups()) {
    if (isWithin(parentOf(g.name), top)) dumpGroup(g, out);
  }
  for (const Table& t : ns.tables()) {
    if (isWithin(parentOf(t.name), top)) dumpTable(t, out);
  }
  return true;
}

}  // namespace nisplusd
