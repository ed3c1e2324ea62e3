// The in-memory NIS+ namespace served by nisplusd: one root directory, its
// subdirectories, their groups and tables, and the tables' entries. Plain
// values, so a copy is a snapshot (used for reset and for all-or-nothing
// loads).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nisplusd {

struct Oid {
  uint32_t ctime = 0;
  uint32_t mtime = 0;
};

struct Directory {
  std::string name;  // full name, trailing dot included
  std::string owner;
  std::string group;
  uint32_t access = 0;
  uint32_t ttl = 0;
  Oid oid;
};

struct Column {
  std::string name;
  uint32_t flags = 0;
  uint32_t rights = 0;
};

// One column value: exact bytes (a client's trailing NUL included) and flags.
struct Value {
  std::string bytes;
  uint32_t flags = 0;
};

struct Entry {
  std::string type;
  std::string owner;
  std::string group;
  uint32_t access = 0;
  uint32_t ttl = 0;
  std::vector<Value> values;
  Oid oid;
};

// A NIS+ group object, stored under groups_dir: the group
// "admin.d.test." is the object "admin.groups_dir.d.test.".
struct Group {
  std::string name;  // full object name
  std::string owner;
  std::string group;
  uint32_t access = 0;
  uint32_t ttl = 0;
  uint32_t flags = 0;
  // Principals ("ada.d.test."), domains ("*.d.test."), groups
  // ("@staff.d.test.") and exclusions of any of them ("-ada.d.test.").
  std::vector<std::string> members;
  Oid oid;
};

struct Table {
  std::string name;  // full name
  std::string type;
  std::string owner;
  std::string group;
  std::string path;
  uint8_t sep = ' ';
  uint32_t access = 0;
  uint32_t ttl = 0;
  int32_t maxcol = 0;
  std::vector<Column> columns;
  std::vector<Entry> entries;
  Oid oid;
};

// A search criterion as a client sends it: column name and value bytes.
struct Attr {
  std::string name;
  std::string value;
};

// NIS+ names compare without regard to ASCII case.
bool sameName(std::string_view a, std::string_view b);
// The directory part of a name: the text after its first dot ("" if none).
std::string_view parentOf(std::string_view name);
// The first label of a name: the text before its first dot.
std::string_view labelOf(std::string_view name);
// Whether name is dir itself or lies anywhere below it.
bool isWithin(std::string_view name, std::string_view dir);
// Values match after one trailing NUL is dropped from each side; TA_CASE
// columns ignore ASCII case.
bool valuesMatch(std::string_view a, std::string_view b, bool ignoreCase);

class Namespace {
 public:
  explicit Namespace(std::string root = "");

  const std::string& root() const { return dirs_.front().name; }
  std::vector<Directory>& dirs() { return dirs_; }
  const std::vector<Directory>& dirs() const { return dirs_; }
  std::vector<Table>& tables() { return tables_; }
  const std::vector<Table>& tables() const { return tables_; }
  std::vector<Group>& groups() { return groups_; }
  const std::vector<Group>& groups() const { return groups_; }

  Directory* findDir(std::string_view name);
  const Directory* findDir(std::string_view name) const;
  Table* findTable(std::string_view name);
  const Table* findTable(std::string_view name) const;
  Group* findGroup(std::string_view name);
  const Group* findGroup(std::string_view name) const;
  // Whether any object (directory, table or group) has that name.
  bool exists(std::string_view name) const;

  // Status of a name that is not an object here: NIS_NOTFOUND when its
  // directory is served, NIS_NOSUCHNAME otherwise.
  int missingStatus(std::string_view name) const;

  // Object operations; each returns a nis_error status.
  int addDirectory(Directory d);
  int addTable(Table t);
  int addGroup(Group g);
  int removeObject(std::string_view name);

  // Entry selection: indexes of the entries of t matching every attribute,
  // or NIS_BADATTRIBUTE / NIS_NOTSEARCHABLE.
  static int select(const Table& t, const std::vector<Attr>& attrs, std::vector<size_t>& out);

  int addEntry(std::string_view table, Entry e, bool overwrite, const Entry** stored);
  int modifyEntry(std::string_view table, const std::vector<Attr>& attrs, const Entry& change,
                  const Entry** stored);
  // Changes the entry at this index (as select gives it) of a table.
  int modifyEntryAt(std::string_view table, size_t index, const Entry& change,
                    const Entry** stored);
  int removeEntries(std::string_view table, const std::vector<Attr>& attrs, bool multiple,
                    size_t* removed);
  // Removes the entries at these indexes (as select gives them) of a table.
  void removeEntriesAt(std::string_view table, const std::vector<size_t>& indexes);

  // Index of an entry other than `skip` with the same identifying values.
  static long findDuplicate(const Table& t, const std::vector<Value>& values, long skip);

 private:
  // Table/entry-shape check for add and modify.
  static int checkShape(const Table& t, const Entry& e);

  std::vector<Directory> dirs_;  // dirs_[0] is the root
  std::vector<Table> tables_;
  std::vector<Group> groups_;
};

uint32_t now();

}  // namespace nisplusd
