#include "namespace.h"

#include <nis_prot.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace nisplusd {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view dropNul(std::string_view v) {
  if (!v.empty() && v.back() == '\0') v.remove_suffix(1);
  return v;
}

bool equalBytes(std::string_view a, std::string_view b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const Column* findColumn(const Table& t, std::string_view name) {
  for (const Column& c : t.columns) {
    if (sameName(c.name, name)) return &c;
  }
  return nullptr;
}

}  // namespace

uint32_t now() { return static_cast<uint32_t>(::time(nullptr)); }

bool sameName(std::string_view a, std::string_view b) { return equalBytes(a, b, true); }

std::string_view parentOf(std::string_view name) {
  size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string_view labelOf(std::string_view name) { return name.substr(0, name.find('.')); }

bool isWithin(std::string_view name, std::string_view dir) {
  if (sameName(name, dir)) return true;
  if (name.size() <= dir.size() + 1) return false;
  size_t cut = name.size() - dir.size();
  return name[cut - 1] == '.' && sameName(name.substr(cut), dir);
}

bool valuesMatch(std::string_view a, std::string_view b, bool ignoreCase) {
  return equalBytes(dropNul(a), dropNul(b), ignoreCase);
}

Namespace::Namespace(std::string root) {
  Directory d;
  d.name = std::move(root);
  dirs_.push_back(std::move(d));
}

Directory* Namespace::findDir(std::string_view name) {
  for (Directory& d : dirs_) {
    if (sameName(d.name, name)) return &d;
  }
  return nullptr;
}

const Directory* Namespace::findDir(std::string_view name) const {
  return const_cast<Namespace*>(this)->findDir(name);
}

Table* Namespace::findTable(std::string_view name) {
  for (Table& t : tables_) {
    if (sameName(t.name, name)) return &t;
  }
  return nullptr;
}

const Table* Namespace::findTable(std::string_view name) const {
  return const_cast<Namespace*>(this)->findTable(name);
}

Group* Namespace::findGroup(std::string_view name) {
  for (Group& g : groups_) {
    if (sameName(g.name, name)) return &g;
  }
  return nullptr;
}

const Group* Namespace::findGroup(std::string_view name) const {
  return const_cast<Namespace*>(this)->findGroup(name);
}

bool Namespace::exists(std::string_view name) const {
  return findDir(name) || findTable(name) || findGroup(name);
}

int Namespace::missingStatus(std::string_view name) const {
  return findDir(parentOf(name)) ? NIS_NOTFOUND : NIS_NOSUCHNAME;
}

int Namespace::addDirectory(Directory d) {
  if (exists(d.name)) return NIS_NAMEEXISTS;
  if (labelOf(d.name).empty() || !findDir(parentOf(d.name))) return NIS_NOSUCHNAME;
  d.oid.ctime = d.oid.mtime = now();
  dirs_.push_back(std::move(d));
  return NIS_SUCCESS;
}

int Namespace::addTable(Table t) {
  if (exists(t.name)) return NIS_NAMEEXISTS;
  if (labelOf(t.name).empty() || !findDir(parentOf(t.name))) return NIS_NOSUCHNAME;
  t.entries.clear();
  t.oid.ctime = t.oid.mtime = now();
  tables_.push_back(std::move(t));
  return NIS_SUCCESS;
}

int Namespace::addGroup(Group g) {
  if (exists(g.name)) return NIS_NAMEEXISTS;
  if (labelOf(g.name).empty() || !findDir(parentOf(g.name))) return NIS_NOSUCHNAME;
  g.oid.ctime = g.oid.mtime = now();
  groups_.push_back(std::move(g));
  return NIS_SUCCESS;
}

int Namespace::removeObject(std::string_view name) {
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    if (!sameName(it->name, name)) continue;
    groups_.erase(it);
    return NIS_SUCCESS;
  }
  for (auto it = tables_.begin(); it != tables_.end(); ++it) {
    if (!sameName(it->name, name)) continue;
    if (!it->entries.empty()) return NIS_NOTEMPTY;
    tables_.erase(it);
    return NIS_SUCCESS;
  }
  for (size_t i = 0; i < dirs_.size(); ++i) {
    if (!sameName(dirs_[i].name, name)) continue;
    if (i == 0) return NIS_PERMISSION;  // the root stays
    const std::string& dn = dirs_[i].name;
    bool busy = std::any_of(tables_.begin(), tables_.end(),
                            [&](const Table& t) { return sameName(parentOf(t.name), dn); }) ||
                std::any_of(groups_.begin(), groups_.end(),
                            [&](const Group& g) { return sameName(parentOf(g.name), dn); }) ||
                std::any_of(dirs_.begin(), dirs_.end(),
                            [&](const Directory& d) { return sameName(parentOf(d.name), dn); });
    if (busy) return NIS_NOTEMPTY;
    dirs_.erase(dirs_.begin() + static_cast<long>(i));
    return NIS_SUCCESS;
  }
  return missingStatus(name);
}

int Namespace::select(const Table& t, const std::vector<Attr>& attrs, std::vector<size_t>& out) {
  std::vector<std::pair<size_t, bool>> keys;  // column index, ignore case
  for (const Attr& a : attrs) {
    const Column* c = findColumn(t, a.name);
    if (!c) return NIS_BADATTRIBUTE;
    if (!(c->flags & TA_SEARCHABLE)) return NIS_NOTSEARCHABLE;
    keys.emplace_back(static_cast<size_t>(c - t.columns.data()), (c->flags & TA_CASE) != 0);
  }
  out.clear();
  for (size_t i = 0; i < t.entries.size(); ++i) {
    const Entry& e = t.entries[i];
    bool ok = true;
    for (size_t k = 0; ok && k < keys.size(); ++k) {
      size_t col = keys[k].first;
      ok =
          col < e.values.size() && valuesMatch(e.values[col].bytes, attrs[k].value, keys[k].second);
    }
    if (ok) out.push_back(i);
  }
  return NIS_SUCCESS;
}

long Namespace::findDuplicate(const Table& t, const std::vector<Value>& values, long skip) {
  bool anySearchable = std::any_of(t.columns.begin(), t.columns.end(),
                                   [](const Column& c) { return (c.flags & TA_SEARCHABLE) != 0; });
  for (size_t i = 0; i < t.entries.size(); ++i) {
    if (static_cast<long>(i) == skip) continue;
    const Entry& e = t.entries[i];
    bool same = true;
    for (size_t c = 0; same && c < t.columns.size(); ++c) {
      if (anySearchable && !(t.columns[c].flags & TA_SEARCHABLE)) continue;
      std::string_view a = c < e.values.size() ? std::string_view(e.values[c].bytes) : "";
      std::string_view b = c < values.size() ? std::string_view(values[c].bytes) : "";
      same = valuesMatch(a, b, (t.columns[c].flags & TA_CASE) != 0);
    }
    if (same) return static_cast<long>(i);
  }
  return -1;
}

int Namespace::checkShape(const Table& t, const Entry& e) {
  if (e.type != t.type || e.values.size() != t.columns.size()) return NIS_TYPEMISMATCH;
  return NIS_SUCCESS;
}

int Namespace::addEntry(std::string_view table, Entry e, bool overwrite, const Entry** stored) {
  Table* t = findTable(table);
  if (!t) return findDir(table) ? NIS_INVALIDOBJ : NIS_NOSUCHTABLE;
  if (int st = checkShape(*t, e); st != NIS_SUCCESS) return st;
  for (Value& v : e.values) v.flags &= ~static_cast<uint32_t>(EN_MODIFIED);
  e.oid.ctime = e.oid.mtime = now();
  long dup = findDuplicate(*t, e.values, -1);
  if (dup >= 0) {
    if (!overwrite) return NIS_NAMEEXISTS;
    t->entries[static_cast<size_t>(dup)] = std::move(e);
    if (stored) *stored = &t->entries[static_cast<size_t>(dup)];
    return NIS_SUCCESS;
  }
  t->entries.push_back(std::move(e));
  if (stored) *stored = &t->entries.back();
  return NIS_SUCCESS;
}

int Namespace::modifyEntry(std::string_view table, const std::vector<Attr>& attrs,
                           const Entry& change, const Entry** stored) {
  Table* t = findTable(table);
  if (!t) return findDir(table) ? NIS_INVALIDOBJ : NIS_NOSUCHTABLE;
  std::vector<size_t> hits;
  if (int st = select(*t, attrs, hits); st != NIS_SUCCESS) return st;
  if (hits.empty()) return NIS_NOTFOUND;
  if (hits.size() > 1) return NIS_NOTUNIQUE;
  return modifyEntryAt(table, hits[0], change, stored);
}

int Namespace::modifyEntryAt(std::string_view table, size_t index, const Entry& change,
                             const Entry** stored) {
  Table* t = findTable(table);
  if (!t) return findDir(table) ? NIS_INVALIDOBJ : NIS_NOSUCHTABLE;
  if (index >= t->entries.size()) return NIS_NOTFOUND;
  if (int st = checkShape(*t, change); st != NIS_SUCCESS) return st;
  Entry updated = t->entries[index];
  // A seeded entry may be short of columns; a change fills it up.
  if (updated.values.size() < change.values.size()) updated.values.resize(change.values.size());
  for (size_t c = 0; c < change.values.size(); ++c) {
    if (!(change.values[c].flags & EN_MODIFIED)) continue;
    updated.values[c].bytes = change.values[c].bytes;
    updated.values[c].flags = change.values[c].flags & ~static_cast<uint32_t>(EN_MODIFIED);
  }
  if (findDuplicate(*t, updated.values, static_cast<long>(index)) >= 0) return NIS_NAMEEXISTS;
  updated.oid.mtime = now();
  t->entries[index] = std::move(updated);
  if (stored) *stored = &t->entries[index];
  return NIS_SUCCESS;
}

int Namespace::removeEntries(std::string_view table, const std::vector<Attr>& attrs, bool multiple,
                             size_t* removed) {
  Table* t = findTable(table);
  if (!t) return findDir(table) ? NIS_INVALIDOBJ : NIS_NOSUCHTABLE;
  std::vector<size_t> hits;
  if (int st = select(*t, attrs, hits); st != NIS_SUCCESS) return st;
  if (hits.empty()) return NIS_NOTFOUND;
  if (hits.size() > 1 && !multiple) return NIS_NOTUNIQUE;
  for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
    t->entries.erase(t->entries.begin() + static_cast<long>(*it));
  }
  if (removed) *removed = hits.size();
  return NIS_SUCCESS;
}

void Namespace::removeEntriesAt(std::string_view table, const std::vector<size_t>& indexes) {
  Table* t = findTable(table);
  if (!t) return;
  std::vector<size_t> sorted = indexes;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
    if (*it < t->entries.size()) t->entries.erase(t->entries.begin() + static_cast<long>(*it));
  }
}

}  // namespace nisplusd
