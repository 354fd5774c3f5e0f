// The program driver.
#include "app/driver.hpp"

#include <X11/keysym.h>
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <new>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "app/batch.hpp"
#include "app/desktop.hpp"
#include "app/display.hpp"
#include "app/load.hpp"
#include "app/metadata.hpp"
#include "app/output_name.hpp"
#include "app/recipe_xmp.hpp"
#include "app/save.hpp"
#include "stages/fpmode.hpp"
#include "stages/recipe.hpp"
#include "stages/stages.hpp"

namespace {

constexpr const char* kUsage =
    "usage: lumivet-tool [IMAGE]   filter IMAGE (or one chosen in a dialog) with sliders; "
    "any key saves it beside IMAGE as NAME_.jpg\n"
    "       lumivet-tool --apply \"RECIPE\" PHOTO...       apply a recipe such as "
    "\"Bilateral 3; Blur 4\" to each PHOTO, no windows\n"
    "       lumivet-tool --apply-from EDITED_.jpg PHOTO...  apply the recipe saved in "
    "EDITED_.jpg\n";

// Slider moves wait here until the event loop is idle, so that moves arriving while a slow stage
// runs do not pile up into stale re-runs: consecutive moves of one slider keep only the last
// position, while moves of different sliders keep their order (each freezes the one before).
struct PendingMove {
  const StageSlider* slider;
  int position;
};
std::deque<PendingMove> pendingMoves;
bool slidersLive = false;

// Test hooks, read once: LUMIVET_TRACE names a file that gets the status line of every stage run,
// LUMIVET_SLOW_STAGE_MS slows every stage run down, to make event coalescing observable.
const char* const traceFile = std::getenv("LUMIVET_TRACE");
const char* const slowStageSetting = std::getenv("LUMIVET_SLOW_STAGE_MS");
const int slowStageMs = slowStageSetting ? std::atoi(slowStageSetting) : 0;

// Runs one slider event under a busy pointer and reports it in the status bar. A stage that
// fails says so and leaves the tool running.
void runStage(const StageSlider& slider, int position) {
  *slider.value = position;
  setBusy(true);
  QElapsedTimer timer;
  timer.start();
  std::string failure;
  try {
    const DenormalsFlushed flushed;  // the same samples, without slow denormal arithmetic
    slider.handler(position, nullptr);
    if (slowStageMs > 0) QThread::msleep(static_cast<unsigned long>(slowStageMs));
  } catch (const cv::Exception& e) {
    failure = std::string(slider.label) + " failed: " + e.msg;
  } catch (const std::bad_alloc&) {
    failure = std::string(slider.label) + " needs more memory than is available.";
  }
  setBusy(false);
  if (!failure.empty()) {
    showError("Filter failed", failure);
    return;
  }
  const std::string status = reportStageRun(slider.label, position, timer.nsecsElapsed() / 1e6);
  if (traceFile) std::ofstream(traceFile, std::ios::app) << status << '\n';
}

void runPendingMoves() {
  // Showing the busy pointer lets Qt process events, which may deliver more slider moves and the
  // timer that runs them; those moves join the queue this loop is already working through.
  static bool running = false;
  if (running) return;
  running = true;
  while (!pendingMoves.empty()) {
    const PendingMove move = pendingMoves.front();
    pendingMoves.pop_front();
    runStage(*move.slider, move.position);
  }
  running = false;
}

void onSliderMoved(int position, void* userData) {
  // highgui reports positions while the sliders are being created; nothing has moved yet.
  if (!slidersLive) return;
  const auto* slider = static_cast<const StageSlider*>(userData);
  if (!pendingMoves.empty() && pendingMoves.back().slider == slider) {
    pendingMoves.back().position = position;
    return;
  }
  const bool idle = pendingMoves.empty();
  pendingMoves.push_back({slider, position});
  if (idle) QTimer::singleShot(0, runPendingMoves);
}

// highgui's Qt windows report a key that types no character by its X keysym, and they report
// modifier keys pressed on their own as keys too. These are the keysyms of the modifier and lock
// keys: Shift, Control, Caps and Shift Lock, Meta, Alt, Super and Hyper; the ISO level and group
// keys (AltGr is ISO_Level3_Shift); Mode_switch and Num_Lock.
bool isModifierKey(int key) {
  return (key >= XK_Shift_L && key <= XK_Hyper_R) ||
         (key >= XK_ISO_Lock && key <= XK_ISO_Level5_Lock) || key == XK_Mode_switch ||
         key == XK_Num_Lock;
}

// Waits until a key that is not a lone modifier is pressed, or both windows have been closed.
void waitForEnd() {
  for (;;) {
    const int key = cv::waitKeyEx(100);
    if (key >= 0 && !isModifierKey(key)) return;
    if (!windowShown(kControlWindow) && !windowShown(kImageWindow)) return;
  }
}

// Saves the result beside the input; when that fails, says why and offers another place.
int saveResult(const std::string& inputPath, const cv::Mat& result) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!encodeJpeg(result, bytes, error)) {
    showError("Could not save the result", "The result could not be saved: " + error + ".");
    return 2;
  }
  copyMetadata(inputPath, bytes);
  addRecipe(bytes, formatRecipe(stageChain()));
  std::string target = outputPathFor(inputPath);
  while (!writeFileAtomically(target, bytes, error)) {
    showError("Could not save the result", "The result could not be saved as \"" + target +
                                               "\": " + error + ".\nChoose another place.");
    target = chooseSavePath(target);
    if (target.empty()) return 2;
  }
  return 0;
}

}  // namespace

int runTool(int argc, char** argv) {
  std::string path;
  if (argc > 1) {
    const std::string arg = argv[1];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--apply" || arg == "--apply-from") return runBatch(argc - 1, argv + 1);
    if (arg == "--version") {
      std::cout << "lumivet-tool " << LUMIVET_VERSION << '\n';
      return 0;
    }
    if (argc > 2 || (arg.size() > 1 && arg[0] == '-')) {
      std::cerr << kUsage;
      return 2;
    }
    path = arg;
  }

  // Without a windowing system Qt can only abort; say so plainly instead.
  const auto isSet = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
    std::cerr << "lumivet-tool: no display to show the windows on (DISPLAY is not set)\n";
    return 1;
  }
  silenceConsole();
  // Qt reads options of its own from the command line; it gets none of ours.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  QApplication::setApplicationName("Lumivet Tool");

  if (path.empty()) {
    path = chooseImageFile();
    if (path.empty()) return 0;
  }

  srcImage = loadImage(path);
  if (srcImage.empty()) {
    showError("Could not open the image",
              "The file \"" + path + "\" could not be read as an image.");
    return 1;
  }

  // The control window holds sliders only; the zoom toolbar belongs to the photo window.
  cv::namedWindow(kControlWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
  for (const StageSlider& slider : kStageTable) {
    cv::createTrackbar(slider.label, kControlWindow, slider.value, slider.maximum, onSliderMoved,
                       const_cast<StageSlider*>(&slider));
  }
  slidersLive = true;
  setDisplayFunction(showPhoto);
  showPhoto(srcImage);

  waitForEnd();
  runPendingMoves();  // a move made just before the key still counts
  slidersLive = false;
  cv::destroyAllWindows();

  // Before any slider has moved, the result is the photo itself.
  const int status = saveResult(path, dstImage.empty() ? srcImage : dstImage);
  return status;
}
