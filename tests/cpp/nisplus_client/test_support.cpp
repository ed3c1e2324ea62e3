#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nctest {

std::string rootDir() {
  const char* d = getenv("NISPLUS_DIRECTORY");
  return d != nullptr ? d : "sandbox.test.";
}

std::string orgDir() { return "org_dir." + rootDir(); }

std::string shell(const std::string& cmd, int* rc) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    if (rc != nullptr) *rc = -1;
    return out;
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  if (rc != nullptr) *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string ctl(const std::string& args) {
  int rc = 0;
  std::string out = shell(std::string(NISPLUSCTL) + " " + args, &rc);
  EXPECT_EQ(0, rc) << "nisplusctl " << args;
  return out;
}

void load(const std::string& seedText) {
  char path[] = "/tmp/nisplus-client-seed-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream f(path, std::ios::binary);
    f << seedText;
  }
  ctl(std::string("load ") + path);
  unlink(path);
}

std::vector<std::string> serverLog() {
  std::vector<std::string> lines;
  std::istringstream in(ctl("log"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

void clearLog() { ctl("log clear"); }

size_t countLogged(const std::vector<std::string>& log, const std::string& proc) {
  size_t n = 0;
  for (const std::string& l : log) n += l.rfind(proc + " ", 0) == 0 ? 1 : 0;
  return n;
}

std::string seedValue(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '\0') {
      out += "\\0";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::vector<std::string> values(const nis_object& entry) {
  std::vector<std::string> out;
  const entry_obj& e = entry.zo_data.objdata_u.en_data;
  for (u_int i = 0; i < e.en_cols.en_cols_len; ++i) {
    const auto& v = e.en_cols.en_cols_val[i].ec_value;
    out.emplace_back(v.ec_value_val != nullptr ? std::string(v.ec_value_val, v.ec_value_len) : "");
  }
  return out;
}

EntryBuilder::EntryBuilder(std::string t, std::vector<std::string> v)
    : type(std::move(t)), vals(std::move(v)), cols(vals.size()) {
  for (size_t i = 0; i < vals.size(); ++i) {
    cols[i].ec_flags = 0;
    cols[i].ec_value.ec_value_val = vals[i].data();
    cols[i].ec_value.ec_value_len = static_cast<u_int>(vals[i].size() + 1);
  }
  obj.zo_data.zo_type = NIS_ENTRY_OBJ;
  obj.zo_data.objdata_u.en_data.en_type = type.data();
  obj.zo_data.objdata_u.en_data.en_cols.en_cols_len = static_cast<u_int>(cols.size());
  obj.zo_data.objdata_u.en_data.en_cols.en_cols_val = cols.data();
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

int serverPid() {
  const char* p = getenv("NISPLUSD_PID");
  return p != nullptr ? atoi(p) : 0;
}

}  // namespace nctest
