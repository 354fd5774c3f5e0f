// Entry point of lumivet-tool.
#include "app/driver.hpp"

int main(int argc, char** argv) {
  return runTool(argc, argv);
}
