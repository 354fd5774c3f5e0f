// Entry point of lumivet-tool.
#include "session/driver.hpp"

int main(int argc, char** argv) {
  return runTool(argc, argv);
}
