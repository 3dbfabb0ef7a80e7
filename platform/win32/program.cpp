// The trust helpers run certutil, which only Linux desktops have; on Windows nothing is found
// and they say so.
#include "platform/program.h"

std::string FindProgram(std::string_view) {
  return "";
}

int RunProgram(const std::vector<std::string>&) {
  return -1;
}
