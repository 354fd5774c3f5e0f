// Opening a 12 MP photo of each format: in the sandboxed decoding helper, as the tool does, and
// with the same decoders in this process, as before there was a helper. The files are written
// once, to /tmp/lumivet-bench-open/, and kept between runs.
#include <sys/stat.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "bench/bench_common.hpp"
#include "photo/colour.hpp"
#include "photo/decoders.hpp"
#include "photo/load.hpp"
#include "tests/format_fixtures.hpp"

namespace {

const std::string kFolder = "/tmp/lumivet-bench-open";

// The 12 MP photo as a file of `format`: JPEG, PNG, HEIC, AVIF, JXL (lossy) or DNG.
std::string photoFile(const std::string& format) {
  const std::string path = kFolder + "/photo12." + format;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && status.st_size > 0) return path;
  ::mkdir(kFolder.c_str(), 0755);
  const cv::Mat& photo = benchPhoto(12);
  const FixtureOptions camera = cameraOptions(1);
  if (format == "jpg" || format == "png") cv::imwrite(path, photo);
  if (format == "heic") writePhoto(Kind::heic, path, photo, camera);
  if (format == "avif") writePhoto(Kind::avif, path, photo, camera);
  if (format == "jxl") writePhoto(Kind::jxlLossy, path, photo, camera);
  if (format == "dng") writePhoto(Kind::dng, path, photo, camera);
  return path;
}

void sandboxed(benchmark::State& state, const std::string& format) {
  const std::string path = photoFile(format);
  loadPhoto(path, 0);  // the helper is started once per session
  for (auto _ : state) {
    LoadedPhoto photo = loadPhoto(path, 0);
    if (photo.image.empty()) state.SkipWithError(photo.error.c_str());
    benchmark::DoNotOptimize(photo.image.data);
  }
}

// What opening did in the tool's own process: the file read, its decoder, the profile fitted.
void inProcess(benchmark::State& state, const std::string& format) {
  const std::string path = photoFile(format);
  decodingThreads = int(cv::getNumberOfCPUs());
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const PhotoDecoder& decoder = decoderFor(file);
    cv::Size size;
    DecodedPhoto photo;
    if (!decoder.readSize(file, size) || !decoder.decode(file, photo))
      state.SkipWithError("cannot decode");
    photo.metadata.icc = profileForRgbSamples(photo.metadata.icc);
    benchmark::DoNotOptimize(photo.image.data);
  }
}

const bool registered = [] {
  for (const char* format : {"jpg", "png", "heic", "avif", "jxl", "dng"}) {
    benchmark::RegisterBenchmark((std::string("Open/") + format + "/sandboxed").c_str(), sandboxed,
                                 std::string(format))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Open/") + format + "/inProcess").c_str(), inProcess,
                                 std::string(format))
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
