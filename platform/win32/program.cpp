// The trust helpers run certutil, which only Linux desktops have; Windows has the Root store in
// its place (platform/trust_store.h), and nothing is found here.
#include "platform/program.h"

std::string FindProgram(std::string_view) {
  return "";
}

int RunProgram(const std::vector<std::string>&) {
  return -1;
}
