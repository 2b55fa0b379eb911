// tavrik-agent: the far end alone ("serve"), linked statically so that --push-agent can copy
// it to any Linux machine of its architecture and start it there.
#include <cstdio>
#include <string_view>

#include "cli/commands.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "serve") return tavrik::RunServe();
  std::fputs("usage: tavrik-agent serve (started by tavrik-cli --push-agent over ssh)\n", stderr);
  return 2;
}
