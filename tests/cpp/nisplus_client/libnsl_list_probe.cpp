// Lists one indexed name with libnsl's own NIS+ client and prints the
// status: the reference the client layer's differential test compares
// against. Built with the test-only clntudp_create of
// tests/cpp/nisplus_server, without which libnsl cannot bind; a crash of
// libnsl ends only this process.
#include <rpcsvc/nis.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: libnsl_list_probe NAME\n");
    return 2;
  }
  nis_result* r = nis_list(argv[1], 0, nullptr, nullptr);
  if (r == nullptr) {
    std::printf("null\n");
    return 0;
  }
  std::printf("%d\n", static_cast<int>(r->status));
  nis_freeresult(r);
  return 0;
}
