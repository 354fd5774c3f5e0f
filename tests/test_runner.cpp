// The stage runner: moves run on its worker in the user's order with stale runs abandoned, the
// saved result is the serial one, previews hold finished rows only, and the worker keeps one
// random generator and the denormal modes for every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <opencv2/core/utility.hpp>
#include <thread>
#include <vector>

#include "filters/fpmode.hpp"
#include "pipeline/preview.hpp"
#include "session/runner.hpp"
#include "tests/stage_moves.hpp"
#include "tests/test_images.hpp"

namespace {

using Clock = std::chrono::steady_clock;

#ifdef LUMIVET_TSAN
// ThreadSanitizer cannot see how the library's thread pool (TBB, built without it) hands out and
// joins the pieces of a parallel loop, and would report every loop body. Under it, loops run on
// the thread that starts them; the runner's own threads are what it checks.
const bool serialLoops = (cv::setNumThreads(1), true);
#endif

// Polls until `ready` holds, for ten seconds at most.
template <typename Ready>
bool eventually(Ready ready) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!ready()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool runs(const StageRunner& runner, int id, int position) {
  const RunProgress progress = runner.progress();
  return progress.slider && progress.slider->id == id && progress.position == position &&
         progress.rowsDone > 0;
}

}  // namespace

TEST(Runner, MovesRunInOrderAndAStaleRunIsAbandonedUnlessItIsABase) {
  const cv::Mat photo = makePhoto(48, 64);
  StageRunner runner(photo.clone(), {{}, 400, ""});
  runner.move(sliderOf(kBlurStage), 5);
  ASSERT_TRUE(eventually([&] { return runs(runner, kBlurStage, 5); }));
  runner.move(sliderOf(kBlurStage), 3);       // Blur 5 is stale
  runner.move(sliderOf(kBilateralStage), 2);  // Blur 3 is its base: it must complete
  ASSERT_TRUE(eventually([&] { return runs(runner, kBlurStage, 3); }));
  runner.move(sliderOf(kBilateralStage), 4);  // merges with the queued move
  runner.move(sliderOf(kBlurStage), 1);
  runner.move(sliderOf(kBlurStage), 2);
  ASSERT_TRUE(eventually([&] { return !runner.busy(); }));
  runner.stop();
  const std::vector<StageStep> made = {{kBlurStage, 3}, {kBilateralStage, 4}, {kBlurStage, 2}};
  std::vector<StageStep> reported;
  for (const RunReport& report : runner.takeReports()) {
    EXPECT_EQ(report.failure, "");
    reported.push_back({report.slider->id, report.position});
  }
  EXPECT_EQ(reported, made);
  EXPECT_EQ(countDifferences(runner.pipeline().result(), afterMoves(photo, made)), 0);
}

// A move shows a preview at the window's size first, built on the base the exact pipeline
// published, then the finished rows of the long exact run over it; abandoning leaves the last
// complete result, and the worker ends within a band. The exact result comes scaled with area
// averaging, with the photo-sized result beside it.
TEST(Runner, PicturesGoFromPreviewToFinishedRowsToTheExactResult) {
  const cv::Mat photo = makePhoto(2400, 40);
  const cv::Size view(20, 1200);
  const std::vector<StageStep> first = {{kBlackToZeroStage, 80}};
  const std::vector<StageStep> second = {{kBlackToZeroStage, 80}, {kBilateralStage, 6}};
  StageRunner runner(photo.clone(), {{}, 3000, ""});
  runner.setViewSize(view);
  runner.move(sliderOf(kBlackToZeroStage), 80);
  Picture picture;
  const auto shows = [&](uint64_t move, PictureKind kind) {
    return eventually([&] {
      return runner.takePicture(picture) && picture.move == move && picture.kind == kind;
    });
  };
  ASSERT_TRUE(shows(1, PictureKind::kExact));
  EXPECT_EQ(countDifferences(picture.full, afterMoves(photo, first)), 0);
  EXPECT_EQ(countDifferences(picture.fit, areaScaled(picture.full, view)), 0);
  EXPECT_EQ(picture.histogram.counts, histogramOf(picture.full).counts);

  runner.move(sliderOf(kBilateralStage), 6);
  ASSERT_TRUE(shows(2, PictureKind::kPreviewOnExactBase));
  PreviewPipeline preview(afterMoves(photo, first), view);
  preview.move(sliderOf(kBilateralStage), 6, afterMoves(photo, first));
  EXPECT_EQ(countDifferences(picture.fit, preview.picture()), 0);
  EXPECT_EQ(picture.histogram.counts, histogramOf(picture.fit).counts);
  ASSERT_TRUE(eventually([&] {
    const RunProgress progress = runner.progress();
    return progress.rowsDone >= progress.rows / 8 && progress.rowsDone < progress.rows &&
           runner.takePicture(picture) && picture.kind == PictureKind::kRows;
  }));
  const auto started = Clock::now();
  runner.abandon();
  runner.stop();
  Picture original;  // the photo as opened, whatever was done to it since
  ASSERT_TRUE(runner.takeOriginal(original));
  EXPECT_EQ(countDifferences(original.fit, areaScaled(photo, view)), 0);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_EQ(countDifferences(runner.pipeline().dstImage, afterMoves(photo, first)), 0);
  EXPECT_EQ(runner.pipeline().chain(), first);

  const cv::Mat exact = areaScaled(afterMoves(photo, second), view);
  int done = 0;
  while (done < view.height && countDifferences(picture.fit.row(done), exact.row(done)) == 0)
    ++done;
  EXPECT_GT(done, 0);
  EXPECT_LT(done, view.height);
  EXPECT_EQ(countDifferences(picture.fit.rowRange(done, view.height),
                             preview.picture().rowRange(done, view.height)),
            0);
}

// Every run happens on the one worker, with denormals flushed there and in the library's pool,
// and one generator: noise at the same position differs from move to move. A failing stage is
// reported and the worker goes on.
TEST(Runner, OneWorkerKeepsItsGeneratorAndItsFloatingPointModes) {
  static std::atomic<int> flushed{0};
  const auto probeRun = [](const cv::Mat&, const StageArgs& args) -> BandFilter {
    cv::parallel_for_(cv::Range(0, 8), [](const cv::Range& range) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (denormalsFlushed()) flushed += range.size();
    });
    if (args.position == 1) throw cv::Exception(0, "probe", "", "", 0);
    return [](const cv::Range& rows, cv::Mat& dst) { dst.rowRange(rows).setTo(0); };
  };
  const StageSlider probe{
      "Probe", 0, 1, kBlurStage, probeRun, PreviewRule::kScaled, sampleWork, {kNever, kNever}};
  StageRunner runner(makePhoto(48, 64));
  runner.move(probe, 0);
  runner.move(sliderOf(kNoiseStage), 40);
  ASSERT_TRUE(eventually([&] { return !runner.busy(); }));
  const cv::Mat first = runner.pipeline().dstImage.clone();  // the worker waits for moves
  runner.move(probe, 1);
  runner.move(sliderOf(kNoiseStage), 40);
  ASSERT_TRUE(eventually([&] { return !runner.busy(); }));
  runner.stop();
  EXPECT_GT(countDifferences(runner.pipeline().dstImage, first), 0);
  EXPECT_EQ(flushed, 16);
  const std::vector<RunReport> reports = runner.takeReports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_NE(reports[2].failure.find("Probe failed"), std::string::npos);
}

// Running a chain again from the generator states its runs started with gives the same bytes and
// the same chain, noise included. A step that follows a step of its own stage (after a run that
// failed in between) stands on it instead of replacing it.
TEST(Runner, AReplayGivesTheSameBytesNoiseIncluded) {
  const cv::Mat photo = makePhoto(48, 64);
  std::vector<ReplayStep> chain;
  RunnerOptions options;
  options.completed = [&chain](const RunReport& report, std::size_t step) {
    chain.resize(step);
    chain.push_back({report.slider, report.position, report.rngState});
  };
  StageRunner live(photo.clone(), options);
  const std::vector<StageStep> moves = {
      {kNoiseStage, 30}, {kBlurStage, 2}, {kNoiseStage, 50}, {kNoiseStage, 60}};
  for (const StageStep& move : moves) {
    live.move(sliderOf(move.id), move.value);
    ASSERT_TRUE(eventually([&] { return !live.busy(); }));
  }
  live.stop();
  ASSERT_EQ(chain.size(), 3u);
  for (const bool twice : {false, true}) {
    if (twice) chain.push_back(chain.back());
    StageRunner replayed(photo.clone(), options);
    replayed.replay(chain);
    ASSERT_TRUE(eventually([&] { return !replayed.busy(); }));
    replayed.stop();
    EXPECT_EQ(replayed.takeReports().size(), chain.size());
    if (twice) {
      EXPECT_EQ(replayed.pipeline().chain().size(), 4u);
      EXPECT_GT(countDifferences(replayed.pipeline().result(), live.pipeline().result()), 0);
    } else {
      EXPECT_EQ(replayed.pipeline().chain(), live.pipeline().chain());
      EXPECT_EQ(countDifferences(replayed.pipeline().result(), live.pipeline().result()), 0);
    }
  }
}

// With previews that seem slow (a clock that runs 300 ms between two looks), a drag of Bilateral
// shows coarser pictures of its moves, then the finest one once it rests, then the exact result,
// scaled as its rows came: the same picture, marks and histogram as the whole result's.
TEST(Runner, SlowPreviewsGiveCoarserPicturesDuringADragAndTheFinestAtRest) {
  const cv::Mat photo = makePhoto(240, 320);
  const std::string timing = ::testing::TempDir() + "lumivet-runner-timing";
  std::remove(timing.c_str());
  std::atomic<int> looks{0};
  RunnerOptions options;
  options.slowStageMs = 400;
  options.timingFile = timing;
  options.clock = [&looks] { return Clock::time_point(std::chrono::milliseconds(300 * ++looks)); };
  StageRunner runner(photo.clone(), options);
  const cv::Size view(160, 120);
  runner.setViewSize(view);
  // Each move is shown before the next comes, as a pointer that the previews keep up with moves:
  // the first one's picture teaches the runner how slow they are.
  Picture picture;
  for (int position = 12; position <= 20; ++position) {
    runner.move(sliderOf(kBilateralStage), position);
    const uint64_t move = uint64_t(position - 11);
    ASSERT_TRUE(eventually([&] { return runner.takePicture(picture) && picture.move == move; }));
  }
  ASSERT_TRUE(eventually([&] {
    return runner.takePicture(picture) && picture.move == 9 && picture.kind == PictureKind::kExact;
  }));
  runner.stop();
  cv::Mat marks(view, CV_8U), fit(view, CV_8UC3);
  AreaScaling(photo.size(), view)
      .scale(picture.full, fit, cv::Range(0, view.height), nullptr, &marks);
  EXPECT_EQ(countDifferences(picture.fit, fit), 0);
  EXPECT_EQ(cv::countNonZero(picture.marks != marks), 0);
  EXPECT_EQ(picture.histogram.counts, histogramOf(picture.full).counts);

  std::vector<int> kinds, lastKinds;  // of the moves of the drag, and of its last move
  std::ifstream lines(timing);
  for (std::string word; lines >> word;) {
    int move, kind;
    if (word == "picture" && lines >> move >> kind && move > 0)
      (move == 9 ? lastKinds : kinds).push_back(kind);
    lines.ignore(1 << 10, '\n');
  }
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), int(PictureKind::kCoarse)), kinds.end());
  // The last move: coarse, then the finest preview, then (the run's rows, on a slow machine) the
  // exact result.
  ASSERT_GE(lastKinds.size(), 3u);
  EXPECT_EQ(lastKinds.front(), int(PictureKind::kCoarse));
  EXPECT_TRUE(lastKinds[1] == int(PictureKind::kPreview) ||
              lastKinds[1] == int(PictureKind::kPreviewOnExactBase));
  EXPECT_EQ(lastKinds.back(), int(PictureKind::kExact));
  EXPECT_TRUE(std::is_sorted(lastKinds.begin(), lastKinds.end()));
}

// The cost of a preview grows with the square of the bilateral filter's diameter and with the
// pixels, so that one slow picture at a high position does not make every position coarse.
TEST(PreviewCosts, FollowTheStagesWorkAndChooseTheFinestLevelThatFits) {
  PreviewCosts costs;
  costs.setSizes({1000, 750}, {4000, 3000});
  const StageSlider& bilateral = sliderOf(kBilateralStage);
  costs.measured(bilateral, 20, 0, 200);
  EXPECT_NEAR(costs.predictMs(bilateral, 20, 0), 200, 1e-6);
  const double perPixel10 = bilateralWork(10, 0.25), perPixel20 = bilateralWork(20, 0.25);
  EXPECT_NEAR(costs.predictMs(bilateral, 10, 0), 200 * perPixel10 / perPixel20, 1e-6);
  EXPECT_GT(costs.firstLevel(bilateral, 20, 35), 0);
  EXPECT_EQ(costs.firstLevel(bilateral, 20, 250), 0);
  EXPECT_EQ(costs.firstLevel(bilateral, bilateral.coarseFrom[0] - 1, 1), 0);  // not allowed
}
