// Output naming.
#include "photo/output_name.hpp"

std::string outputPathFor(const std::string& inputPath) {
  const std::size_t slash = inputPath.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t firstNonDot = inputPath.find_first_not_of('.', nameStart);
  std::size_t cut = inputPath.size();
  if (firstNonDot != std::string::npos) {
    const std::size_t dot = inputPath.rfind('.');
    if (dot != std::string::npos && dot > firstNonDot) cut = dot;
  }
  return inputPath.substr(0, cut) + "_.jpg";
}
