// quorvane-cli: the system without a screen.
#include <cstdio>
#include <cstring>

static int Usage() {
  std::fprintf(stderr, "usage: quorvane-cli words FILE\n");
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::fprintf(stderr, "quorvane-cli: '%s' is not implemented yet\n", argv[1]);
  return 2;
}
