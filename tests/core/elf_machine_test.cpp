// Which far machines the agent program fits, told from its ELF header.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/remote/push_agent.h"

namespace tavrik::testing {
namespace {

// An ELF header: class (1: 32-bit, 2: 64-bit), byte order (1: little, 2: big endian),
// file type and machine, padded to the 64 bytes of a 64-bit header.
std::string Header(char wide, char order, int type, int machine) {
  std::string h = std::string(
                      "\x7f"
                      "ELF",
                      4) +
                  wide + order + '\x01';
  h.resize(16, '\0');
  const auto half = [&](int v) {
    if (order == 2) {
      h.push_back(static_cast<char>(v >> 8));
      h.push_back(static_cast<char>(v & 255));
    } else {
      h.push_back(static_cast<char>(v & 255));
      h.push_back(static_cast<char>(v >> 8));
    }
  };
  half(type);
  half(machine);
  h.resize(64, '\0');
  return h;
}

// Catches an agent pushed to a machine it cannot run on: another machine, the other word
// size or byte order of the same one, a file that is no program (an object file, a script,
// a header cut short), or a machine number read in the wrong byte order.
TEST(ElfMachineTest, AHeaderFitsOnlyTheMachinesThatRunIt) {
  const struct {
    const char* what;
    std::string header;
    std::string first;  // the name a message gives; empty: fits nowhere
    const char* also;   // another name it fits, or nullptr
  } cases[] = {
      {"x86-64 program", Header(2, 1, 2, 62), "x86_64", nullptr},
      {"x86-64 position-independent", Header(2, 1, 3, 62), "x86_64", nullptr},
      {"x32 is not x86-64", Header(1, 1, 2, 62), "", nullptr},
      {"32-bit x86", Header(1, 1, 2, 3), "i686", "i386"},
      {"64-bit ARM", Header(2, 1, 2, 183), "aarch64", "arm64"},
      {"32-bit ARM", Header(1, 1, 2, 40), "armv7l", nullptr},
      {"POWER little endian", Header(2, 1, 2, 21), "ppc64le", nullptr},
      {"POWER big endian", Header(2, 2, 2, 21), "ppc64", nullptr},
      {"IBM Z", Header(2, 2, 2, 22), "s390x", nullptr},
      {"RISC-V", Header(2, 1, 2, 243), "riscv64", nullptr},
      {"an object file", Header(2, 1, 1, 62), "", nullptr},
      {"a core dump", Header(2, 1, 4, 62), "", nullptr},
      {"an unknown machine", Header(2, 1, 2, 9999), "", nullptr},
      {"a bad class", Header(3, 1, 2, 62), "", nullptr},
      {"cut short", Header(2, 1, 2, 62).substr(0, 19), "", nullptr},
      {"a script", "#!/bin/sh\necho x86_64\n", "", nullptr},
      {"empty", "", "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> names = remote::ElfMachineNames(c.header);
    EXPECT_EQ(names.empty() ? "" : names[0], c.first);
    if (c.also) {
      EXPECT_NE(std::find(names.begin(), names.end(), c.also), names.end());
    }
  }
}

}  // namespace
}  // namespace tavrik::testing
