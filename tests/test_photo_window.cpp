// The photo window, offscreen: at fit it paints the session's picture sample for sample and Zoom
// x1 the full image's own; keys end the run but its shortcuts do not, Save and close does; Copy
// copies the full image; a resize asks for a picture of the new fit size. Before shows the photo
// as opened while held, the histogram follows what is shown, and the clipping marks cover the
// pixels over samples at 0 or 255 and nothing else.
#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QStatusBar>
#include <QToolButton>
#include <QtTest/QTest>
#include <vector>

#include "tests/test_images.hpp"
#include "ui/photo_window.hpp"

namespace {

cv::Mat samples(QImage image) {
  image = image.convertToFormat(QImage::Format_BGR888);
  return cv::Mat(image.height(), image.width(), CV_8UC3, image.bits(), image.bytesPerLine())
      .clone();
}

cv::Mat shownBy(QAbstractScrollArea* view) {
  QApplication::processEvents();
  return samples(view->viewport()->grab().toImage());
}

void ensureApplication() {
  static int argc = 1;
  static char name[] = "lumivet-tests";
  static char* argv[] = {name, nullptr};
  if (!QApplication::instance()) new QApplication(argc, argv);  // lives as long as the process
}

QToolButton* button(const PhotoWindow& window, const QString& text) {
  for (auto* button : window.findChildren<QToolButton*>())
    if (button->defaultAction() && button->defaultAction()->text() == text) return button;
  return nullptr;
}

}  // namespace

TEST(PhotoWindow, ShowsTheGivenSamplesAndEndsOnKeysButNotOnItsShortcuts) {
  ensureApplication();
  PhotoWindow window;
  int ends = 0;
  std::vector<cv::Size> asked;
  window.setEndHandler([&] { ++ends; });
  window.setFitSizeHandler([&](cv::Size size) { asked.push_back(size); });
  window.resize(640, 480);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  auto* view = window.findChild<QAbstractScrollArea*>();
  ASSERT_TRUE(view);

  // Random samples at the fit size: a window that scaled the full image itself, or scaled the
  // picture again, would not show them.
  const cv::Mat full = makePhoto(900, 1200);
  const cv::Size fit = window.fitSize(full.size());
  ASSERT_LT(fit.width, full.cols);
  const cv::Mat picture = makeRandom(fit.height, fit.width);
  window.setPicture(picture, full);
  cv::Mat shown = shownBy(view);
  const cv::Rect centred((shown.cols - fit.width) / 2, (shown.rows - fit.height) / 2, fit.width,
                         fit.height);
  EXPECT_EQ(countDifferences(shown(centred), picture), 0);

  QTest::keyClick(view, Qt::Key_0, Qt::ControlModifier);  // Zoom x1
  shown = shownBy(view);
  const cv::Rect visible(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value(),
                         shown.cols, shown.rows);
  ASSERT_GT(visible.x, 0);  // scrolled to the middle
  EXPECT_EQ(countDifferences(shown, full(visible)), 0);

  for (const Qt::Key key : {Qt::Key_Plus, Qt::Key_Equal, Qt::Key_Minus, Qt::Key_C})
    QTest::keyClick(view, key, Qt::ControlModifier);
  for (const Qt::Key key : {Qt::Key_Shift, Qt::Key_Control, Qt::Key_AltGr, Qt::Key_CapsLock})
    QTest::sendKeyEvent(QTest::Click, view, key, QString(), Qt::NoModifier);
  EXPECT_EQ(ends, 0);
  const cv::Mat copied = samples(QApplication::clipboard()->image());
  ASSERT_EQ(copied.size(), full.size());
  EXPECT_EQ(countDifferences(copied, full), 0);
  QTest::keyClick(view, Qt::Key_A);
  EXPECT_EQ(ends, 1);
  QTest::keyClick(view, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(ends, 2);

  window.resize(900, 700);
  for (int i = 0; i < 100 && asked.empty(); ++i) QTest::qWait(10);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], window.fitSize(full.size()));
  EXPECT_GT(asked[0].width, fit.width);
}

TEST(PhotoWindow, BeforeWhileHeldAHistogramOfWhatIsShownAndClippingMarksOnTheScreenOnly) {
  ensureApplication();
  PhotoWindow window;
  window.resize(500, 420);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* view = window.findChild<QAbstractScrollArea*>();
  QToolButton* before = button(window, "Before");
  QToolButton* clipping = button(window, "Clipping");
  ASSERT_TRUE(view && before && clipping && button(window, "Histogram"));

  // A result in mid-tones but for one isolated sample at 255 and one at 0, which the fit picture
  // averages away; the photo as opened is another picture.
  cv::Mat full = makeRandom(300, 400) / 3 + cv::Scalar::all(80);
  full.at<cv::Vec3b>(100, 201)[2] = 255;
  full.at<cv::Vec3b>(250, 37)[0] = 0;
  const cv::Size fit = window.fitSize(full.size());
  const AreaScaling scaling(full.size(), fit);
  cv::Mat picture(fit, CV_8UC3), marks(fit, CV_8U);
  scaling.scale(full, picture, cv::Range(0, fit.height), nullptr, &marks);
  const cv::Mat original = makePhoto(300, 400), originalFit = areaScaled(original, fit);
  window.setOriginal(originalFit, original, cv::Mat(), histogramOf(original));
  window.setPicture(picture, full, marks, histogramOf(full));
  const cv::Rect centred = [&] {
    const cv::Mat shown = shownBy(view);
    return cv::Rect((shown.cols - fit.width) / 2, (shown.rows - fit.height) / 2, fit.width,
                    fit.height);
  }();

  QTest::mousePress(before, Qt::LeftButton);
  EXPECT_EQ(countDifferences(shownBy(view)(centred), originalFit), 0);
  EXPECT_EQ(window.histogram().counts, histogramOf(original).counts);
  EXPECT_TRUE(window.statusBar()->currentMessage().startsWith("Before"));
  QTest::mouseRelease(before, Qt::LeftButton);
  const cv::Mat unmarked = shownBy(view)(centred).clone();
  EXPECT_EQ(countDifferences(unmarked, picture), 0);
  EXPECT_EQ(window.histogram().counts, histogramOf(full).counts);
  // Without a histogram of its own, a picture's histogram is its own count.
  window.setPicture(originalFit, cv::Mat());
  EXPECT_EQ(window.histogram().counts, histogramOf(originalFit).counts);
  window.setPicture(picture, full, marks, histogramOf(full));

  // The marks cover exactly the pixels over the isolated samples; Copy, as the saved result,
  // has none of them.
  ASSERT_GT(cv::countNonZero(marks), 0);
  clipping->click();
  const cv::Mat marked = shownBy(view)(centred).clone();
  std::vector<cv::Mat> channels;
  cv::split(marked != unmarked, channels);
  EXPECT_EQ(cv::countNonZero((channels[0] | channels[1] | channels[2]) != (marks != 0)), 0);
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(countDifferences(samples(QApplication::clipboard()->image()), full), 0);
  clipping->click();
}
